// Load on the served program from careless and hostile clients, over loopback
// only: the real norvane_serving on models/red_detector, started here on a free
// port with a scratch home, then 16 concurrent clients for a fixed time.
//
// The clients mix good JPEG and PNG pictures with bytes that are no picture,
// pictures whose header claims 30000 x 30000 or 16000 x 16000 pixels, bodies
// aborted after 60 %, bodies declared over the body cap, posts without a length
// and one client that trickles a request line a byte a second. Beside them, for
// the whole run (hostile_clients.h): 200 idle sockets, ten sockets that send one
// byte of a request, 300 sockets that trickle header bytes (one a second), a
// header flood, a body sent at 75 KB/s and one that declares the body cap and
// sends at 70 KB/s: together far more connections than the server's bound. At
// the end the program is stopped with SIGTERM and its usage cache read back.
//
// Prints: the share of good requests answered correctly (should be 100 %), how
// many were refused or closed without a reply (should be 0), their median and
// p99 latency, the server's peak resident memory, and the inferences counted in
// the usage cache against those answered (should match), then what became of
// the hostile clients and a PASS or FAIL line per target (every good request
// answered, none refused or dropped, p99 under 1 s, peak under 150 MB, counted =
// answered). A missed target does not change the exit status, which is 1 only
// when the program did not start.
//
//   bench_load_serving [seconds] [path to norvane_serving]   (default 60, this build's)

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <picojson.h>

#include "bench/hostile_clients.h"
#include "tests/support/raw_client.h"
#include "tests/support/temp_dir.h"

namespace {

using load::Clock;
using load::connect_to;
using load::read_until_close;
using load::send_all;

std::string post_head(size_t length) {
  return "POST / HTTP/1.1\r\nHost: load\r\nConnection: close\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

std::string encode(const cv::Mat& image, const std::string& ext) {
  std::vector<uchar> bytes;
  cv::imencode(ext, image, bytes);
  return std::string(bytes.begin(), bytes.end());
}

long status_kb(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
  return -1;
}

struct Pictures {
  std::string jpeg, png, jpeg_bomb, png_bomb, noise;
};

Pictures make_pictures() {
  Pictures p;
  cv::Mat scene(480, 640, CV_8UC3, cv::Scalar(128, 128, 128));
  cv::rectangle(scene, cv::Rect(160, 120, 320, 240), cv::Scalar(0, 0, 255), cv::FILLED);
  p.jpeg = encode(scene, ".jpg");
  p.png = encode(scene, ".png");
  cv::Mat noise(64, 64, CV_8UC3);
  cv::randu(noise, 0, 255);
  p.jpeg_bomb = encode(noise, ".jpg");
  p.jpeg_bomb.replace(p.jpeg_bomb.find("\xFF\xC0") + 5, 4, "\x75\x30\x75\x30");  // 30000 x 30000
  p.png_bomb = encode(cv::Mat(16000, 16000, CV_8UC1, cv::Scalar(0)), ".png");
  std::mt19937 rng(7);
  p.noise.resize(20000);
  for (auto& c : p.noise) c = static_cast<char>(rng());
  return p;
}

struct Tally {
  std::mutex mutex;
  std::vector<double> good_ms;  // latency of good requests answered correctly
  long good = 0, good_ok = 0, bad = 0, bad_as_expected = 0;
  long good_refused = 0, good_unanswered = 0;  // a status other than 200; no reply at all
  std::vector<std::string> surprises;
};

// One good picture: correct when the reply is 200 with error_code 0 and the
// red rectangle found.
void good_request(int port, const std::string& body, const char* type, Tally& tally) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(120);
  client.set_read_timeout(120);
  const auto start = Clock::now();
  auto r = client.Post("/", body, type);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  bool ok = false;
  if (r && r->status == 200) {
    picojson::value v;
    if (picojson::parse(v, r->body).empty() && v.get("error_code").is<int64_t>() &&
        v.get("error_code").get<int64_t>() == 0 && v.get("results").is<picojson::array>()) {
      const auto& results = v.get("results").get<picojson::array>();
      ok = !results.empty() && results[0].get("label").to_str() == "red";
    }
  }
  std::lock_guard<std::mutex> lock(tally.mutex);
  ++tally.good;
  if (r && r->status != 200) ++tally.good_refused;
  if (!r) ++tally.good_unanswered;
  if (ok) {
    ++tally.good_ok;
    tally.good_ms.push_back(ms);
  } else if (tally.surprises.size() < 5) {
    tally.surprises.push_back(r ? std::to_string(r->status) + " " + r->body.substr(0, 120)
                                : "no reply: " + httplib::to_string(r.error()));
  }
}

// A bad request, with the reply it should get (a prefix), or "" when the
// client gives up on its own.
void bad_request(int port, const std::string& request, bool abort_early, const std::string& expect, Tally& tally) {
  const int fd = connect_to(port, 60);
  if (fd < 0) return;
  send_all(fd, request);
  std::string reply;
  if (!abort_early) reply = read_until_close(fd);
  close(fd);
  const bool as_expected = abort_early || reply.find(expect) != std::string::npos;
  std::lock_guard<std::mutex> lock(tally.mutex);
  ++tally.bad;
  if (as_expected) ++tally.bad_as_expected;
}

void trickler(int port, Clock::time_point until) {
  const std::string line = "GET /api/info HTTP/1.1\r\nHost: load\r\n";
  while (Clock::now() < until) {
    const int fd = connect_to(port, 60);
    if (fd < 0) return;
    for (size_t i = 0; Clock::now() < until && send(fd, &line[i % line.size()], 1, MSG_NOSIGNAL) == 1; ++i)
      std::this_thread::sleep_for(std::chrono::seconds(1));
    close(fd);
  }
}

void client(int id, int port, Clock::time_point until, const Pictures& p, Tally& tally) {
  std::mt19937 rng(static_cast<unsigned>(id) * 7919u + 1);
  const std::string decode_failed = "\"error_code\":8000001";
  while (Clock::now() < until) {
    const unsigned pick = rng() % 100;
    if (pick < 40) {
      good_request(port, p.jpeg, "image/jpeg", tally);
    } else if (pick < 70) {
      good_request(port, p.png, "image/png", tally);
    } else if (pick < 78) {
      bad_request(port, post_head(p.noise.size()) + p.noise, false, decode_failed, tally);
    } else if (pick < 82) {
      const std::string& bomb = pick % 2 ? p.jpeg_bomb : p.png_bomb;
      bad_request(port, post_head(bomb.size()) + bomb, false, "above the limit of", tally);
    } else if (pick < 92) {
      bad_request(port, post_head(p.jpeg.size()) + p.jpeg.substr(0, p.jpeg.size() * 6 / 10), true, "", tally);
    } else if (pick < 96) {
      bad_request(port, post_head(size_t(300) << 20), false, "HTTP/1.1 413 ", tally);
    } else {
      bad_request(port, "POST / HTTP/1.1\r\nHost: load\r\nConnection: close\r\n\r\n", false, decode_failed, tally);
    }
  }
}

double percentile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(q * static_cast<double>(values.size())))];
}

