// Usage-server and proxy addresses through the URL parsing and the client's
// set-up (no request is sent). Input: the server address, then the proxy
// address, each as FuzzedDataProvider's random-length string.

#include <fuzzer/FuzzedDataProvider.h>

#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "fuzz/fuzz_support.h"
#include "norvane/net/http_client2.h"

namespace {

// Every field is a piece of the text with its separator where documented.
void check(const std::string& text) {
  const norvane::Uri u = norvane::Uri::parse(text);
  for (const std::string* field : {&u.query, &u.path, &u.protocol, &u.host, &u.port})
    if (text.find(*field) == std::string::npos) std::abort();
  if (!u.query.empty() && u.query[0] != '?') std::abort();
  if (!u.path.empty() && u.path[0] != '/') std::abort();
  if (!u.protocol.empty() && text.compare(0, u.protocol.size() + 3, u.protocol + "://") != 0) std::abort();
  // The port is what follows the host's ":" (so it may hold a second ":").
  if (!u.port.empty() && text.find(u.host + ":" + u.port) == std::string::npos) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  norvane_fuzz::quiet_logger();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string server = in.ConsumeRandomLengthString(size);
  const std::string proxy = in.ConsumeRandomLengthString(size);
  check(server);
  check(proxy);
  // NUL cannot be in the environment; the parse above already saw it.
  setenv("HTTP_PROXY", proxy.c_str(), 1);
  try {
    norvane::HttpClient2 client(server, "/offline-auth/v2/usage/edge");
    client.set_post_data("{}");
  } catch (const std::invalid_argument&) {
  } catch (const std::out_of_range&) {
    // A port that is not a decimal int: the constructor's documented refusal.
  }
  return 0;
}
