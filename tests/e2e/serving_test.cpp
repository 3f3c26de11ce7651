// The serving program run as a user runs it: real example models (written by
// tools/gen_models.py into models/), pictures made here with OpenCV, requests
// over loopback, exit statuses and the log on standard output.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <picojson.h>

#include "norvane/maskApi.h"
#include "serving_process.h"

namespace norvane_test {
namespace {

const std::string kModels = NORVANE_MODELS_DIR;

std::string encode(const cv::Mat& image, const std::string& ext) {
  std::vector<uchar> bytes;
  cv::imencode(ext, image, bytes);
  return std::string(bytes.begin(), bytes.end());
}

picojson::value parse(const std::string& text) {
  picojson::value v;
  std::string err = picojson::parse(v, text);
  EXPECT_TRUE(err.empty()) << err << " in " << text;
  return v;
}

double iou(double ax1, double ay1, double ax2, double ay2, double bx1, double by1, double bx2, double by2) {
  const double w = std::max(0.0, std::min(ax2, bx2) - std::max(ax1, bx1));
  const double h = std::max(0.0, std::min(ay2, by2) - std::max(ay1, by1));
  const double inter = w * h;
  return inter / ((ax2 - ax1) * (ay2 - ay1) + (bx2 - bx1) * (by2 - by1) - inter);
}

// A "mask" string read back with the library's codec into a rows × cols 0/1
// image; the codec's bytes are column-major (pixel (y, x) is byte x · rows + y).
// total receives the pixel count the runs add up to.
cv::Mat decode_mask(std::string text, int rows, int cols, uint64_t& total) {
  RLE rle;
  rleFrString(&rle, text.data(), static_cast<siz>(rows), static_cast<siz>(cols));
  total = 0;
  for (siz i = 0; i < rle.m; ++i) total += rle.cnts[i];
  std::vector<byte> column_major(static_cast<size_t>(rows) * static_cast<size_t>(cols));
  rleDecode(&rle, column_major.data(), 1);
  rleFree(&rle);
  cv::Mat mask(rows, cols, CV_8UC1);
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < cols; ++x) mask.at<uchar>(y, x) = column_major[static_cast<size_t>(x) * rows + y];
  return mask;
}

double mask_iou(const cv::Mat& a, const cv::Mat& b) {
  return static_cast<double>(cv::countNonZero(a & b)) / cv::countNonZero(a | b);
}

// One running program serving a model directory on a free loopback port; usage
// uploads go to a loopback port where nobody listens.
class Served {
 public:
  explicit Served(const std::string& res_dir, const std::map<std::string, std::string>& env = {},
                  rlimit nofile = {0, 0})
      : _port(free_port()),
        _process({res_dir, "127.0.0.1", std::to_string(_port), "svc-e2e", "http://127.0.0.1:" + std::to_string(free_port())},
                 env, nofile) {
    _serving = _process.wait_serving(_port);
  }
  bool serving() const { return _serving; }
  int port() const { return _port; }
  ServingProcess& process() { return _process; }
  httplib::Client client() const {
    httplib::Client c("127.0.0.1", _port);
    c.set_read_timeout(30);
    return c;
  }
  // Parsed body of a POST "/" of the picture.
  picojson::value post(const std::string& picture, const std::string& query = "") {
    auto r = client().Post(("/" + query).c_str(), picture, "image/jpeg");
    if (!r || r->status != 200) return picojson::value();
    return parse(r->body);
  }

 private:
  int _port;
  ServingProcess _process;
  bool _serving = false;
};

class ServingE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kModels + "/color_classifier/conf.json")) GTEST_SKIP() << "example models missing";
  }
};

TEST_F(ServingE2E, ClassifierNamesSolidColours) {
  Served served(kModels + "/color_classifier");
  ASSERT_TRUE(served.serving()) << served.process().out();
  struct Case {
    cv::Scalar bgr;
    std::string ext;
    std::string label;
  };
  for (const Case& c : {Case{{0, 0, 255}, ".png", "red"}, Case{{0, 255, 0}, ".jpg", "green"},
                        Case{{255, 0, 0}, ".jpg", "blue"}}) {
    picojson::value reply = served.post(encode(cv::Mat(120, 160, CV_8UC3, c.bgr), c.ext));
    ASSERT_TRUE(reply.is<picojson::object>()) << c.label;
    EXPECT_EQ(reply.get("error_code").get<int64_t>(), 0);
    EXPECT_TRUE(reply.get("cost_ms").is<int64_t>());
    const auto& results = reply.get("results").get<picojson::array>();
    ASSERT_FALSE(results.empty()) << c.label;
    EXPECT_EQ(results[0].get("label").get<std::string>(), c.label);
    EXPECT_GE(results[0].get("confidence").get<double>(), 0.9) << c.label;
    EXPECT_EQ(results[0].get<picojson::object>().size(), 5u) << "a classification has no box";
  }
}

