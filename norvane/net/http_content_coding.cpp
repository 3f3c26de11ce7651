// Content codings of request bodies: names and incremental decoders.

#include "norvane/net/http_content_coding.h"

#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <vector>

#include <brotli/decode.h>
#include <zlib.h>

#include "norvane/net/http_request_reader.h"

namespace norvane {
namespace detail {

const char* const kAcceptedCodings = "gzip, deflate, br";

namespace {

// Output is handed on in pieces of this size, so a stage never holds more.
constexpr size_t kPieceBytes = 16 * 1024;

// Where a stage sends each piece it decodes; any code but kCodingOk stops it.
using Emit = std::function<int(const unsigned char*, size_t)>;

class Decoder {
 public:
  virtual ~Decoder() = default;
  // Decodes the next input bytes, handing what they yield to emit.
  virtual int feed(const unsigned char* data, size_t size, const Emit& emit) = 0;
  // After the last input: kCodingCorrupt unless the stream ended with it.
  virtual int finish() const = 0;
};

// zlib's inflate, told a gzip header from a zlib one by its bytes. A gzip body
// may be several members one after the other (RFC 1952, 2.2), each decoded in
// turn; after a zlib stream nothing may follow.
class InflateDecoder final : public Decoder {
 public:
  explicit InflateDecoder(bool members) : _members(members), _out(kPieceBytes) {
    if (inflateInit2(&_z, 15 + 32) != Z_OK) throw std::bad_alloc();
  }
  ~InflateDecoder() override { inflateEnd(&_z); }
  InflateDecoder(const InflateDecoder&) = delete;
  InflateDecoder& operator=(const InflateDecoder&) = delete;

  int feed(const unsigned char* data, size_t size, const Emit& emit) override {
    while (size > 0) {
      if (_ended) {
        if (!_members) return kCodingCorrupt;
        inflateReset(&_z);
        _ended = false;
      }
      const auto in = static_cast<uInt>(std::min<size_t>(size, UINT_MAX));
      _z.next_in = const_cast<Bytef*>(data);
      _z.avail_in = in;
      do {
        _z.next_out = _out.data();
        _z.avail_out = static_cast<uInt>(_out.size());
        const uInt avail_before = _z.avail_in;
        const int rc = inflate(&_z, Z_NO_FLUSH);
        if (rc == Z_MEM_ERROR) throw std::bad_alloc();
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) return kCodingCorrupt;
        const size_t produced = _out.size() - _z.avail_out;
        // zlib makes progress whenever it has input and room; guard the loop all the same.
        if (rc == Z_BUF_ERROR && produced == 0 && _z.avail_in == avail_before && avail_before > 0)
          return kCodingCorrupt;
        if (produced > 0) {
          const int sent = emit(_out.data(), produced);
          if (sent != kCodingOk) return sent;
        }
        if (rc == Z_STREAM_END) {
          _ended = true;
          break;
        }
        // Z_BUF_ERROR: all input taken and nothing more to write out.
      } while (_z.avail_in > 0 || _z.avail_out == 0);
      const size_t used = in - _z.avail_in;
      data += used;
      size -= used;
    }
    return kCodingOk;
  }

  int finish() const override { return _ended ? kCodingOk : kCodingCorrupt; }

 private:
  const bool _members;
  std::vector<unsigned char> _out;
  z_stream _z{};
  bool _ended = false;
};

class BrotliDecoder final : public Decoder {
 public:
  BrotliDecoder() : _state(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr)), _out(kPieceBytes) {
    if (_state == nullptr) throw std::bad_alloc();
  }
  ~BrotliDecoder() override { BrotliDecoderDestroyInstance(_state); }
  BrotliDecoder(const BrotliDecoder&) = delete;
  BrotliDecoder& operator=(const BrotliDecoder&) = delete;

