// POST "/": threshold parsing, image decoding, the reply forms and the
// containment of failures, against fake predictors.

#include <cmath>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "fake_predictor.h"
#include "service_test_util.h"
#include "support/temp_dir.h"

namespace norvane_test {
namespace {

using norvane::NV_ERR_BAD_REQUEST;

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