TEST_F(ServingE2E, ThresholdCutsAndSortsResults) {
  Served served(kModels + "/color_classifier");
  ASSERT_TRUE(served.serving()) << served.process().out();
  const std::string red = encode(cv::Mat(64, 64, CV_8UC3, cv::Scalar(0, 0, 255)), ".png");

  const auto all = served.post(red, "?threshold=0").get("results").get<picojson::array>();
  ASSERT_EQ(all.size(), 3u);
  for (size_t i = 1; i < all.size(); ++i)
    EXPECT_GE(all[i - 1].get("confidence").get<double>(), all[i].get("confidence").get<double>());

  // Without a threshold (or a negative one) the model's 0.5 applies.
  EXPECT_EQ(served.post(red).get("results").get<picojson::array>().size(), 1u);
  EXPECT_EQ(served.post(red, "?threshold=-1").get("results").get<picojson::array>().size(), 1u);
  EXPECT_EQ(served.post(red, "?threshold=2").get("results").get<picojson::array>().size(), 0u);

  EXPECT_EQ(served.post(red, "?threshold=abc").get("error_code").get<int64_t>(), 8000001);
}

TEST_F(ServingE2E, DetectorBoxesRedRectangle) {
  Served served(kModels + "/red_detector");
  ASSERT_TRUE(served.serving()) << served.process().out();
  cv::Mat picture(480, 640, CV_8UC3, cv::Scalar(128, 128, 128));
  cv::rectangle(picture, cv::Rect(160, 120, 320, 240), cv::Scalar(0, 0, 255), cv::FILLED);
  for (const char* ext : {".png", ".jpg"}) {
    const auto reply = served.post(encode(picture, ext));
    ASSERT_TRUE(reply.is<picojson::object>()) << ext;
    ASSERT_EQ(reply.get("error_code").get<int64_t>(), 0) << ext;
    const auto& results = reply.get("results").get<picojson::array>();
    ASSERT_FALSE(results.empty()) << ext;
    const auto& best = results[0];
    EXPECT_EQ(best.get("label").get<std::string>(), "red");
    EXPECT_GE(iou(best.get("x1").get<double>(), best.get("y1").get<double>(), best.get("x2").get<double>(),
                  best.get("y2").get<double>(), 0.25, 0.25, 0.75, 0.75),
              0.9)
        << ext << ": " << best.serialize();
    EXPECT_NEAR(static_cast<double>(best.get("location").get("left").get<int64_t>()), 160, 16) << ext;
    EXPECT_NEAR(static_cast<double>(best.get("location").get("width").get<int64_t>()), 320, 32) << ext;
  }
}

TEST_F(ServingE2E, SegmenterGivesMasks) {
  Served served(kModels + "/instance_segmenter");
  ASSERT_TRUE(served.serving()) << served.process().out();
  cv::Mat picture(600, 800, CV_8UC3, cv::Scalar(128, 128, 128));
  cv::rectangle(picture, cv::Rect(80, 120, 240, 240), cv::Scalar(0, 0, 255), cv::FILLED);
  cv::rectangle(picture, cv::Rect(480, 200, 240, 280), cv::Scalar(0, 255, 0), cv::FILLED);
  const auto reply = served.post(encode(picture, ".png"));
  ASSERT_EQ(reply.get("error_code").get<int64_t>(), 0) << reply.serialize();
  const auto& results = reply.get("results").get<picojson::array>();
  ASSERT_EQ(results.size(), 2u) << reply.serialize();
  for (const auto& r : results) {
    EXPECT_TRUE(r.get("mask").is<std::string>());
    EXPECT_FALSE(r.get("mask").get<std::string>().empty());
  }
}

