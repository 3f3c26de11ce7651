// POST "/": threshold parsing, image decoding, the reply forms and the
// containment of failures, against fake predictors.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "fake_predictor.h"
#include "norvane/net/http_server_image.h"
#include "service_test_util.h"
#include "support/temp_dir.h"

namespace norvane_test {
namespace {

using norvane::HttpServer;
using norvane::NV_ERR_BAD_REQUEST;
using norvane::detail::read_picture_size;

// A small JPEG whose frame header claims width x height.
std::string jpeg_claiming(uint16_t width, uint16_t height) {
  cv::Mat noise(64, 64, CV_8UC3);
  cv::randu(noise, 0, 255);
  std::string bytes = encode(noise, ".jpg");
  const size_t sof = bytes.find("\xFF\xC0");
  bytes[sof + 5] = static_cast<char>(height >> 8);
  bytes[sof + 6] = static_cast<char>(height & 255);
  bytes[sof + 7] = static_cast<char>(width >> 8);
  bytes[sof + 8] = static_cast<char>(width & 255);
  return bytes;
}

norvane::EdgeResultData record(const std::string& label, float prob, float x1, float y1, float x2, float y2) {
  norvane::EdgeResultData r;
  r.label = label;
  r.prob = prob;
  r.x1 = x1;
  r.y1 = y1;
  r.x2 = x2;
  r.y2 = y2;
  return r;
}

class InferRoute : public ::testing::Test {
 protected:
  void SetUp() override {
    quiet_logger();
    fake_->records = {record("red", 0.5f, 0.25f, 0.5f, 0.75f, 1.0f)};
    png_ = encode(cv::Mat(480, 640, CV_8UC3, cv::Scalar(0, 0, 255)), ".png");
  }

  httplib::Result post(RunningServer& server, const std::string& path, const std::string& body) {
    return server.client().Post(path.c_str(), body, "application/octet-stream");
  }

