#pragma once

// Connections of the HTTP service. One thread keeps every connection open at
// once and reads each request as its bytes arrive (RequestReader); a request
// goes to the routes only once it is whole, and requests are served one at a
// time in the order they complete. Replies are written as each client takes
// them. So an idle, trickling or slow client costs the others nothing, and no
// client can make the service hold more than the limits below.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <httplib.h>

#include "norvane/net/http_request_reader.h"

namespace norvane {
namespace detail {

// Time bounds of one request. The request line and headers must be complete
// within `head` of their first byte. After them the body, and then the reply,
// must move at `min_rate` bytes a second on average after an allowance of
// `grace`: by t seconds into either, at least min_rate × (t − grace) bytes. No
// single wait for the client is longer than `stall`, and a connection waits
// `idle` for the first byte of its next request (blank lines are none). Only
// time the service is ready for the client counts: not while a handler runs,
// nor while a body waits for room.
struct RequestDeadlines {
  std::chrono::milliseconds head{10000};
  std::chrono::milliseconds grace{10000};
  uint64_t min_rate = 64 * 1024;
  std::chrono::milliseconds stall{5000};
  std::chrono::milliseconds idle{5000};
};

// What the service holds for its clients at most.
struct ConnectionLimits {
  // Open connections, lingering ones included (fewer when the limit on open
  // files leaves less room). A new one beyond this closes one that is lingering
  // or has no request begun, else one slow in its head (with a 503); when none
  // may go, new connections wait in the backlog.
  size_t connections = 256;
  // Requests served on one connection before it is closed.
  size_t requests_per_connection = 5;
  HeadLimits head;
};

// Where a request came from, for the library's request record.
struct Peer {
  std::string ip;
  int port = -1;
  std::string local_ip;
  int local_port = -1;
};

// The library's server, used for its routes, handlers and reply writing only:
// the connections are ours.
class BoundedServer : public httplib::Server {
 public:
  // Answers one whole request into reply. `last`: the connection closes after
  // it. False when the connection must close after the reply.
  bool answer(ParsedRequest& request, bool last, const Peer& peer, std::string& reply);

  // For a handler of the request being answered, on the serving thread: the body
  // as received (content codings not undone), moved out; false when no request
  // is being answered.
  bool take_body(std::string& body);
  // For a handler: nothing after this reply can be read on this connection.
  void close_after_reply() { _close_current = true; }

  // The access log, called for the library's replies and for the refusals made
  // before a request reaches it.
  void set_access_log(httplib::Logger logger);
  void log_refusal(const ParsedRequest& partial, int status) const;

  // The socket bind_to_port() opened, with room for `backlog` waiting
  // handshakes (the library listens with 5); closed by close_listening().
  socket_t listening_socket(int backlog);
  void close_listening();

 private:
  httplib::Logger _access_log;
  ParsedRequest* _current = nullptr;  // the request being answered
  bool _close_current = false;
};

// The reply to a request refused before it reached the routes.
std::string refusal_reply(int status);

// Bytes of one connection as they might arrive, served as the loop serves
// them: each complete request answered in turn, a refusal ending it. The replies'
// bytes, as the client would read them. (The fuzz target's way in.)
std::string serve_pieces(BoundedServer& server, const std::vector<std::string>& pieces, size_t max_body_bytes,
                         const ConnectionLimits& limits = {});

// Serves connections on the listening socket until stop() says so; false when
// the listening socket fails.
bool run_connection_loop(BoundedServer& server, socket_t listening, const RequestDeadlines& deadlines,
                         const ConnectionLimits& limits, size_t max_body_bytes, const std::function<bool()>& stop);

// SIGTERM and SIGINT ask every running service to stop; async-signal-safe.
void signal_stop();
bool stop_signalled();
void clear_stop_signal();

}  // namespace detail
}  // namespace norvane