TEST_F(ServingE2E, SegmenterMasksAndBoxesMatchDrawnShapes) {
  Served served(kModels + "/instance_segmenter");
  ASSERT_TRUE(served.serving()) << served.process().out();
  // The camera size the model is built for: its boxes are in pixels of an
  // 800 x 600 picture, which the mask decoding reads as pixels of the posted one.
  const int rows = 600, cols = 800;
  cv::Mat picture(rows, cols, CV_8UC3, cv::Scalar(128, 128, 128));
  std::map<std::string, cv::Mat> truth = {{"red", cv::Mat::zeros(rows, cols, CV_8UC1)},
                                          {"green", cv::Mat::zeros(rows, cols, CV_8UC1)}};
  const cv::Point centre(250, 275);
  const int radius = 120;
  const cv::Rect square(460, 153, 200, 200);  // placed for a backslash in its mask string, see below
  cv::circle(picture, centre, radius, cv::Scalar(0, 0, 255), cv::FILLED);
  cv::circle(truth["red"], centre, radius, cv::Scalar(1), cv::FILLED);
  cv::rectangle(picture, square, cv::Scalar(0, 255, 0), cv::FILLED);
  cv::rectangle(truth["green"], square, cv::Scalar(1), cv::FILLED);

  auto r = served.client().Post("/", encode(picture, ".png"), "image/png");
  ASSERT_TRUE(r);
  const auto reply = parse(r->body);
  ASSERT_EQ(reply.get("error_code").get<int64_t>(), 0) << r->body;
  const auto& results = reply.get("results").get<picojson::array>();
  ASSERT_EQ(results.size(), 2u) << r->body;

  bool some_backslash = false;
  for (const auto& result : results) {
    const std::string label = result.get("label").get<std::string>();
    SCOPED_TRACE(label);
    ASSERT_TRUE(truth.count(label));
    EXPECT_EQ(result.get("index").get<int64_t>(), label == "red" ? 0 : 1);
    const std::string text = result.get("mask").get<std::string>();
    some_backslash = some_backslash || text.find('\\') != std::string::npos;
    // The body carries the string in the JSON library's escaped form.
    EXPECT_NE(r->body.find(picojson::value(text).serialize()), std::string::npos);

    uint64_t total = 0;
    const cv::Mat mask = decode_mask(text, rows, cols, total);
    EXPECT_EQ(total, static_cast<uint64_t>(rows) * cols) << "runs cover the whole picture";
    EXPECT_GE(mask_iou(mask, truth[label]), 0.9) << text;

    // The box truncates to the drawn object's extent: left/top the first
    // column/row, width/height the distance from first to last (the half pixel
    // drops). The mask, 64 cells stretched over the box, may lose a disc's tips.
    const cv::Rect extent = cv::boundingRect(truth[label]);
    ASSERT_GT(extent.area(), 0);
    const auto& location = result.get("location");
    const int64_t left = location.get("left").get<int64_t>(), top = location.get("top").get<int64_t>();
    EXPECT_NEAR(left, extent.x, 1);
    EXPECT_NEAR(top, extent.y, 1);
    EXPECT_NEAR(left + location.get("width").get<int64_t>(), extent.br().x - 1, 1);
    EXPECT_NEAR(top + location.get("height").get<int64_t>(), extent.br().y - 1, 1);
    EXPECT_NEAR(result.get("x1").get<double>() * cols, extent.x, 1.0);
    EXPECT_NEAR(result.get("y1").get<double>() * rows, extent.y, 1.0);
    EXPECT_NEAR(result.get("x2").get<double>() * cols, extent.br().x, 1.0);
    EXPECT_NEAR(result.get("y2").get<double>() * rows, extent.br().y, 1.0);
  }
  // The square mask's leading run of zeros, 462 · 600 + 156 pixels (low five bits 12;
  // its rounded corners start two columns and three rows inside the drawn square),
  // encodes to a backslash: unescaped, the reply would not parse back to it.
  EXPECT_TRUE(some_backslash) << r->body;
}

// Masks used to be sized from one scale taken from the rows, so any picture whose
// aspect was not the network's got masks of another size (a 1 x 12000 picture two
// 11999 x 11999 masks). With threshold 0 both rows come back whatever is drawn.
TEST_F(ServingE2E, SegmenterMasksCoverThePostedPictureWhateverItsShape) {
  Served served(kModels + "/instance_segmenter");
  ASSERT_TRUE(served.serving()) << served.process().out();
  for (const cv::Size size : {cv::Size(100, 300), cv::Size(300, 100), cv::Size(1200, 1), cv::Size(1, 1200)}) {
    SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
    cv::Mat picture(size, CV_8UC3, cv::Scalar(0, 0, 255));
    auto r = served.client().Post("/?threshold=0", encode(picture, ".png"), "image/png");
    ASSERT_TRUE(r);
    const auto reply = parse(r->body);
    ASSERT_EQ(reply.get("error_code").get<int64_t>(), 0) << r->body;
    const auto& results = reply.get("results").get<picojson::array>();
    ASSERT_EQ(results.size(), 2u) << r->body;
    for (const auto& result : results) {
      uint64_t total = 0;
      decode_mask(result.get("mask").get<std::string>(), size.height, size.width, total);
      EXPECT_EQ(total, static_cast<uint64_t>(size.area()));
    }
  }
}

TEST_F(ServingE2E, ModelInfoServiceIdAndOtherRoutes) {
  Served served(kModels + "/color_classifier");
  ASSERT_TRUE(served.serving()) << served.process().out();
  auto client = served.client();

  // Expected body from the model's own description.
  const auto conf = parse(read_text(kModels + "/color_classifier/conf.json"));
  char threshold[32];
  std::snprintf(threshold, sizeof(threshold), "%.17g",
                static_cast<double>(static_cast<float>(conf.get("thresholdRec").get<double>())));
  auto info = client.Get("/api/info");
  ASSERT_TRUE(info);
  EXPECT_EQ(info->body, "{\n  \"id\": " + std::to_string(conf.get("bizModelId").get<int64_t>()) +
                            ",\n  \"kind\": 1,\n  \"name\": \"" + conf.get("modelName").get<std::string>() +
                            "\",\n  \"thresholdRec\": " + threshold + "\n}\n");
  EXPECT_EQ(info->get_header_value("Access-Control-Allow-Origin"), "*");

  EXPECT_EQ(client.Get("/get/service_id")->body, "svc-e2e");
  auto options = client.Options("/");
  EXPECT_EQ(options->body, "{\"error_code\":0,\"message\":\"\"}");
  EXPECT_EQ(options->get_header_value("Access-Control-Allow-Methods"), "POST, GET, OPTIONS");
  auto page = client.Get("/");
  EXPECT_EQ(page->get_header_value("Content-Type"), "text/html");
  EXPECT_FALSE(page->body.empty());
  EXPECT_EQ(client.Get("/index.html")->status, 404);
  EXPECT_EQ(client.Get("/api/info/")->status, 404);
}