  HomeGuard home_;
  std::shared_ptr<FakeBehaviour> fake_ = std::make_shared<FakeBehaviour>();
  std::string png_;
};

TEST_F(InferRoute, SuccessReplyIsCompactWithCostCodeAndResults) {
  RunningServer server({fake_});
  for (const char* ext : {".png", ".jpg", ".bmp"}) {
    auto r = post(server, "/", encode(cv::Mat(480, 640, CV_8UC3, cv::Scalar(0, 0, 255)), ext));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->get_header_value("Content-Type"), "text/json");
    EXPECT_EQ(r->get_header_value("Access-Control-Allow-Origin"), "*");
    // cost_ms is a whole number of milliseconds; the rest is fixed.
    const std::string prefix = "{\"cost_ms\":";
    ASSERT_EQ(r->body.rfind(prefix, 0), 0u) << r->body;
    size_t digits_end = r->body.find(',');
    ASSERT_NE(digits_end, std::string::npos);
    EXPECT_EQ(r->body.find_first_not_of("0123456789", prefix.size()), digits_end) << r->body;
    EXPECT_EQ(r->body.substr(digits_end),
              ",\"error_code\":0,\"results\":[{\"confidence\":0.5,\"index\":0,\"label\":\"red\","
              "\"location\":{\"height\":240,\"left\":160,\"top\":240,\"width\":320},\"name\":\"red\","
              "\"score\":0.5,\"x1\":0.25,\"x2\":0.75,\"y1\":0.5,\"y2\":1}]}")
        << ext;
  }
}

// curl posts --data-binary bodies as form-encoded unless told otherwise; such a
// body used to be refused with 413 past 8 KB (and parsed as query parameters).
TEST_F(InferRoute, ContentTypeDoesNotChangeTheBody) {
  RunningServer server({fake_});
  cv::Mat noisy(480, 640, CV_8UC3);
  cv::randu(noisy, 0, 255);
  const std::string big = encode(noisy, ".png");
  ASSERT_GT(big.size(), 8192u);
  for (const char* type : {"application/x-www-form-urlencoded", "image/png", "text/plain"}) {
    auto r = server.client().Post("/", big, type);
    ASSERT_TRUE(r) << type;
    EXPECT_EQ(r->status, 200) << type;
    EXPECT_NE(r->body.find("\"error_code\":0,"), std::string::npos) << type << ": " << r->body;
  }
  // A form body holding "threshold=" is an undecodable image, not a parameter.
  auto form = server.client().Post("/", "threshold=abc", "application/x-www-form-urlencoded");
  ASSERT_TRUE(form);
  EXPECT_NE(form->body.find("Failed to decode image: "), std::string::npos) << form->body;
}

TEST_F(InferRoute, ThresholdParameter) {
  struct Case {
    std::string query;
    bool accepted;
    float seen;  // threshold the full infer received; NaN checked apart
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<Case> cases = {
      {"", true, 0.25f},  // the model's own
      {"?threshold=-1", true, 0.25f},
      {"?threshold=%20-2", true, 0.25f},  // leading blank skipped, still negative
      {"?threshold=0", true, 0.0f},
      {"?threshold=0.5abc", true, 0.5f},
      {"?threshold=nan", true, nan},
      {"?threshold=1e40", false, 0},
      {"?threshold=abc", false, 0},
      {"?threshold=", false, 0},
  };
  RunningServer server({fake_});
  for (const Case& c : cases) {
    LogCapture capture;
    const size_t calls_before = fake_->seen().size();
    auto r = post(server, "/" + c.query, png_);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    auto seen = fake_->seen();
    if (c.accepted) {
      EXPECT_NE(r->body.find("\"error_code\":0,"), std::string::npos) << c.query << ": " << r->body;
      ASSERT_EQ(seen.size(), calls_before + 1) << c.query;
      if (std::isnan(c.seen)) {
        EXPECT_TRUE(std::isnan(seen.back())) << c.query;
      } else {
        EXPECT_EQ(seen.back(), c.seen) << c.query;
      }
    } else {
      const std::string raw = c.query.substr(c.query.find('=') + 1);
      const std::string message = "Illegal parameter 'threshold': " + raw;
      EXPECT_EQ(r->body, "{\"error_code\":" + std::to_string(NV_ERR_BAD_REQUEST) + ",\"message\":\"" + message + "\"}");
      EXPECT_EQ(seen.size(), calls_before) << "no inference for " << c.query;
      EXPECT_EQ(capture.count(el::Level::Warning, message), 1) << c.query;
      EXPECT_FALSE(capture.contains("Input image size")) << "image decoded for " << c.query;
    }
  }
}

TEST_F(InferRoute, BodiesThatAreNoImage) {
  RunningServer server({fake_});
  LogCapture capture;

  auto empty = post(server, "/", "");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->status, 200);
  EXPECT_EQ(empty->body.rfind("{\"error_code\":8000001,\"message\":\"Failed to decode image: ", 0), 0u) << empty->body;

  auto text = post(server, "/", "this is not a picture");
  ASSERT_TRUE(text);
  EXPECT_EQ(text->body, "{\"error_code\":8000001,\"message\":\"Failed to decode image: Empty image\"}");
  EXPECT_EQ(capture.count(el::Level::Debug, "Input image size: 0, 0"), 1);

  auto truncated = post(server, "/", png_.substr(0, 40));
  EXPECT_EQ(truncated->body.rfind("{\"error_code\":8000001,", 0), 0u) << truncated->body;
  EXPECT_TRUE(fake_->seen().empty());
}

// The declared size of every format the image library writes, against what it
// wrote; a header cut short anywhere gives the same size or none, never a wrong
// one (each cut is its own allocation, so AddressSanitizer sees any over-read).
TEST(PictureHeader, SizeOfEveryDecodableFormat) {
  struct Format {
    const char* ext;
    int type;
  };
  for (const Format f : {Format{".jpg", CV_8UC3}, Format{".png", CV_8UC3}, Format{".bmp", CV_8UC3},
                         Format{".webp", CV_8UC3}, Format{".tiff", CV_8UC3}, Format{".ppm", CV_8UC3},
                         Format{".pgm", CV_8UC1}, Format{".pbm", CV_8UC1}, Format{".pam", CV_8UC3},
                         Format{".pfm", CV_32FC3}, Format{".sr", CV_8UC3}, Format{".hdr", CV_32FC3},
                         Format{".jp2", CV_8UC3}, Format{".exr", CV_32FC3}}) {
    for (const cv::Size size : {cv::Size(53, 37), cv::Size(700, 40), cv::Size(33, 300)}) {
      std::vector<uchar> bytes;
      ASSERT_TRUE(cv::imencode(f.ext, cv::Mat(size, f.type, cv::Scalar::all(0.5)), bytes)) << f.ext;
      uint64_t w = 0, h = 0;
      ASSERT_TRUE(read_picture_size(bytes.data(), bytes.size(), w, h)) << f.ext << " " << size;
      EXPECT_EQ(w, static_cast<uint64_t>(size.width)) << f.ext;
      EXPECT_EQ(h, static_cast<uint64_t>(size.height)) << f.ext;
      for (size_t n = 0; n < std::min<size_t>(bytes.size(), 700); ++n) {
        std::vector<uchar> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
        uint64_t cw = 0, ch = 0;
        if (read_picture_size(cut.data(), cut.size(), cw, ch)) {
          EXPECT_EQ(cw, w) << f.ext << " cut at " << n;
          EXPECT_EQ(ch, h) << f.ext << " cut at " << n;
        }
      }
    }
  }
  const std::string text = "this is not a picture";
  uint64_t w = 0, h = 0;
  EXPECT_FALSE(read_picture_size(reinterpret_cast<const unsigned char*>(text.data()), text.size(), w, h));
}

// A 6.7 KB JPEG claiming 30000 x 30000 took 5 GB and 20 s, answered with no results.
TEST_F(InferRoute, PicturesOverThePixelCapAreRefusedBeforeDecoding) {
  LogCapture capture;
  {
    RunningServer server({fake_});
    auto r = post(server, "/", jpeg_claiming(30000, 30000));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, "{\"error_code\":8000001,\"message\":\"Failed to decode image: picture of 30000 x 30000 "
                       "pixels is above the limit of 64000000 pixels\"}");
  }
  RunningServer server({fake_}, "svc-42", [](HttpServer& s) { s.set_limits(10000, HttpServer::kDefaultMaxBodyBytes); });
  for (const char* ext : {".png", ".jpg", ".bmp", ".webp", ".tiff"}) {
    auto over = post(server, "/", encode(cv::Mat(100, 101, CV_8UC3, cv::Scalar(0, 0, 255)), ext));
    ASSERT_TRUE(over);
    EXPECT_EQ(over->body, "{\"error_code\":8000001,\"message\":\"Failed to decode image: picture of 101 x 100 "
                          "pixels is above the limit of 10000 pixels\"}")
        << ext;
    auto at_cap = post(server, "/", encode(cv::Mat(100, 100, CV_8UC3, cv::Scalar(0, 0, 255)), ext));
    EXPECT_NE(at_cap->body.find("\"error_code\":0,"), std::string::npos) << ext << ": " << at_cap->body;
  }
  EXPECT_EQ(fake_->seen().size(), 5u);
  EXPECT_FALSE(capture.contains("Input image size: 101, 100")) << "nothing decoded";
  EXPECT_FALSE(capture.contains("Input image size: 30000")) << "nothing decoded";
}

