#pragma once

// Reads one HTTP/1.1 request from bytes as they arrive, in pieces of any size,
// with every limit checked as the bytes come in: nothing held grows with what a
// client sends beyond the head limits and the body cap. Framing is strict (chunk
// sizes and CRLFs exactly as written, one unambiguous body length), so that what
// is served as a request is exactly what the client sent as one.
// No socket here: the connection loop and the fuzz target both feed it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace norvane {
namespace detail {

struct HeadLimits {
  size_t head_bytes = 64 * 1024;  // request line and header lines together
  size_t header_lines = 100;
  // The request line (414 beyond) and each header line (431), CRLF not counted:
  // 8 KiB with it, the most the library that answers reads again.
  size_t line_bytes = 8190;
};

// One request as the client sent it, its body decoded from the chunked coding.
struct ParsedRequest {
  std::string method;
  std::string target;  // as sent, query included
  std::string version;  // "HTTP/1.0" or "HTTP/1.1"
  std::vector<std::pair<std::string, std::string>> headers;  // values without surrounding blanks
  std::string body;
  // "Expect: 100-continue" from an HTTP/1.1 client; a 1.0 client gets no 1xx.
  bool expects_continue = false;

  // The first header of that name (compared without regard to case), or null.
  const std::string* header(const char* name) const;
};

class RequestReader {
 public:
  enum class State {
    kIdle,  // nothing of a request yet (blank lines between requests are skipped)
    kHead,  // inside the request line or headers
    kBody,  // head accepted; reading the body
    kComplete,  // a whole request is ready to take()
    kFailed,  // refused: failure_status() tells the reply; the connection closes
  };

  RequestReader(size_t max_body_bytes, HeadLimits limits = {});

  // Consumes bytes of [data, data + size) and returns how many. Stops where the
  // head has been accepted (kBody: the caller decides when to read the body), at
  // the end of a request (kComplete) and at a refusal (kFailed); what is left
  // belongs to what follows and is fed again later. A body's memory grows with
  // the bytes received, never at once to a declared length.
  size_t feed(const char* data, size_t size);

  State state() const { return _state; }
  int failure_status() const { return _failure; }
  const std::string& failure_reason() const { return _reason; }

  // Known once the head is accepted: the body's declared length, or that it is
  // chunked (its length unknown until its end).
  bool chunked() const { return _chunked; }
  uint64_t content_length() const { return _length; }
  // Bytes read for the body so far, framing included: what the body cap counts.
  uint64_t body_bytes_read() const { return _wire; }
  // At most this many bytes complete the current piece of the request: reading
  // no more than that never takes in bytes of a following request for a body of
  // known length.
  size_t wanted() const;
  // The request line's method and target, once read (for the log of a refusal).
  const ParsedRequest& partial() const { return _request; }

  // The complete request; the reader starts over for the next one.
  ParsedRequest take();

 private:
  enum class Chunk { kSize, kData, kDataEnd, kTrailer };

  size_t feed_head(const char* data, size_t size);
  size_t feed_body(const char* data, size_t size);
  bool parse_request_line(const std::string& line);
  bool parse_header_line(const std::string& line);
  bool parse_chunk_size(const std::string& line);
  void accept_head();
  void fail(int status, const std::string& reason);

  size_t _max_body;
  HeadLimits _limits;
  State _state = State::kIdle;
  int _failure = 0;
  std::string _reason;

  ParsedRequest _request;
  std::string _line;  // the line being read, without its CRLF
  bool _cr = false;  // the last byte of _line was a CR
  size_t _head_bytes = 0;
  size_t _header_lines = 0;

  bool _chunked = false;
  uint64_t _length = 0;  // declared length, or the current chunk's size
  uint64_t _wire = 0;
  Chunk _chunk = Chunk::kSize;
  uint64_t _chunk_left = 0;
  size_t _trailer_lines = 0;
};

// RFC 9110 token characters (method, header names).
bool is_token(const std::string& text);
// Elements of a comma-separated field value (RFC 9110, 5.6.1), blanks around each
// removed, empty ones dropped.
std::vector<std::string> list_elements(const std::string& value);

}  // namespace detail
}  // namespace norvane