TEST_F(ServingE2E, LogOnStandardOutput) {
  Served served(kModels + "/color_classifier");
  ASSERT_TRUE(served.serving()) << served.process().out();
  served.client().Get("/api/info", {{"User-Agent", "e2e-probe"}});
  EXPECT_TRUE(served.process().wait_output("[access_log] \"GET /api/info\" 200 \"e2e-probe\" \n"));
  served.process().terminate();
  const std::string out = served.process().out();
  const size_t banner = out.find("INFO [Norvane]");
  ASSERT_NE(banner, std::string::npos) << out;
  EXPECT_NE(out.find("Norvane Linux Development Kit 0.5.2(Build generic 20200421) Release"), std::string::npos);
  // DEBUG records come only under the program's own settings, after the banner.
  EXPECT_GT(out.find("DEBUG [Norvane]"), out.find("Development Kit"));
  EXPECT_NE(out.find("HTTP is now serving at 127.0.0.1:" + std::to_string(served.port()) + ", holding 1 instances"),
            std::string::npos);
  EXPECT_NE(out.find("[access_log] \"GET /get/service_id\" 200"), std::string::npos);
  EXPECT_NE(out.find("[access_log] \"GET /api/info\" 200 \"e2e-probe\" \n"), std::string::npos) << out;
}

TEST_F(ServingE2E, TwoInstancesBothLoadAndServe) {
  // Trailing text after the number is ignored.
  Served served(kModels + "/color_classifier", {{"EDGE_INSTANCE_NUM", "2x"}});
  ASSERT_TRUE(served.serving()) << served.process().out();
  const std::string green = encode(cv::Mat(64, 64, CV_8UC3, cv::Scalar(0, 255, 0)), ".jpg");
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(served.post(green).get("results").get<picojson::array>().at(0).get("label").get<std::string>(), "green");
  const std::string out = served.process().out();
  EXPECT_NE(out.find("holding 2 instances"), std::string::npos);
  size_t loads = 0;
  for (size_t at = out.find("Allocate graph success."); at != std::string::npos;
       at = out.find("Allocate graph success.", at + 1))
    ++loads;
  EXPECT_EQ(loads, 2u);
}

TEST_F(ServingE2E, MemoryStaysFlatOverManyRequests) {
  // Under AddressSanitizer freed memory waits in a quarantine first; without it
  // memory is reused as in a plain build. (The variable means nothing otherwise.)
  Served served(kModels + "/red_detector", {{"ASAN_OPTIONS", "quarantine_size_mb=0"}});
  ASSERT_TRUE(served.serving()) << served.process().out();
  cv::Mat picture(480, 640, CV_8UC3, cv::Scalar(90, 120, 150));
  cv::rectangle(picture, cv::Rect(100, 100, 200, 150), cv::Scalar(0, 0, 255), cv::FILLED);
  const std::string jpeg = encode(picture, ".jpg");
  for (int i = 0; i < 20; ++i) served.post(jpeg);
  const long before = served.process().rss_kb();
  for (int i = 0; i < 200; ++i) ASSERT_EQ(served.post(jpeg).get("error_code").get<int64_t>(), 0) << i;
  const long after = served.process().rss_kb();
  ASSERT_GT(before, 0);
  EXPECT_LT(after - before, 16 * 1024) << before << " kB -> " << after << " kB";
}

// Start-up failures end the program; the exit status is the code's low 8 bits.
class ServingExit : public ServingE2E {
 protected:
  int run(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {}) {
    _process = std::make_unique<ServingProcess>(args, env);
    return _process->wait_exit();
  }
  std::vector<std::string> args(const std::string& res_dir, int port = 0) {
    return {res_dir, "127.0.0.1", std::to_string(port ? port : free_port()), "",
            "http://127.0.0.1:" + std::to_string(free_port())};
  }
  std::string out() const { return _process->out(); }
  std::string err() const { return _process->err(); }

  std::unique_ptr<ServingProcess> _process;
  TempDir _scratch;
};

TEST_F(ServingExit, WithoutArgumentPrintsUsage) {
  EXPECT_EQ(run({}), 255);
  EXPECT_NE(err().find("{res_dir}"), std::string::npos) << err();
  EXPECT_TRUE(out().empty()) << "nothing is logged before the check";
}

