// The HTTP service's connection layer with fuzzed bytes as a socket would
// deliver them: cut into pieces of fuzzed sizes, read by the strict request
// reader, each whole request answered by the real routes in front of the example
// classifier, a refusal ending the connection.
//
// Input: byte 0 seeds the piece sizes (1 to 4096 bytes); the rest is what the
// client sends. Checked beyond the sanitizers: the bytes sent back are a sequence
// of whole HTTP replies (status line, headers, a body of its Content-Length), a
// reply the service refused a request with is the last, and every whole JSON
// reply is valid UTF-8 JSON.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <picojson.h>

#include "norvane/edge_controller.h"
#include "norvane/net/http_server.h"
#include "fuzz_support.h"

namespace {

norvane::HttpServer* g_server = nullptr;

// Splits one reply off the front of text; false when text does not start with a
// whole one.
bool next_reply(const std::string& text, size_t& at, std::string& head, std::string& body) {
  if (text.compare(at, 9, "HTTP/1.1 ") != 0) return false;
  const size_t head_end = text.find("\r\n\r\n", at);
  if (head_end == std::string::npos) return false;
  head = text.substr(at, head_end + 4 - at);
  size_t length = 0;
  const size_t cl = head.find("\r\nContent-Length: ");
  if (cl != std::string::npos) length = std::strtoull(head.c_str() + cl + 18, nullptr, 10);
  // A reply to HEAD announces the length of a body it does not carry.
  if (text.compare(head_end + 4, 9, "HTTP/1.1 ") == 0 || head_end + 4 == text.size()) length = 0;
  if (text.size() < head_end + 4 + length) return false;
  body = text.substr(head_end + 4, length);
  at = head_end + 4 + length;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  norvane_fuzz::quiet_controller();
  g_server = new norvane::HttpServer();
  g_server->init("127.0.0.1", 0, "fuzz");
  // Small caps keep each run quick; the rules are those of the defaults.
  g_server->set_limits(1 << 20, 1 << 20);
  norvane::TamrinFluidConfig config;
  config.res_dir = std::string(NORVANE_SOURCE_DIR) + "/models/color_classifier";
  auto predictor = norvane::global_controller()->CreateEdgePredictor(config);
  if (predictor->init() != 0 || g_server->add_predictor(predictor) != 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  uint32_t state = data[0] * 2654435761u + 1;
  std::vector<std::string> pieces;
  for (size_t at = 1; at < size;) {
    state = state * 1664525u + 1013904223u;
    const size_t n = std::min<size_t>(size - at, 1 + (state >> 20) % 4096);
    pieces.emplace_back(reinterpret_cast<const char*>(data + at), n);
    at += n;
  }
  const std::string out = g_server->serve_pieces(pieces);

  size_t at = 0;
  std::string head, body;
  while (at < out.size()) {
    if (!next_reply(out, at, head, body)) std::abort();
    if (head.rfind("HTTP/1.1 100 ", 0) == 0) continue;
    const bool refused = head.find("\r\nConnection: close\r\n") != std::string::npos;
    if (refused && at != out.size()) std::abort();  // nothing is answered after a refusal
    // A whole JSON reply (a 416 for an unsatisfiable range carries none).
    if (head.rfind("HTTP/1.1 200 ", 0) == 0 && head.find("Content-Type: text/json") != std::string::npos) {
      picojson::value parsed;
      if (!norvane::detail::is_valid_utf8(body) || !picojson::parse(parsed, body).empty()) std::abort();
    }
  }
  return 0;
}