  int feed(const unsigned char* data, size_t size, const Emit& emit) override {
    size_t avail_in = size;
    const uint8_t* next_in = data;
    for (;;) {
      // Nothing may follow the end of the stream.
      if (_ended) return avail_in > 0 ? kCodingCorrupt : kCodingOk;
      size_t avail_out = _out.size();
      uint8_t* next_out = _out.data();
      const BrotliDecoderResult rc =
          BrotliDecoderDecompressStream(_state, &avail_in, &next_in, &avail_out, &next_out, nullptr);
      if (rc == BROTLI_DECODER_RESULT_ERROR) {
        const BrotliDecoderErrorCode why = BrotliDecoderGetErrorCode(_state);
        if (why <= BROTLI_DECODER_ERROR_ALLOC_CONTEXT_MODES && why >= BROTLI_DECODER_ERROR_ALLOC_BLOCK_TYPE_TREES)
          throw std::bad_alloc();
        return kCodingCorrupt;
      }
      const size_t produced = _out.size() - avail_out;
      if (produced > 0) {
        const int sent = emit(_out.data(), produced);
        if (sent != kCodingOk) return sent;
      }
      if (rc == BROTLI_DECODER_RESULT_SUCCESS) _ended = true;
      if (rc == BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT) return kCodingOk;
    }
  }

  int finish() const override { return _ended ? kCodingOk : kCodingCorrupt; }

 private:
  BrotliDecoderState* _state;
  std::vector<uint8_t> _out;
  bool _ended = false;
};

std::unique_ptr<Decoder> decoder_for(ContentCoding coding) {
  switch (coding) {
    case ContentCoding::kGzip:
      return std::make_unique<InflateDecoder>(true);
    case ContentCoding::kDeflate:
      return std::make_unique<InflateDecoder>(false);
    case ContentCoding::kBrotli:
      break;
  }
  return std::make_unique<BrotliDecoder>();
}

// body through one decoder per coding, the last applied first; each stage's
// output is counted against cap as it comes and the final bytes go to sink.
int run_stages(const std::string& body, const std::vector<ContentCoding>& codings, size_t cap, const Emit& sink) {
  const size_t n = codings.size();
  std::vector<std::unique_ptr<Decoder>> stages;
  for (size_t i = 0; i < n; ++i) stages.push_back(decoder_for(codings[n - 1 - i]));
  std::vector<size_t> produced(n, 0);
  std::vector<Emit> emits(n);
  for (size_t i = 0; i < n; ++i) {
    emits[i] = [&, i](const unsigned char* data, size_t size) {
      if (size > cap - produced[i]) return kCodingTooLarge;
      produced[i] += size;
      return i + 1 < n ? stages[i + 1]->feed(data, size, emits[i + 1]) : sink(data, size);
    };
  }
  int rc = stages[0]->feed(reinterpret_cast<const unsigned char*>(body.data()), body.size(), emits[0]);
  for (size_t i = 0; rc == kCodingOk && i < n; ++i) rc = stages[i]->finish();
  return rc;
}

}  // namespace

int parse_content_codings(const std::vector<std::string>& field_values, std::vector<ContentCoding>& codings) {
  codings.clear();
  for (const std::string& value : field_values) {
    for (const std::string& name : list_elements(value)) {
      const char* text = name.c_str();
      if (strcasecmp(text, "identity") == 0) continue;
      ContentCoding coding;
      if (strcasecmp(text, "gzip") == 0 || strcasecmp(text, "x-gzip") == 0) {
        coding = ContentCoding::kGzip;
      } else if (strcasecmp(text, "deflate") == 0) {
        coding = ContentCoding::kDeflate;
      } else if (strcasecmp(text, "br") == 0) {
        coding = ContentCoding::kBrotli;
      } else {
        return kCodingUnsupported;
      }
      if (codings.size() == kMaxContentCodings) return kCodingUnsupported;
      codings.push_back(coding);
    }
  }
  return kCodingOk;
}

int decode_content(const std::string& body, const std::vector<ContentCoding>& codings, size_t cap, std::string& out) {
  out.clear();
  if (codings.empty()) {
    if (body.size() > cap) return kCodingTooLarge;
    out = body;
    return kCodingOk;
  }
  if (body.empty()) return kCodingOk;
  size_t total = 0;
  int rc = run_stages(body, codings, cap, [&total](const unsigned char*, size_t size) {
    total += size;
    return kCodingOk;
  });
  if (rc != kCodingOk) return rc;
  out.reserve(total);
  rc = run_stages(body, codings, cap, [&out](const unsigned char* data, size_t size) {
    out.append(reinterpret_cast<const char*>(data), size);
    return kCodingOk;
  });
  if (rc != kCodingOk) out.clear();
  return rc;
}

}  // namespace detail
}  // namespace norvane