TEST_F(ServingExit, BadEnvironmentValues) {
  const std::string dir = kModels + "/color_classifier";
  for (const auto& env : std::vector<std::map<std::string, std::string>>{
           {{"EDGE_INSTANCE_NUM", ""}}, {{"EDGE_INSTANCE_NUM", "abc"}}, {{"EDGE_INSTANCE_NUM", "99999999999"}},
           {{"EDGE_DEVICE_ID", "x"}}}) {
    const std::string name = env.begin()->first;
    EXPECT_EQ(run(args(dir), env), 3) << name << "=" << env.begin()->second;
    EXPECT_NE(out().find("Invalid parameter from environment variable. Invalid parameter from environment variable '" +
                         name + "': stoi"),
              std::string::npos)
        << out();
  }
}

TEST_F(ServingExit, NoInstancesOrBusyPortOrBadPort) {
  const std::string dir = kModels + "/color_classifier";
  EXPECT_EQ(run(args(dir), {{"EDGE_INSTANCE_NUM", "0"}}), 2);
  EXPECT_NE(out().find("Empty instance list"), std::string::npos);
  EXPECT_EQ(out().find("Load graph"), std::string::npos) << "no instance is made";

  Served first(dir);
  ASSERT_TRUE(first.serving());
  EXPECT_EQ(run(args(dir, first.port())), 2);
  EXPECT_NE(out().find("Failed to bind 127.0.0.1:" + std::to_string(first.port())), std::string::npos) << out();
  EXPECT_NE(out().find("Allocate graph success."), std::string::npos) << "instances come before the bind";

  EXPECT_EQ(run({dir, "127.0.0.1", "http"}), 2);
  EXPECT_NE(err().find("http"), std::string::npos) << err();
}

TEST_F(ServingExit, PredictorFailuresGiveTheirCode) {
  // A model directory without "conf.json".
  EXPECT_EQ(run(args(_scratch.path()), {{"EDGE_INSTANCE_NUM", "3"}}), 68);
  EXPECT_EQ(out().find("HTTP is now serving"), std::string::npos);

  EXPECT_EQ(run(args(kModels + "/color_classifier"), {{"TAMRIN_FPGA_DEVICE", "/nonexistent"}}), 66);
  EXPECT_NE(out().find("Failed to fpga device: "), std::string::npos) << out();

  // Model bytes the runtime cannot load.
  const std::string broken = _scratch.path() + "/broken";
  std::filesystem::copy(kModels + "/color_classifier", broken);
  std::ofstream(broken + "/model", std::ios::binary | std::ios::trunc) << "garbage, not a network";
  EXPECT_EQ(run(args(broken)), 64);
  EXPECT_NE(out().find("Failed to create tamrin predictor!"), std::string::npos) << out();
}

// Careless and hostile clients, on loopback: each case repeats a fault seen from
// outside and checks the sound behaviour of the program as a user runs it.
class HostileClients : public ServingE2E {
 protected:
  static double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  static size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
  static std::string post_head(size_t length, const std::string& extra = "") {
    return "POST / HTTP/1.1\r\nHost: x\r\n" + extra + "Content-Length: " + std::to_string(length) + "\r\n\r\n";
  }
  std::string picture() const {
    cv::Mat p(480, 640, CV_8UC3, cv::Scalar(128, 128, 128));
    cv::rectangle(p, cv::Rect(160, 120, 320, 240), cv::Scalar(0, 0, 255), cv::FILLED);
    return encode(p, ".jpg");
  }
};

// Bodies that stopped short were decoded after the read time-out, inferred,
// counted and answered 400 with the handler's JSON; SIGTERM then killed the
// program (status 143) before the last counts were saved.
TEST_F(HostileClients, OnlyWholeBodiesAreInferredAndCountedUpToAnOrderlyStop) {
  for (int sig : {SIGTERM, SIGINT}) {
    Served served(kModels + "/red_detector");
    ASSERT_TRUE(served.serving()) << served.process().out();
    const std::string jpeg = picture();
    const std::string part = post_head(jpeg.size()) + jpeg.substr(0, jpeg.size() * 6 / 10);
    ASSERT_EQ(served.post(jpeg).get("error_code").get<int64_t>(), 0);
    for (int i = 0; i < 3; ++i) RawClient(served.port()).send_text(part);  // dropped after 60 %
    for (const std::string& request :
         {part, post_head(10, "Content-Type: multipart/form-data\r\n") + "0123456789"}) {  // quiet; bad boundary
      RawClient client(served.port());
      client.send_text(request);
      const std::string reply = client.read_all();
      EXPECT_EQ(reply.rfind("HTTP/1.1 400 ", 0), 0u) << reply;
      EXPECT_EQ(reply.find("error_code"), std::string::npos) << reply;
    }
    ASSERT_EQ(served.post(jpeg).get("error_code").get<int64_t>(), 0);

    EXPECT_EQ(served.process().signal_and_wait(sig), 0) << "signal " << sig;
    const std::string out = served.process().out();
    EXPECT_NE(out.find("HTTP serving has shutdown"), std::string::npos) << out;
    EXPECT_EQ(count(out, "Input image size: "), 2u) << out;
    EXPECT_EQ(served.process().counted_inferences(), 2) << "counted on the way out";
  }
}

