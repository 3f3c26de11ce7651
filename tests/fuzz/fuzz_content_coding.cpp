// The request body decoders against zlib's and brotli's own encoders.
//
// Input: byte 0 % 6 picks a list of codings (kLists) and bit 3 of byte 0 says
// what the rest is: the body as sent (set), or data the target encodes itself
// (clear), with byte 1 placing the cut between two gzip members and the end
// of a body cut short.
// Checked beyond the sanitizers: whatever is sent decodes to at most the cap or
// is refused with nothing kept; what the encoders wrote decodes to the data
// exactly, and to a refusal (413) under a cap one byte short of it; a body cut
// short decodes to a refusal or to a start of the data, never to other bytes.

#include <brotli/encode.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "norvane/net/http_content_coding.h"

namespace {

using norvane::detail::ContentCoding;

const std::vector<std::vector<ContentCoding>> kLists = {
    {ContentCoding::kGzip},
    {ContentCoding::kDeflate},
    {ContentCoding::kBrotli},
    {ContentCoding::kGzip, ContentCoding::kBrotli},
    {ContentCoding::kBrotli, ContentCoding::kGzip},
    {ContentCoding::kDeflate, ContentCoding::kDeflate},
};

constexpr size_t kCap = 64 * 1024;

std::string zlib_encoded(const std::string& data, int window_bits) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
  std::string out(deflateBound(&z, data.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  return out;
}

std::string brotli_encoded(const std::string& data) {
  size_t size = BrotliEncoderMaxCompressedSize(data.size()) + 16;
  std::string out(size, '\0');
  if (!BrotliEncoderCompress(2, 18, BROTLI_MODE_GENERIC, data.size(), reinterpret_cast<const uint8_t*>(data.data()),
                             &size, reinterpret_cast<uint8_t*>(&out[0])))
    std::abort();
  out.resize(size);
  return out;
}

// data with the codings applied in order; gzip as two members cut at `split`.
std::string encoded(std::string data, const std::vector<ContentCoding>& codings, size_t split) {
  for (const ContentCoding coding : codings) {
    if (coding == ContentCoding::kGzip) {
      const size_t at = std::min(split, data.size());
      data = zlib_encoded(data.substr(0, at), 31) + zlib_encoded(data.substr(at), 31);
    } else if (coding == ContentCoding::kDeflate) {
      data = zlib_encoded(data, 15);
    } else {
      data = brotli_encoded(data);
    }
  }
  return data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  using norvane::detail::decode_content;
  using norvane::detail::kCodingCorrupt;
  using norvane::detail::kCodingOk;
  using norvane::detail::kCodingTooLarge;
  if (size < 2) return 0;
  const std::vector<ContentCoding>& codings = kLists[bytes[0] % kLists.size()];
  const std::string data(reinterpret_cast<const char*>(bytes + 2), size - 2);
  std::string out;

  if (bytes[0] & 8) {
    const int rc = decode_content(data, codings, kCap, out);
    if (rc != kCodingOk && rc != kCodingCorrupt && rc != kCodingTooLarge) std::abort();
    if (rc == kCodingOk ? out.size() > kCap : !out.empty()) std::abort();
    return 0;
  }

  // Room for what each stage yields, incompressible data included.
  const size_t room = 2 * size + 1024;
  const std::string body = encoded(data, codings, data.size() * bytes[1] / 255);
  if (decode_content(body, codings, room, out) != kCodingOk || out != data) std::abort();
  if (!data.empty() && decode_content(body, codings, data.size() - 1, out) != kCodingTooLarge) std::abort();
  const std::string cut = body.substr(0, body.size() * bytes[1] / 256);
  if (decode_content(cut, codings, room, out) == kCodingOk && data.compare(0, out.size(), out) != 0) std::abort();
  return 0;
}
