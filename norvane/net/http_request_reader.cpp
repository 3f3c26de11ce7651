// Strict, incremental reading of one HTTP/1.1 request (RFC 9112).

#include "norvane/net/http_request_reader.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace norvane {
namespace detail {

namespace {

// A chunk-size line with its extensions; longer ones are no honest client's.
constexpr size_t kChunkLineBytes = 4096;
// More hex digits than this is a size no body cap allows.
constexpr size_t kChunkSizeDigits = 15;
// Read size while the length of what follows is unknown.
constexpr size_t kReadPiece = 16384;
// Digits of a Content-Length beyond which the value is over any cap.
constexpr size_t kLengthDigits = 18;

bool is_tchar(unsigned char c) {
  if (c >= '0' && c <= '9') return true;
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
  return c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string trimmed(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && is_blank(text[begin])) ++begin;
  while (end > begin && is_blank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// Field values may hold any byte but NUL (RFC 9110, 5.5: CR and LF cannot reach
// here, lines end at them). Other control bytes are kept, as clients send them;
// the access log escapes them.
bool is_field_value(const std::string& value) { return value.find('\0') == std::string::npos; }

}  // namespace

std::vector<std::string> list_elements(const std::string& value) {
  std::vector<std::string> elements;
  size_t start = 0;
  for (;;) {
    const size_t comma = value.find(',', start);
    const std::string element = trimmed(value.substr(start, comma == std::string::npos ? comma : comma - start));
    if (!element.empty()) elements.push_back(element);
    if (comma == std::string::npos) return elements;
    start = comma + 1;
  }
}

bool is_token(const std::string& text) {
  if (text.empty()) return false;
  for (const char c : text)
    if (!is_tchar(static_cast<unsigned char>(c))) return false;
  return true;
}

const std::string* ParsedRequest::header(const char* name) const {
  for (const auto& h : headers)
    if (strcasecmp(h.first.c_str(), name) == 0) return &h.second;
  return nullptr;
}

RequestReader::RequestReader(size_t max_body_bytes, HeadLimits limits) : _max_body(max_body_bytes), _limits(limits) {}

void RequestReader::fail(int status, const std::string& reason) {
  _state = State::kFailed;
  _failure = status;
  _reason = reason;
}

size_t RequestReader::wanted() const {
  if (_state == State::kBody && !_chunked) return static_cast<size_t>(std::min<uint64_t>(_length - _wire, kReadPiece));
  return kReadPiece;
}

size_t RequestReader::feed(const char* data, size_t size) {
  if (_state == State::kBody) return feed_body(data, size);
  if (_state == State::kIdle || _state == State::kHead) return feed_head(data, size);
  return 0;
}

// Appends c to the line being read. 1 when the line is complete (its CRLF not
// kept), 0 while it goes on, -1 for a CR or LF that is not part of a CRLF.
static int line_step(std::string& line, bool& cr, char c) {
  if (cr) {
    cr = false;
    return c == '\n' ? 1 : -1;
  }
  if (c == '\r') {
    cr = true;
    return 0;
  }
  if (c == '\n') return -1;
  line += c;
  return 0;
}

size_t RequestReader::feed_head(const char* data, size_t size) {
  size_t i = 0;
  if (_state == State::kIdle) {
    // Blank lines before a request line are ignored (RFC 9112, 2.2), such as the
    // CRLF some clients send after a body.
    while (i < size && (data[i] == '\r' || data[i] == '\n')) ++i;
    if (i == size) return i;
    _state = State::kHead;
  }
  for (; i < size && _state == State::kHead; ++i) {
    if (++_head_bytes > _limits.head_bytes) {
      fail(431, "request head over " + std::to_string(_limits.head_bytes) + " bytes");
      return i + 1;
    }
    const int step = line_step(_line, _cr, data[i]);
    if (step < 0) {
      fail(400, "line not ended by CRLF in the request head");
      return i + 1;
    }
    const bool first = _request.method.empty();
    if (step == 0) {
      if (_line.size() > _limits.line_bytes) {
        if (first) fail(414, "request line over " + std::to_string(_limits.line_bytes) + " bytes");
        else fail(431, "header line over " + std::to_string(_limits.line_bytes) + " bytes");
        return i + 1;
      }
      continue;
    }
    if (first) {
      if (!parse_request_line(_line)) return i + 1;
    } else if (_line.empty()) {
      accept_head();
    } else {
      if (++_header_lines > _limits.header_lines) {
        fail(431, "more than " + std::to_string(_limits.header_lines) + " header lines");
        return i + 1;
      }
      if (!parse_header_line(_line)) return i + 1;
    }
    _line.clear();
  }
  return i;
}

bool RequestReader::parse_request_line(const std::string& line) {
  const size_t sp1 = line.find(' ');
  const size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string::npos || line.find(' ', sp2 + 1) != std::string::npos) {
    fail(400, "malformed request line");
    return false;
  }
  const std::string method = line.substr(0, sp1);
  const std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string version = line.substr(sp2 + 1);
  bool target_ok = !target.empty();
  for (const char c : target) {
    const auto byte = static_cast<unsigned char>(c);
    target_ok = target_ok && byte > 0x20 && byte != 0x7F;
  }
  if (!is_token(method) || !target_ok || (version != "HTTP/1.1" && version != "HTTP/1.0")) {
    fail(400, "malformed request line");
    return false;
  }
  _request.method = method;
  _request.target = target;
  _request.version = version;
  return true;
}

bool RequestReader::parse_header_line(const std::string& line) {
  // A line that starts with a blank continues the previous field (obsolete line
  // folding), which no client of this service needs (RFC 9112, 5.2).
  const size_t colon = line.find(':');
  if (is_blank(line[0]) || colon == std::string::npos || !is_token(line.substr(0, colon))) {
    fail(400, "malformed header line");
    return false;
  }
  std::string value = trimmed(line.substr(colon + 1));
  if (!is_field_value(value)) {
    fail(400, "NUL in a header value");
    return false;
  }
  _request.headers.emplace_back(line.substr(0, colon), std::move(value));
  return true;
}

void RequestReader::accept_head() {
  bool have_te = false, have_length = false;
  std::vector<std::string> codings;
  for (const auto& h : _request.headers) {
    if (strcasecmp(h.first.c_str(), "Transfer-Encoding") == 0) {
      have_te = true;
      for (auto& element : list_elements(h.second)) codings.push_back(element);
    } else if (strcasecmp(h.first.c_str(), "Content-Length") == 0) {
      const std::vector<std::string> values = list_elements(h.second);
      if (values.empty()) return fail(400, "empty Content-Length");
      for (const std::string& v : values) {
        if (v.find_first_not_of("0123456789") != std::string::npos)
          return fail(400, "Content-Length is not a number");
        // Too many digits for any cap: saturate (413 below) rather than wrap.
        const uint64_t n = v.size() > kLengthDigits ? UINT64_MAX : std::stoull(v);
        if (have_length && n != _length) return fail(400, "differing Content-Length values");
        _length = n;
        have_length = true;
      }
    } else if (strcasecmp(h.first.c_str(), "Expect") == 0) {
      // RFC 9110, 10.1.1: an HTTP/1.0 client's expectation is ignored.
      _request.expects_continue =
          _request.version == "HTTP/1.1" && strcasecmp(h.second.c_str(), "100-continue") == 0;
    }
  }
  if (have_te) {
    // Both framings at once is how requests are smuggled (RFC 9112, 6.1).
    if (have_length) return fail(400, "both Transfer-Encoding and Content-Length");
    if (_request.version != "HTTP/1.1" || codings.size() != 1 || strcasecmp(codings[0].c_str(), "chunked") != 0)
      return fail(400, "unsupported Transfer-Encoding");
    _chunked = true;
    _length = 0;
    _chunk = Chunk::kSize;
    _state = State::kBody;
    return;
  }
  if (_length > _max_body) return fail(413, "body of " + std::to_string(_length) + " bytes over the cap");
  _state = _length == 0 ? State::kComplete : State::kBody;
}

bool RequestReader::parse_chunk_size(const std::string& line) {
  size_t digits = 0;
  uint64_t value = 0;
  while (digits < line.size() && std::isxdigit(static_cast<unsigned char>(line[digits]))) {
    if (digits == kChunkSizeDigits) {
      fail(413, "chunk size over the cap");
      return false;
    }
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(line[digits])));
    value = value * 16 + static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    ++digits;
  }
  // Extensions (";name=value") are allowed and ignored; nothing else may follow.
  size_t rest = digits;
  while (rest < line.size() && is_blank(line[rest])) ++rest;
  if (digits == 0 || (rest < line.size() && line[rest] != ';') || !is_field_value(line.substr(rest))) {
    fail(400, "malformed chunk size");
    return false;
  }
  _chunk_left = value;
  return true;
}