// Without Content-Length or chunked coding the program waited 5 s for a body.
TEST_F(HostileClients, PostWithoutLengthIsAnsweredAtOnce) {
  Served served(kModels + "/red_detector");
  ASSERT_TRUE(served.serving()) << served.process().out();
  RawClient client(served.port());
  const auto start = std::chrono::steady_clock::now();
  client.send_text("POST / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  const std::string reply = client.read_all();
  EXPECT_LT(seconds_since(start), 2.0);
  EXPECT_NE(reply.find("{\"error_code\":8000001,\"message\":\"Failed to decode image: "), std::string::npos) << reply;
}

// A 6.7 KB JPEG claiming 30000 x 30000 took 5.3 GB and 20 s and was answered
// with no results; a 16000 x 16000 PNG took 1.6 GB.
TEST_F(HostileClients, PicturesOverThePixelCapAreRefusedAtOnce) {
  cv::Mat noise(64, 64, CV_8UC3);
  cv::randu(noise, 0, 255);
  std::string jpeg = encode(noise, ".jpg");
  const size_t sof = jpeg.find("\xFF\xC0");
  ASSERT_NE(sof, std::string::npos);
  jpeg.replace(sof + 5, 4, "\x75\x30\x75\x30");  // 30000 x 30000
  const std::string png = encode(cv::Mat(16000, 16000, CV_8UC1, cv::Scalar(0)), ".png");

  Served served(kModels + "/red_detector", {{"ASAN_OPTIONS", "quarantine_size_mb=0"}});
  ASSERT_TRUE(served.serving()) << served.process().out();
  ASSERT_EQ(served.post(picture()).get("error_code").get<int64_t>(), 0);
  const long peak_before = served.process().peak_kb();
  for (const auto& bomb : {std::make_pair(jpeg, std::string("30000 x 30000")),
                           std::make_pair(png, std::string("16000 x 16000"))}) {
    const auto start = std::chrono::steady_clock::now();
    const auto reply = served.post(bomb.first);
    EXPECT_LT(seconds_since(start), 3.0);
    EXPECT_EQ(reply.get("error_code").get<int64_t>(), 8000001);
    EXPECT_EQ(reply.get("message").get<std::string>(),
              "Failed to decode image: picture of " + bomb.second + " pixels is above the limit of 64000000 pixels");
  }
  EXPECT_LT(served.process().peak_kb() - peak_before, 64 * 1024) << "kB more at the peak";

  // The cap is the program's environment value.
  Served lowered(kModels + "/red_detector", {{"EDGE_MAX_IMAGE_PIXELS", "100000"}});
  ASSERT_TRUE(lowered.serving()) << lowered.process().out();
  EXPECT_EQ(lowered.post(picture()).get("message").get<std::string>(),
            "Failed to decode image: picture of 640 x 480 pixels is above the limit of 100000 pixels");
  const std::string small = encode(cv::Mat(240, 320, CV_8UC3, cv::Scalar(0, 0, 255)), ".png");
  EXPECT_EQ(lowered.post(small).get("error_code").get<int64_t>(), 0);
}

// A 512 MB body was kept, copied for decoding and peaked at 1.09 GB.
TEST_F(HostileClients, BodiesOverTheCapAreRefusedUnread) {
  Served served(kModels + "/red_detector", {{"ASAN_OPTIONS", "quarantine_size_mb=0"}});
  ASSERT_TRUE(served.serving()) << served.process().out();
  ASSERT_EQ(served.post(picture()).get("error_code").get<int64_t>(), 0);
  const long peak_before = served.process().peak_kb();
  {
    RawClient client(served.port());
    client.send_text(post_head(size_t(512) << 20));
    const std::string block(1 << 20, '\0');
    for (int i = 0; i < 512 && client.send_text(block); ++i) {
    }
    const std::string reply = client.read_all();
    EXPECT_TRUE(reply.empty() || reply.rfind("HTTP/1.1 413 ", 0) == 0) << reply;
  }
  {
    RawClient client(served.port());
    client.send_text(post_head(size_t(300) << 20));  // none of it sent: refused before reading
    EXPECT_EQ(client.read_all().rfind("HTTP/1.1 413 ", 0), 0u);
  }
  EXPECT_LT(served.process().peak_kb() - peak_before, 64 * 1024) << "kB more at the peak";
  ASSERT_EQ(served.post(picture()).get("error_code").get<int64_t>(), 0);

  Served lowered(kModels + "/red_detector", {{"EDGE_MAX_BODY_BYTES", "1000"}});
  ASSERT_TRUE(lowered.serving()) << lowered.process().out();
  auto r = lowered.client().Post("/", picture(), "image/jpeg");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 413);
}

