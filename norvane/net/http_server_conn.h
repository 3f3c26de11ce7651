#pragma once

// Connections of the HTTP service. The library parses and answers requests; the
// socket stream under it is ours, so that each request has a bound in time and
// not only each read: one slow client must not hold the one serving thread.

#include <chrono>
#include <cstdint>

#include <httplib.h>

namespace norvane {
namespace detail {

// Time bounds of one request. The request line and headers must be complete
// within `head` of their first byte. After them the body, and then the reply,
// must move at `min_rate` bytes a second on average after an allowance of
// `grace`: by t seconds into either, at least min_rate × (t − grace) bytes.
// Each single wait is also bounded by the library's read and write time-outs.
struct RequestDeadlines {
  std::chrono::milliseconds head{10000};
  std::chrono::milliseconds grace{10000};
  uint64_t min_rate = 64 * 1024;
};

class ConnectionStream;

// The library's server, with connections served through ConnectionStream. Still
// one connection at a time, on the thread that runs the listen loop.
class BoundedServer : public httplib::Server {
 public:
  void set_deadlines(const RequestDeadlines& deadlines) { _deadlines = deadlines; }

  // Called by a handler that reads a body, on the serving thread: the headers
  // are done and the body's rate rule starts now.
  void body_begins();
  // Closes the connection after the current reply: its input was refused or
  // could not be read whole, so nothing after it can be parsed.
  void close_after_reply();

  // Lets the kernel queue up to `backlog` connections for the one serving
  // thread. The library listens with a backlog of 5; past it, handshakes are
  // dropped and clients wait on SYN retransmission (1, 3, 7, 15, 31 s) or lose
  // their request. Call after binding.
  bool widen_backlog(int backlog);

  // One request read from a stream that is no socket, answered into it (the
  // fuzz target's way in); the routes, handlers and caps are those of serving.
  bool process_stream(httplib::Stream& stream) {
    bool connection_closed = false;
    return process_request(stream, true, connection_closed, nullptr);
  }

 private:
  bool process_and_close_socket(socket_t sock) override;

  RequestDeadlines _deadlines;
  ConnectionStream* _current = nullptr;  // the connection being served; serving thread only
};

// SIGTERM and SIGINT ask every running service to stop; async-signal-safe.
void signal_stop();
bool stop_signalled();
void clear_stop_signal();

}  // namespace detail
}  // namespace norvane
