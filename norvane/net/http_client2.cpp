#include "norvane/net/http_client2.h"

#include <algorithm>
#include <exception>

#include "norvane/error_codes.h"
#include "norvane/log.h"
#include "norvane/utils.h"

namespace norvane {

Uri Uri::parse(const std::string& url) {
  Uri u;
  if (url.empty()) return u;
  const size_t end = url.size();
  const size_t npos = std::string::npos;

  const size_t q_found = url.find('?');
  const size_t q = q_found == npos ? end : q_found;

  size_t host_start = 0;
  const size_t c = url.find(':');
  if (c != npos && end - c > 3 && url.compare(c, 3, "://") == 0) {
    u.protocol = url.substr(0, c);
    host_start = c + 3;
  }

  // A "/" inside the query is not a path separator, so only look before the "?".
  size_t p = url.find('/', host_start);
  if (p != npos && p > q) p = npos;
  const bool has_path = p != npos;
  // A "?" before the host start (inside what looked like a scheme) leaves no host.
  const size_t limit = std::max(has_path ? p : q, host_start);

  size_t h = url.find(':', host_start);
  if (h == npos || h > limit) h = limit;
  u.host = url.substr(host_start, h - host_start);
  if (h != end && url[h] == ':') u.port = url.substr(h + 1, limit - (h + 1));
  if (has_path) u.path = url.substr(p, q - p);
  if (q_found != npos) u.query = url.substr(q);
  return u;
}

HttpClient2::HttpClient2(const std::string& url, const std::string& path) : _path(path) {
  Uri u = Uri::parse(url);
  NV_VLOG(2) << url << ", " << path << ": " << u.protocol << ", " << u.host << ", " << u.port << ", " << u.path
             << ", " << u.query << ", ";
  // std::stoi: leading blanks, a sign, digits up to the first other character.
  int port = u.port.empty() ? 80 : std::stoi(u.port);
  _client = std::make_unique<httplib::Client>(u.host, port, "", "");

  try {
    std::string proxy = utils::env("HTTP_PROXY", "");
    if (proxy.empty()) proxy = utils::env("http_proxy", "");
    if (!proxy.empty()) {
      Uri pu = Uri::parse(proxy);
      NV_LOG(INFO) << "Proxy was set to " << pu.host << ":" << pu.port;
      int proxy_port = std::stoi(pu.port);
      _client->set_proxy(pu.host, proxy_port);
    }
  } catch (const std::exception& e) {
    NV_LOG(ERROR) << "Failed to set proxy: " << e.what();
  }
}

HttpClient2::~HttpClient2() = default;

int HttpClient2::set_post_data_aes_b64(const std::string& data, const std::string& key) {
  _headers.emplace("Content-Type", "text/plain");
  _content_type = "text/plain";
  std::string key_copy = key;  // the cipher call takes a mutable C string
  Utils::aes_b64_encode(data, _body, key_copy.data());
  return NV_OK;
}

int HttpClient2::set_post_data(const std::string& data) {
  _headers.emplace("Content-Type", "application/json");
  _content_type = "application/json";
  _body = data;
  return NV_OK;
}

int HttpClient2::perform(std::string& response, int timeout_sec) {
  _client->set_connection_timeout(timeout_sec);
  _client->set_read_timeout(timeout_sec);
  _client->set_write_timeout(timeout_sec);

  httplib::Request req;
  req.method = "POST";
  req.path = _path;
  req.headers = _headers;
  req.headers.emplace("Content-Type", _content_type);
  req.body = _body;

  httplib::Response res;
  httplib::Error error = httplib::Error::Success;
  bool sent = _client->send(req, res, error);
  if (sent && res.status == 200) {
    response = res.body;
    return NV_OK;
  }
  if (sent) {
    NV_LOG(ERROR) << "Http perform failed: " << " http code: " << res.status << ", body: " << res.body;
  } else {
    NV_LOG(ERROR) << "Http perform failed: " << "null respond";
  }
  return NV_ERR_HTTP;
}

}  // namespace norvane