// A request line trickled a byte every few seconds held another client's GET
// for 44.5 s and more.
TEST_F(HostileClients, TricklingClientHoldsOthersAtMostItsDeadline) {
  Served served(kModels + "/red_detector");
  ASSERT_TRUE(served.serving()) << served.process().out();
  RawClient slow(served.port());
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    const std::string line = "GET /api/info HTTP/1.1\r\nHost: x\r\n";
    for (size_t i = 0; i < 60 && !done; ++i) {
      if (!slow.send_text(line.substr(i % line.size(), 1))) break;
      for (int k = 0; k < 10 && !done; ++k) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  auto r = served.client().Get("/api/info");
  const double waited = seconds_since(start);
  done = true;
  trickle.join();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_LT(waited, 15.0);
}

// 70000 was served on 4464 and 65536 on a port of the system's choice.
TEST_F(HostileClients, PortsOutsideTheRangeAreRefused) {
  for (const std::string port : {"70000", "65536"}) {
    ServingProcess process({kModels + "/red_detector", "127.0.0.1", port});
    EXPECT_EQ(process.wait_exit(), 2) << port;
    EXPECT_NE(process.out().find("Failed to bind 127.0.0.1:" + port), std::string::npos) << process.out();
  }
  // "1e6" was read as 1 and "256MiB" as 256; 3000000000 ended in "stoi".
  for (const char* name : {"EDGE_MAX_IMAGE_PIXELS", "EDGE_MAX_BODY_BYTES"}) {
    for (const std::string value : {"0", "1e6", "256MiB", "-5", " 7", "9223372036854775808"}) {
      ServingProcess process({kModels + "/red_detector", "127.0.0.1", std::to_string(free_port())}, {{name, value}});
      EXPECT_EQ(process.wait_exit(), 3) << name << "=" << value;
      EXPECT_NE(process.out().find("'" + std::string(name) + "': '" + value +
                                   "' is not a whole number from 1 to 9223372036854775807"),
                std::string::npos)
          << process.out();
    }
    Served large(kModels + "/red_detector", {{name, "3000000000"}});
    EXPECT_TRUE(large.serving()) << large.process().out();
    // The decoder takes a body's length as an int: a larger cap is lowered, and said so.
    const bool lowered = large.process().out().find(
                             "WARNING [Norvane] ") != std::string::npos &&
                         large.process().out().find("of 3000000000 bytes is above what the picture decoder takes: "
                                                    "using 2147483647") != std::string::npos;
    EXPECT_EQ(lowered, std::string(name) == "EDGE_MAX_BODY_BYTES") << large.process().out();
  }
}

// 22 M header lines held 2.4 GB, one 1 GB header line 1079 MB; 50 MB of empty
// multipart parts and 500 MB of empty deflate blocks were read whole under a
// 1 MB body cap.
TEST_F(HostileClients, FloodsAndBombsStayWithinMemory) {
  Served served(kModels + "/red_detector",
                {{"EDGE_MAX_BODY_BYTES", "1000000"}, {"ASAN_OPTIONS", "quarantine_size_mb=0"}});
  ASSERT_TRUE(served.serving()) << served.process().out();
  ASSERT_EQ(served.post(picture()).get("error_code").get<int64_t>(), 0);
  const long peak_before = served.process().peak_kb();

  std::string empty_parts, empty_blocks = std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10);
  for (int i = 0; i < 2000; ++i) empty_parts += "--b\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\n\r\n";
  for (int i = 0; i < 3000; ++i) empty_blocks += std::string("\0\0\0\xff\xff", 5);
  struct Case {
    std::string head;
    std::string repeated;  // sent over and over, up to 40 MB, until the service refuses
    int status;
  };
  const std::string chunked = "Transfer-Encoding: chunked\r\n\r\n";
  for (const Case& c : {
           Case{"GET /api/info HTTP/1.1\r\n", "a:b\r\n", 431},
           Case{"GET /api/info HTTP/1.1\r\nX-Long: ", std::string(8192, 'a'), 431},
           Case{"POST / HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=b\r\n" + chunked,
                "4000\r\n" + empty_parts.substr(0, 0x4000) + "\r\n", 413},
           Case{"POST / HTTP/1.1\r\nContent-Encoding: gzip\r\n" + chunked,
                "3A98\r\n" + empty_blocks.substr(0, 0x3A98) + "\r\n", 413},
       }) {
    RawClient client(served.port());
    client.send_text(c.head);
    for (size_t sent = 0; sent < (size_t(40) << 20) && client.send_text(c.repeated); sent += c.repeated.size()) {
    }
    const std::string reply = client.read_all(5);
    EXPECT_EQ(reply.rfind("HTTP/1.1 " + std::to_string(c.status), 0), 0u) << c.head << reply;
  }
  EXPECT_LT(served.process().peak_kb() - peak_before, 64 * 1024) << "kB more at the peak";
  EXPECT_EQ(served.post(picture()).get("error_code").get<int64_t>(), 0);
}