// A body cut short used to be decoded after the read time-out, inferred,
// counted and answered 400 with the handler's JSON; a bad multipart boundary too.
TEST_F(InferRoute, BodiesAreReadWholeOrNotAtAll) {
  using std::chrono::milliseconds;
  LogCapture capture;
  RunningServer server({fake_}, "svc-42",
                       [](HttpServer& s) { s.set_deadlines({milliseconds(2000), milliseconds(300), 1 << 20}); });
  const std::string head = "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(png_.size()) + "\r\n\r\n";
  const std::string part = head + png_.substr(0, png_.size() * 6 / 10);
  {
    RawClient dropped(server.port());
    dropped.send_text(part);
  }
  for (const std::string& request :
       {part,
        std::string("POST / HTTP/1.1\r\nContent-Type: multipart/form-data\r\nContent-Length: 10\r\n\r\n0123456789"),
        "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n400\r\n" + png_.substr(0, 500)}) {
    RawClient quiet(server.port());
    quiet.send_text(request);
    const std::string reply = quiet.read_all(10);
    EXPECT_EQ(reply.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("Connection: close\r\n"), std::string::npos) << reply;
    EXPECT_EQ(reply.find("error_code"), std::string::npos) << "the library's own reply: " << reply;
  }
  auto whole = post(server, "/", png_);
  ASSERT_TRUE(whole);
  EXPECT_NE(whole->body.find("\"error_code\":0,"), std::string::npos) << whole->body;
  EXPECT_EQ(fake_->seen().size(), 1u) << "only the whole body is inferred";
  EXPECT_EQ(capture.count(el::Level::Debug, "Input image size: 640, 480"), 1);
}

