// The picture header reader of POST "/" against the image library itself:
// arbitrary bytes (seeded with small pictures of every format the library
// decodes) are read as a header and, when the pixel cap of this target admits
// them, decoded. Checked beyond the sanitizers: bytes that the reader gives to
// no decoder decode to nothing, and a decoded picture has exactly the size its
// header was read as (JPEG's orientation tag may swap the sides), so that no
// body reaches a decoder unmeasured, measured by the wrong reader, or read by a
// grammar other than its decoder's.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>

#include "norvane/net/http_server_image.h"

namespace {

void check(bool ok, const char* what, const norvane::detail::PictureHeader& h, const cv::Mat& image) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_picture_header: %s: %s header %llu x %llu, decoded %d x %d\n", what,
               h.format ? h.format : "no", static_cast<unsigned long long>(h.width),
               static_cast<unsigned long long>(h.height), image.cols, image.rows);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using norvane::detail::picture_refusal;
  using norvane::detail::read_picture_header;
  if (size == 0) return 0;
  const norvane::detail::PictureHeader h = read_picture_header(data, size);
  // A small cap keeps each decoding quick.
  if (!picture_refusal(h, 1 << 18).empty()) return 0;
  cv::Mat image;
  try {
    image = cv::imdecode(cv::Mat(1, static_cast<int>(size), CV_8UC1, const_cast<uint8_t*>(data)), cv::IMREAD_COLOR);
  } catch (const cv::Exception&) {
    return 0;
  }
  if (image.empty()) return 0;
  check(h.format != nullptr, "decoded bytes that no reader took", h, image);
  const auto cols = static_cast<uint64_t>(image.cols), rows = static_cast<uint64_t>(image.rows);
  const bool same = cols == h.width && rows == h.height;
  const bool turned = std::strcmp(h.format, "JPEG") == 0 && cols == h.height && rows == h.width;
  check(same || turned, "decoded at another size", h, image);
  return 0;
}