// "%0A" in the path wrote a second, forged record; "%FF" in the threshold was
// echoed into the reply as a byte that is no UTF-8.
TEST_F(HostileClients, OneLogLinePerRequestAndUtf8Replies) {
  Served served(kModels + "/red_detector");
  ASSERT_TRUE(served.serving()) << served.process().out();
  RawClient client(served.port());
  client.send_text("GET /x%0A2024-01-01%2000:00:00,000%20INFO%20[Norvane]%20forged HTTP/1.1\r\n"
                   "User-Agent: a\x01" "b\r\nConnection: close\r\n\r\n");
  client.read_all();
  EXPECT_TRUE(served.process().wait_output(
      "\"GET /x\\x0A2024-01-01 00:00:00,000 INFO [Norvane] forged\" 404 \"a\\x01" "b\" \n"))
      << served.process().out();
  EXPECT_EQ(served.process().out().find("\n2024-01-01"), std::string::npos);

  auto r = served.client().Post("/?threshold=%FF", picture(), "image/jpeg");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "{\"error_code\":8000001,\"message\":\"Illegal parameter 'threshold': \xEF\xBF\xBD\"}");
}

// One upload of the cap at 70 KB/s held every POST for an hour, heads alone
// held them in turn, and 1,000 clients trickling header bytes were all kept
// open (each closing let 63 more in); requests waiting for room were closed
// unanswered when new clients came.
TEST_F(HostileClients, SlowBodiesBareHeadsAndTricklersHoldNoGoodRequest) {
  Served served(kModels + "/red_detector");
  ASSERT_TRUE(served.serving()) << served.process().out();
  const std::string cap = post_head(size_t(256) << 20);
  std::vector<std::unique_ptr<RawClient>> slow, heads, tricklers;
  for (int i = 0; i < 4; ++i) slow.push_back(std::make_unique<RawClient>(served.port()));
  for (auto& c : slow) c->send_text(cap);
  for (int i = 0; i < 20; ++i) heads.push_back(std::make_unique<RawClient>(served.port()));
  for (auto& c : heads) c->send_text(cap);
  std::atomic<bool> done{false};
  std::thread pace([&] {
    const std::string piece(7000, 'x');  // 70 KB/s each
    while (!done) {
      for (auto& c : slow) c->send_text(piece);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  for (int i = 0; i < 300; ++i) {
    tricklers.push_back(std::make_unique<RawClient>(served.port()));
    tricklers.back()->send_text("G");
  }
  const std::string jpeg = picture();
  size_t peak = 0;
  for (int i = 0; i < 5; ++i) {
    const picojson::value reply = served.post(jpeg);  // null without a reply
    EXPECT_TRUE(reply.is<picojson::object>() && reply.get("error_code").to_str() == "0") << i << reply.serialize();
    peak = std::max(peak, served.process().client_sockets(served.port()));
  }
  done = true;
  pace.join();
  EXPECT_GT(peak, 200u);
  EXPECT_LE(peak, 256u) << "client sockets held at once";
  // Tricklers beyond the bound were told why before they were closed.
  EXPECT_TRUE(served.process().wait_output("[access_log] \"- -\" 503")) << served.process().out();
}

// Under a limit of 64 open files, good requests waited 15-20 s behind 400 idle
// connections: accept failed and nothing gave way.
TEST_F(HostileClients, OpenFileLimitBoundsTheConnections) {
  Served limited(kModels + "/red_detector", {}, {64, 64});
  ASSERT_TRUE(limited.serving()) << limited.process().out();
  const std::string said = "Open files are limited to 64: serving at most ";
  const std::string out = limited.process().out();
  const size_t at = out.find(said);
  ASSERT_NE(at, std::string::npos) << out;
  const size_t bound = std::stoul(out.substr(at + said.size()));
  EXPECT_GT(bound, 16u);
  EXPECT_LT(bound, 64u);
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int i = 0; i < 100; ++i) idle.push_back(std::make_unique<RawClient>(limited.port()));
  const std::string jpeg = picture();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(limited.post(jpeg).get("error_code").get<int64_t>(), 0) << i;
    EXPECT_LE(limited.process().client_sockets(limited.port()), bound);
  }
  // A soft limit under the hard one is raised to it.
  Served raised(kModels + "/red_detector", {}, {64, 4096});
  ASSERT_TRUE(raised.serving()) << raised.process().out();
  EXPECT_EQ(raised.process().out().find("Open files are limited"), std::string::npos);
  const std::string limits = read_text("/proc/" + std::to_string(raised.process().pid()) + "/limits");
  EXPECT_NE(limits.find("Max open files            4096                 4096"), std::string::npos) << limits;
}

}  // namespace
}  // namespace norvane_test