size_t RequestReader::feed_body(const char* data, size_t size) {
  if (!_chunked) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size, _length - _wire));
    // Grown by doubling as bytes come, never past the declared length (a
    // string's own reserve() may double past it).
    std::string& body = _request.body;
    if (body.size() + n > body.capacity()) {
      std::string grown;
      grown.reserve(static_cast<size_t>(std::min<uint64_t>(_length, std::max<uint64_t>(body.size() + n, 2 * body.capacity()))));
      grown.append(body);
      body.swap(grown);
    }
    body.append(data, n);
    _wire += n;
    if (_wire == _length) _state = State::kComplete;
    return n;
  }
  size_t i = 0;
  while (i < size && _state == State::kBody) {
    if (_chunk == Chunk::kData) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(size - i, _chunk_left));
      _request.body.append(data + i, n);
      _wire += n;
      i += n;
      _chunk_left -= n;
      if (_chunk_left == 0) _chunk = Chunk::kDataEnd;
      continue;
    }
    // Framing bytes count against the cap too: a body of empty or tiny chunks
    // costs the reader as much as its data.
    if (++_wire > _max_body) {
      fail(413, "chunked body over the cap");
      return i + 1;
    }
    const char c = data[i++];
    if (_chunk == Chunk::kDataEnd) {
      const int step = line_step(_line, _cr, c);
      if (step < 0 || !_line.empty()) {
        fail(400, "chunk data not followed by CRLF");
        return i;
      }
      if (step == 1) _chunk = Chunk::kSize;
      continue;
    }
    const int step = line_step(_line, _cr, c);
    const size_t limit = _chunk == Chunk::kSize ? kChunkLineBytes : _limits.line_bytes;
    if (step < 0 || _line.size() > limit) {
      fail(400, step < 0 ? "chunk line not ended by CRLF" : "chunk line too long");
      return i;
    }
    if (step == 0) continue;
    if (_chunk == Chunk::kSize) {
      if (!parse_chunk_size(_line)) return i;
      // A chunk that cannot fit is refused before its data is read.
      if (_chunk_left > _max_body - _wire) {
        fail(413, "chunked body over the cap");
        return i;
      }
      _chunk = _chunk_left == 0 ? Chunk::kTrailer : Chunk::kData;
    } else if (_line.empty()) {
      _state = State::kComplete;  // trailer fields are read and dropped
    } else {
      const size_t colon = _line.find(':');
      if (++_trailer_lines > _limits.header_lines || colon == std::string::npos ||
          !is_token(_line.substr(0, colon)) || !is_field_value(_line)) {
        fail(400, "malformed trailer");
        return i;
      }
    }
    _line.clear();
  }
  return i;
}

ParsedRequest RequestReader::take() {
  ParsedRequest request = std::move(_request);
  *this = RequestReader(_max_body, _limits);
  return request;
}

}  // namespace detail
}  // namespace norvane
