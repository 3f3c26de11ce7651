// Usage-server and proxy addresses through the URL parsing and the client's
// set-up (no request is sent). Input: the server address, then the proxy
// address, each as FuzzedDataProvider's random-length string.

#include <fuzzer/FuzzedDataProvider.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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

// The proxy reaches the client through the environment. setenv keeps every value
// it was ever given (the C library cannot tell whether someone still points at
// one), so a new value each run grew the fuzzer by its length; this one entry,
// handed to putenv once, is rewritten in place instead. Longer texts are cut.
constexpr char kProxyName[] = "HTTP_PROXY=";
constexpr size_t kProxyRoom = 4096;
char g_proxy_entry[sizeof(kProxyName) + kProxyRoom] = "HTTP_PROXY=";

void set_proxy(const std::string& proxy) {
  // NUL cannot be in the environment; the parse already saw the whole text.
  const size_t n = std::min(std::strlen(proxy.c_str()), kProxyRoom);
  std::memcpy(g_proxy_entry + sizeof(kProxyName) - 1, proxy.c_str(), n);
  g_proxy_entry[sizeof(kProxyName) - 1 + n] = '\0';
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  norvane_fuzz::quiet_logger();
  putenv(g_proxy_entry);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string server = in.ConsumeRandomLengthString(size);
  const std::string proxy = in.ConsumeRandomLengthString(size);
  check(server);
  check(proxy);
  set_proxy(proxy);
  try {
    norvane::HttpClient2 client(server, "/offline-auth/v2/usage/edge");
    client.set_post_data("{}");
  } catch (const std::invalid_argument&) {
  } catch (const std::out_of_range&) {
    // A port that is not a decimal int: the constructor's documented refusal.
  }
  return 0;
}
