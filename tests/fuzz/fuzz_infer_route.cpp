// POST "/" of the HTTP service with a fuzzed body and "threshold" text, through
// the service's request reading and its real handler, with the caps in
// force and real example models (classifier, detector, segmenter) behind it.
//
// Input: byte 0 % 3 picks the model and byte 0 / 3 the body's content codings
// (kCodings); byte 1 % 17 is the length of the threshold text that follows (16:
// no threshold parameter); the rest is the body.
// Checked beyond the sanitizers: every reply is an HTTP reply, a coding not
// undone here is refused with 415, and a routed reply's body is valid UTF-8 JSON.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <httplib.h>
#include <picojson.h>

#include "norvane/edge_controller.h"
#include "norvane/net/http_server.h"
#include "fuzz_support.h"

namespace {

std::vector<std::unique_ptr<norvane::HttpServer>>* g_servers = nullptr;

// Content-Encoding lines the body is declared with ("" none): every decoder,
// lists, and names that must be refused.
const char* const kCodings[] = {"", "gzip", "deflate", "br", "X-GZIP, identity", "gzip, br", "deflate, gzip", "x-foo"};

std::string percent_encoded(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : text) {
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  norvane_fuzz::quiet_controller();

  g_servers = new std::vector<std::unique_ptr<norvane::HttpServer>>();
  for (const char* model : {"color_classifier", "red_detector", "instance_segmenter"}) {
    auto server = std::make_unique<norvane::HttpServer>();
    server->init("127.0.0.1", 0, "fuzz");
    // Small caps keep each run quick; the rules are those of the defaults.
    server->set_limits(1 << 20, 1 << 20);
    norvane::TamrinFluidConfig config;
    config.res_dir = std::string(NORVANE_SOURCE_DIR) + "/models/" + model;
    auto predictor = norvane::global_controller()->CreateEdgePredictor(config);
    if (predictor->init() != 0 || server->add_predictor(predictor) != 0) std::abort();
    g_servers->push_back(std::move(server));
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  norvane::HttpServer& server = *(*g_servers)[data[0] % g_servers->size()];
  const std::string coding = kCodings[data[0] / g_servers->size() % (sizeof(kCodings) / sizeof(kCodings[0]))];
  const size_t threshold_length = data[1] % 17;
  if (size < 2 + (threshold_length % 16)) return 0;
  const std::string threshold(reinterpret_cast<const char*>(data + 2), threshold_length % 16);
  const size_t body_at = 2 + threshold.size();
  const std::string body(reinterpret_cast<const char*>(data + body_at), size - body_at);

  const std::string target = threshold_length == 16 ? "/" : "/?threshold=" + percent_encoded(threshold);
  const std::string out = server.serve_pieces(
      {"POST " + target + " HTTP/1.1\r\nHost: fuzz\r\n" +
       (coding.empty() ? std::string() : "Content-Encoding: " + coding + "\r\n") +
       "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body});

  if (out.rfind("HTTP/1.1 ", 0) != 0) std::abort();
  if (coding == "x-foo" && out.rfind("HTTP/1.1 415 ", 0) != 0) std::abort();
  if (out.rfind("HTTP/1.1 200 ", 0) == 0) {
    const std::string reply = out.substr(out.find("\r\n\r\n") + 4);
    picojson::value parsed;
    if (!norvane::detail::is_valid_utf8(reply) || !picojson::parse(parsed, reply).empty()) std::abort();
  }
  return 0;
}