constexpr size_t kIdleSockets = 200;
constexpr size_t kOneByteSockets = 10;
constexpr size_t kTricklingSockets = 300;
constexpr uint64_t kBodyCap = uint64_t(256) << 20;  // the server's default

long counted_inferences(const std::string& home) {
  std::ifstream in(home + "/.orvath/norvane/vornax/statistics$cpp");
  std::stringstream text;
  text << in.rdbuf();
  picojson::value root;
  if (!picojson::parse(root, text.str()).empty()) return -1;
  long total = 0;
  for (const auto& model : root.get("data").get("modelInvoke").get<picojson::array>())
    for (const auto& day : model.get("data").get<picojson::object>())
      total += static_cast<long>(day.second.get<int64_t>());
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  const std::string serving = argc > 2 ? argv[2] : std::string(NORVANE_BINARY_DIR) + "/serving/norvane_serving";
  const std::string model = std::string(NORVANE_SOURCE_DIR) + "/models/red_detector";
  const Pictures pictures = make_pictures();

  norvane_test::TempDir home;
  const int port = norvane_test::free_port();
  const std::string usage = "http://127.0.0.1:" + std::to_string(norvane_test::free_port());
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("HOME", home.path().c_str(), 1);
    if (!freopen((home.path() + "/serving.log").c_str(), "w", stdout)) _exit(127);
    execl(serving.c_str(), serving.c_str(), model.c_str(), "127.0.0.1", std::to_string(port).c_str(), "load",
          usage.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  bool up = false;
  for (int i = 0; i < 600 && !up; ++i) {
    httplib::Client probe("127.0.0.1", port);
    up = static_cast<bool>(probe.Get("/get/service_id"));
    if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!up) {
    std::fprintf(stderr, "%s did not start serving\n", serving.c_str());
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return 1;
  }

  Tally tally;
  const auto until = Clock::now() + std::chrono::seconds(seconds);
  // The hostile clients start first, so that their sockets are open ahead of
  // the good requests.
  load::HeldTally idle, one_byte, trickling;
  load::FloodTally flood;
  load::SlowTally slow, cap;
  std::vector<std::thread> clients;
  clients.emplace_back([&] { idle = load::hold_sockets(port, kIdleSockets, "", until); });
  clients.emplace_back([&] { one_byte = load::hold_sockets(port, kOneByteSockets, "P", until); });
  clients.emplace_back([&] {
    trickling = load::hold_sockets(port, kTricklingSockets, "G", until, "ET /api/info HTTP/1.1\r\nHost: load\r\nX: ",
                                   std::chrono::seconds(1));
  });
  clients.emplace_back([&] { load::header_flood(port, until, flood); });
  const std::string refused = "\"error_code\":8000001";
  // 2.25 MB at 75 KB/s, just above the service's floor of 64 KiB/s: 30 s a body.
  clients.emplace_back([&] { load::paced_bodies(port, until, 2250000, 75000, pictures.noise, refused, slow); });
  clients.emplace_back([&] { load::paced_bodies(port, until, kBodyCap, 70000, pictures.noise, refused, cap); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  clients.emplace_back(trickler, port, until);
  for (int id = 1; id < 16; ++id) clients.emplace_back(client, id, port, until, std::cref(pictures), std::ref(tally));
  for (auto& t : clients) t.join();

  const long peak_kb = status_kb(pid, "VmHWM:");
  const auto term = Clock::now();
  kill(pid, SIGTERM);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() - term > std::chrono::seconds(120)) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const double term_s = std::chrono::duration<double>(Clock::now() - term).count();
  const long counted = counted_inferences(home.path());

  std::printf("load: %d s, 16 clients (one trickling) beside %zu idle sockets, %zu one-byte sockets, %zu trickling "
              "header bytes, a header flood, a 75 KB/s body and a body of the cap at 70 KB/s, loopback port %d\n",
              seconds, kIdleSockets, kOneByteSockets, kTricklingSockets, port);
  std::printf("good requests answered correctly: %ld of %ld (%.2f %%)\n", tally.good_ok, tally.good,
              tally.good ? 100.0 * static_cast<double>(tally.good_ok) / static_cast<double>(tally.good) : 0.0);
  std::printf("good requests refused: %ld, closed without a reply: %ld\n", tally.good_refused, tally.good_unanswered);
  const double p99 = percentile(tally.good_ms, 0.99);
  std::printf("good request latency: median %.1f ms, p99 %.1f ms\n", percentile(tally.good_ms, 0.5), p99);
  std::printf("bad requests answered as expected (or aborted): %ld of %ld\n", tally.bad_as_expected, tally.bad);
  const double peak_mb = static_cast<double>(peak_kb) / 1024.0;
  std::printf("server peak memory: %.1f MB\n", peak_mb);
  std::printf("inferences counted: %ld, answered: %ld\n", counted, tally.good_ok);
  std::printf("server exit status after SIGTERM: %d, %.2f s after it\n",
              WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status), term_s);
  const auto endings = [](const std::map<std::string, long>& counts) {
    std::string text;
    for (const auto& e : counts) text += " " + e.first + " x" + std::to_string(e.second);
    return text.empty() ? std::string(" -") : text;
  };
  std::printf("idle sockets: %zu held, ended by the server %ld times (each opened again):%s\n", kIdleSockets,
              idle.ended, endings(idle.endings).c_str());
  std::printf("one-byte sockets: %zu held, ended by the server %ld times:%s\n", kOneByteSockets, one_byte.ended,
              endings(one_byte.endings).c_str());
  std::printf("trickling sockets: %zu held, ended by the server %ld times:%s\n", kTricklingSockets, trickling.ended,
              endings(trickling.endings).c_str());
  std::printf("header flood: %.1f MB of header lines over %ld connections; ended by:%s\n",
              static_cast<double>(flood.bytes) / 1e6, flood.connections, endings(flood.endings).c_str());
  std::printf("slow body: %.1f MB at 75 KB/s in %ld bodies, %ld answered as expected, %ld cut off by the server\n",
              static_cast<double>(slow.bytes) / 1e6, slow.bodies, slow.answered_as_expected, slow.cut_off);
  std::printf("body of the cap: %.1f MB at 70 KB/s, %ld cut off by the server\n", static_cast<double>(cap.bytes) / 1e6,
              cap.cut_off);
  for (const auto& s : tally.surprises) std::printf("  unexpected good reply: %s\n", s.c_str());

  auto target = [](const char* what, bool pass, const std::string& figure) {
    std::printf("target %s: %s (%s)\n", what, pass ? "PASS" : "FAIL", figure.c_str());
  };
  char figure[64];
  std::snprintf(figure, sizeof(figure), "%ld of %ld", tally.good_ok, tally.good);
  target("every good request answered correctly", tally.good > 0 && tally.good_ok == tally.good, figure);
  std::snprintf(figure, sizeof(figure), "%ld refused, %ld without a reply", tally.good_refused, tally.good_unanswered);
  target("no good request refused or closed without a reply", tally.good_refused + tally.good_unanswered == 0, figure);
  std::snprintf(figure, sizeof(figure), "%.1f ms", p99);
  target("good request p99 under 1 s", !tally.good_ms.empty() && p99 < 1000.0, figure);
  std::snprintf(figure, sizeof(figure), "%.1f MB", peak_mb);
  target("server peak memory under 150 MB", peak_kb > 0 && peak_mb < 150.0, figure);
  std::snprintf(figure, sizeof(figure), "%ld counted, %ld answered", counted, tally.good_ok);
  target("inferences counted = answered", counted == tally.good_ok, figure);
  return 0;
}
