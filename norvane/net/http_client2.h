#pragma once

#include <chrono>
#include <memory>
#include <string>

#include <httplib.h>

namespace norvane {

// Parts of a URL; separators stay where noted: query starts with "?", path with
// "/", protocol has no "://", port no ":".
struct Uri {
  std::string query;
  std::string path;
  std::string protocol;
  std::string host;
  std::string port;

  static Uri parse(const std::string& url);
  ~Uri() = default;
};

// A one-exchange HTTP POST client: built for one request, used by one thread,
// destroyed after it. Always plain HTTP to the URL's host and port (80 by
// default), through the proxy named by HTTP_PROXY or else http_proxy; a proxy
// setting without a usable host and port (1 to 65535) makes perform fail
// without sending anything.
class HttpClient2 {
 public:
  // Throws std::invalid_argument or std::out_of_range when the URL's port is not
  // a decimal number; a bad proxy setting is logged and fails perform.
  HttpClient2(const std::string& url, const std::string& path);
  virtual ~HttpClient2();
  HttpClient2(const HttpClient2&) = delete;
  HttpClient2& operator=(const HttpClient2&) = delete;

  // Body = Base64 of AES-128-ECB zero-padded encipherment of data under the 16-byte key.
  int set_post_data_aes_b64(const std::string& data, const std::string& key);
  int set_post_data(const std::string& data);
  // 0 with response = the reply body on status 200; NV_ERR_HTTP otherwise. The
  // whole exchange (name resolution, connect, send, receive) ends within
  // timeout_sec seconds, however slowly the other side answers.
  int perform(std::string& response, int timeout_sec);

 private:
  // Resolves the host that the connection goes to (the proxy's when one is set)
  // and hands the library its address, so no lookup happens without a bound.
  bool _resolve_before(std::chrono::steady_clock::time_point deadline);

  std::unique_ptr<httplib::Client> _client;
  httplib::Headers _headers;
  std::string _path;
  std::string _body;
  std::string _content_type;
  std::string _host;        // the URL's host
  std::string _proxy_host;  // empty without a proxy
  int _proxy_port = 0;
  bool _proxy_unusable = false;  // a proxy is set but names no usable host and port
};

}  // namespace norvane