// Without Content-Length or chunked coding the service waited 5 s for a body.
TEST_F(InferRoute, PostWithoutLengthHasAnEmptyBody) {
  RunningServer server({fake_});
  const auto start = std::chrono::steady_clock::now();
  const std::string reply = raw_exchange(server.port(), "POST / HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_LT(seconds_since(start), 2.0);
  EXPECT_NE(reply.find("{\"error_code\":8000001,\"message\":\"Failed to decode image: "), std::string::npos) << reply;
}

// A 512 MB body was held twice (1.09 GB); nothing limited it.
TEST_F(InferRoute, BodyCapRefusesBeforeReading) {
  const size_t cap = png_.size() + 10;
  RunningServer server({fake_}, "svc-42",
                       [cap](HttpServer& s) { s.set_limits(HttpServer::kDefaultMaxImagePixels, cap); });
  const std::string over = std::to_string(cap + 1);
  char chunk_size[32];
  std::snprintf(chunk_size, sizeof(chunk_size), "%zx", cap + 1);
  for (const std::string& request :
       {std::string("POST / HTTP/1.1\r\nContent-Length: 300000000\r\n\r\n"),  // nothing of it sent
        "POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: " + over + "\r\n\r\n",
        "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(chunk_size) + "\r\n" +
            std::string(cap + 1, 'x') + "\r\n0\r\n\r\n"}) {
    RawClient client(server.port());
    client.send_text(request);
    const std::string reply = client.read_all(10);
    EXPECT_EQ(reply.rfind("HTTP/1.1 413 Payload Too Large\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("Connection: close\r\n"), std::string::npos) << reply;
  }
  // Up to the cap the body is taken (trailing bytes after a PNG are ignored).
  auto at_cap = post(server, "/", png_ + std::string(10, '\0'));
  ASSERT_TRUE(at_cap);
  EXPECT_NE(at_cap->body.find("\"error_code\":0,"), std::string::npos) << at_cap->body;
  EXPECT_EQ(fake_->seen().size(), 1u);
}

// "?threshold=%FF" was echoed raw into "message"; labels come from model files.
TEST_F(InferRoute, RepliesAreValidUtf8) {
  fake_->records = {record("bad\xFF", 0.5f, 0, 0, 1, 1)};
  RunningServer server({fake_});
  auto threshold = post(server, "/?threshold=%FF%C3%A9", png_);
  ASSERT_TRUE(threshold);
  EXPECT_EQ(threshold->body,
            "{\"error_code\":8000001,\"message\":\"Illegal parameter 'threshold': \xEF\xBF\xBD\xC3\xA9\"}");
  auto label = post(server, "/", png_);
  ASSERT_TRUE(label);
  EXPECT_NE(label->body.find("\"label\":\"bad\xEF\xBF\xBD\""), std::string::npos) << label->body;
}

TEST_F(InferRoute, DecodedSizeIsLogged) {
  RunningServer server({fake_});
  LogCapture capture;
  post(server, "/", encode(cv::Mat(48, 64, CV_8UC1, cv::Scalar(7)), ".png"));
  EXPECT_EQ(capture.count(el::Level::Debug, "Input image size: 64, 48"), 1);
}

TEST_F(InferRoute, FailedInferencePassesItsCodeThrough) {
  for (int code : {-1, 1000000, 2000001}) {
    fake_->code = code;
    RunningServer server({fake_});
    auto r = post(server, "/", png_);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->body, "{\"error_code\":" + std::to_string(code) + ",\"message\":\"Infer failed\"}");
  }
}

// An exception out of an engine used to reach the HTTP library, which answered
// 500 without a body; the lock and the service must survive it too.
TEST_F(InferRoute, ExceptionsAreContainedAndServiceGoesOn) {
  RunningServer server({fake_});
  LogCapture capture;

  fake_->throw_cv = true;
  auto thrown = post(server, "/", png_);
  ASSERT_TRUE(thrown);
  EXPECT_EQ(thrown->status, 200);
  EXPECT_EQ(thrown->body.rfind("{\"error_code\":1000000,\"message\":\"Infer failed: OpenCV(", 0), 0u) << thrown->body;
  EXPECT_NE(thrown->body.find("fake preprocessing failure"), std::string::npos);
  EXPECT_EQ(thrown->get_header_value("Access-Control-Allow-Origin"), "*");
  EXPECT_EQ(capture.count(el::Level::Error, "Infer failed: "), 1);

  // A probability that is not a number cannot be written as JSON.
  fake_->throw_cv = false;
  fake_->records = {record("red", std::numeric_limits<float>::quiet_NaN(), 0, 0, 1, 1)};
  auto nan = post(server, "/", png_);
  ASSERT_TRUE(nan);
  EXPECT_EQ(nan->body, "{\"error_code\":1000000,\"message\":\"Infer failed: \"}");

  fake_->records = {record("green", 0.75f, 0, 0, 1, 1)};
  auto after = post(server, "/", png_);
  ASSERT_TRUE(after);
  EXPECT_NE(after->body.find("\"label\":\"green\""), std::string::npos) << after->body;
}

TEST_F(InferRoute, ClassificationResultsHaveNoBox) {
  fake_->kind = norvane::MODEL_KIND_CLASSIFICATION;
  fake_->records = {record("blue", 1.0f, 0.1f, 0.1f, 0.2f, 0.2f)};
  RunningServer server({fake_});
  auto r = post(server, "/", png_);
  ASSERT_TRUE(r);
  EXPECT_NE(r->body.find(",\"error_code\":0,\"results\":[{\"confidence\":1,\"index\":0,\"label\":\"blue\","
                         "\"name\":\"blue\",\"score\":1}]}"),
            std::string::npos)
      << r->body;
}

TEST_F(InferRoute, InstancesAreChosenAtRandomAndNamedInVerboseLog) {
  auto other = std::make_shared<FakeBehaviour>();
  other->records = fake_->records;
  RunningServer server({fake_, other});
  LogCapture capture(1);
  for (int i = 0; i < 40; ++i) post(server, "/", png_);
  EXPECT_GT(fake_->seen().size(), 0u);
  EXPECT_GT(other->seen().size(), 0u);
  std::set<std::string> addresses;
  for (const auto& r : capture.records())
    if (r.message.rfind("using predictor ", 0) == 0) addresses.insert(r.message);
  EXPECT_EQ(addresses.size(), 2u);
}

}  // namespace
}  // namespace norvane_test
