// vision::mask2result with arbitrary shapes and data. Its caller guarantees that
// the buffers hold what the shapes announce; within that, anything goes: labels
// outside the planes, boxes of any size or sign, NaN, odd picture sizes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "norvane/log.h"
#include "norvane/maskApi.h"
#include "norvane/nv_cv.h"

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_mask2result: %s\n", what);
    std::abort();
  }
}

struct Reader {
  const uint8_t* p;
  size_t left;
  uint8_t byte() {
    if (left == 0) return 0;
    left--;
    return *p++;
  }
  float value() {
    float f = 0;
    uint8_t b[4] = {byte(), byte(), byte(), byte()};
    std::memcpy(&f, b, 4);
    return f;
  }
};

}  // namespace

// The library's logger, registered and kept quiet: every skipped row is logged.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  el::Logger* logger = el::Loggers::getLogger("Norvane");
  el::Configurations quiet;
  quiet.setToDefault();
  quiet.set(el::Level::Global, el::ConfigurationType::Enabled, "false");
  el::Loggers::reconfigureLogger(logger, quiet);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in{data, size};
  const int n = in.byte() % 6, k = in.byte() % 9, classes = in.byte() % 4;
  const int mh = in.byte() % 20, mw = in.byte() % 20;
  const int rows = in.byte() % 200 + (in.byte() % 2 ? 0 : -1), cols = in.byte() % 200;
  // A scale byte: mostly 1, sometimes a fraction, zero or a float from the input.
  const uint8_t scale_kind = in.byte() % 4;
  const float scale = scale_kind == 0 ? 1.0f : scale_kind == 1 ? 0.5f : scale_kind == 2 ? 3.0f : in.value();

  // Box values: small whole numbers mostly, raw floats when the byte says so.
  std::vector<float> boxes(static_cast<size_t>(n) * k);
  for (float& v : boxes) {
    const uint8_t kind = in.byte();
    v = kind < 200 ? static_cast<float>(static_cast<int>(in.byte()) - 40) : in.value();
  }
  std::vector<float> planes(static_cast<size_t>(n) * classes * mh * mw);
  for (float& v : planes) v = static_cast<float>(in.byte()) / 128.0f;

  std::vector<norvane::EdgeResultData> results;
  norvane::vision::mask2result(boxes.data(), planes.data(), {n, k}, {n, classes, mh, mw}, rows, cols, scale,
                               results);
  for (const auto& r : results) {
    check(r.mask.type() == CV_8UC1, "mask type");
    // OpenCV's comparison refuses an empty matrix (a picture of no rows or columns).
    check(r.mask.empty() || cv::countNonZero(r.mask > 1) == 0, "mask holds values other than 0 and 1");
    // The string is the column-major encoding of the mask.
    RLE rle;
    std::string text = r.mask_rle;
    rleFrString(&rle, &text[0], static_cast<siz>(r.mask.rows), static_cast<siz>(r.mask.cols));
    uint64_t total = 0;
    for (siz j = 0; j < rle.m; j++) total += rle.cnts[j];
    check(total == r.mask.total(), "string does not cover the mask");
    std::vector<byte> decoded(r.mask.total());
    rleDecode(&rle, decoded.data(), 1);
    if (!r.mask.empty()) {
      const cv::Mat t = r.mask.t();
      check(std::memcmp(decoded.data(), t.data, decoded.size()) == 0, "string differs from mask");
    }
    rleFree(&rle);
  }
  return 0;
}
