// The service's routes, reply forms, access log and lifecycle, against fake
// predictors on a loopback port of the system's choice.

#include <cmath>
#include <csignal>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_predictor.h"
#include "norvane/net/demo_page.h"
#include "service_test_util.h"
#include "support/temp_dir.h"

namespace norvane_test {
namespace {

using norvane::HttpServer;
using norvane::NV_ERR_SERVICE;
using norvane::NV_OK;

const std::vector<std::pair<std::string, std::string>> kCrossOrigin = {
    {"Access-Control-Allow-Methods", "POST, GET, OPTIONS"},
    {"Access-Control-Allow-Headers", "content-type,x-requested-with,cache-control"},
    {"Access-Control-Allow-Origin", "*"},
};

void expect_cross_origin(const httplib::Result& r, bool present) {
  for (const auto& header : kCrossOrigin) {
    EXPECT_EQ(r->has_header(header.first.c_str()), present) << header.first;
    if (present) {
      EXPECT_EQ(r->get_header_value(header.first.c_str()), header.second);
    }
  }
}

class ServiceRoutes : public ::testing::Test {
 protected:
  void SetUp() override { quiet_logger(); }

  HomeGuard home_;
  std::shared_ptr<FakeBehaviour> fake_ = std::make_shared<FakeBehaviour>();
};

TEST_F(ServiceRoutes, ServiceIdIsPlainTextWithoutCrossOriginHeaders) {
  for (const std::string id : {"svc-42", ""}) {
    RunningServer server({fake_}, id);
    auto r = server.client().Get("/get/service_id");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->body, id);
    EXPECT_EQ(r->get_header_value("Content-Type"), "text/plain");
    expect_cross_origin(r, false);
  }
}

TEST_F(ServiceRoutes, ModelInfoIsPrettyJsonByteForByte) {
  fake_->name = "red/green";
  fake_->kind = norvane::MODEL_KIND_CLASSIFICATION;
  fake_->threshold_rec = 0.3f;
  RunningServer server({fake_});
  auto r = server.client().Get("/api/info");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body,
            "{\n  \"id\": 1234567890123,\n  \"kind\": 1,\n  \"name\": \"red\\/green\",\n"
            "  \"thresholdRec\": 0.30000001192092896\n}\n");
  EXPECT_EQ(r->get_header_value("Content-Type"), "application/json; charset=utf-8");
  expect_cross_origin(r, true);
}

TEST_F(ServiceRoutes, ModelInfoNumberForms) {
  struct Case {
    int kind;
    float threshold;
    std::string kind_text;
    std::string threshold_text;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (const Case& c : {Case{6, 0.5f, "6", "0.5"}, Case{2, 0.0f, "2", "0"}, Case{-1, 1.0f, "4294967295", "1"},
                        // JSON has no NaN or infinity; the page reads null like 0.
                        Case{2, nan, "2", "null"}, Case{2, -inf, "2", "null"}}) {
    fake_->kind = c.kind;
    fake_->threshold_rec = c.threshold;
    RunningServer server({fake_});
    auto r = server.client().Get("/api/info");
    ASSERT_TRUE(r);
    EXPECT_NE(r->body.find("\"kind\": " + c.kind_text + ",\n"), std::string::npos) << r->body;
    EXPECT_NE(r->body.find("\"thresholdRec\": " + c.threshold_text + "\n}"), std::string::npos) << r->body;
  }
}

TEST_F(ServiceRoutes, ModelInfoIsTheSameWhicheverInstanceAnswers) {
  auto twin = std::make_shared<FakeBehaviour>();
  RunningServer server({fake_, twin});
  auto first = server.client().Get("/api/info");
  ASSERT_TRUE(first);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(server.client().Get("/api/info")->body, first->body);
}

// Without containment the library answered 500 with an empty body.
TEST_F(ServiceRoutes, ModelInfoFailureIsContained) {
  fake_->throw_info = true;
  RunningServer server({fake_});
  LogCapture capture;
  auto r = server.client().Get("/api/info");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, "{\"error_code\":1000000,\"message\":\"Request failed: no information\"}");
  EXPECT_EQ(r->get_header_value("Content-Type"), "text/json");
  EXPECT_EQ(capture.count(el::Level::Error, "Request failed: no information"), 1);
  fake_->throw_info = false;
  EXPECT_EQ(server.client().Get("/api/info")->status, 200);
}

TEST_F(ServiceRoutes, DemoPageAndHead) {
  RunningServer server({fake_});
  auto r = server.client().Get("/");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, norvane::g_res_demo);
  EXPECT_EQ(r->get_header_value("Content-Type"), "text/html");
  expect_cross_origin(r, false);

  auto head = server.client().Head("/");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 200);
  EXPECT_TRUE(head->body.empty());
  EXPECT_EQ(head->get_header_value("Content-Type"), "text/html");
}

TEST_F(ServiceRoutes, OptionsAnswersCompactCodeReply) {
  RunningServer server({fake_});
  auto r = server.client().Options("/");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, "{\"error_code\":0,\"message\":\"\"}");
  EXPECT_EQ(r->get_header_value("Content-Type"), "text/json");
  expect_cross_origin(r, true);
}

TEST_F(ServiceRoutes, UnroutedRequestsGetTheLibraryReplies) {
  RunningServer server({fake_});
  auto cli = server.client();
  EXPECT_EQ(cli.Get("/index.html")->status, 404);
  EXPECT_EQ(cli.Get("/api/info/")->status, 404);
  EXPECT_EQ(cli.Get("//")->status, 404);
  EXPECT_EQ(cli.Options("/api/info")->status, 404);
  EXPECT_EQ(cli.Post("/api/info", "x", "text/plain")->status, 404);

  std::string reply = raw_exchange(server.port(), "garbage\r\n\r\n");
  EXPECT_EQ(reply.rfind("HTTP/1.1 400", 0), 0u) << reply;
}

TEST_F(ServiceRoutes, RangeRequestGetsPartialContent) {
  RunningServer server({fake_});
  auto r = server.client().Get("/get/service_id", {{"Range", "bytes=0-2"}});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 206);
  EXPECT_EQ(r->body, "svc");
}

TEST_F(ServiceRoutes, KeptAliveConnectionServesAtMostFiveRequests) {
  RunningServer server({fake_});
  RawConnection connection(server.port());
  const std::string request = "GET /get/service_id HTTP/1.1\r\nHost: x\r\n\r\n";
  for (int i = 1; i <= 4; ++i) {
    std::string reply = connection.exchange(request);
    EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << i;
    EXPECT_EQ(reply.find("Connection: close"), std::string::npos) << i;
  }
  EXPECT_NE(connection.exchange(request).find("Connection: close"), std::string::npos);
  EXPECT_EQ(connection.exchange(request), "");
}

TEST_F(ServiceRoutes, AccessLogLines) {
  LogCapture capture;
  RunningServer server({fake_});
  struct Case {
    std::string request;
    std::string line;
  };
  for (const Case& c : {
           Case{"GET /api/info HTTP/1.1\r\nHost: x\r\n\r\n", "[access_log] \"GET /api/info\" 200"},
           Case{"GET /api/info?x=1 HTTP/1.1\r\nuser-agent: probe/1\r\n\r\n",
                "[access_log] \"GET /api/info\" 200 \"probe/1\" "},
           Case{"GET /nothing HTTP/1.1\r\nHost: x\r\n\r\n", "[access_log] \"GET /nothing\" 404"},
           Case{"OPTIONS / HTTP/1.1\r\nUser-Agent: a\r\nUser-Agent: b\r\n\r\n", "[access_log] \"OPTIONS /\" 200 \"a\" "},
       }) {
    raw_exchange(server.port(), c.request);
    EXPECT_TRUE(wait_for_record(capture, el::Level::Info, c.line)) << c.line;
  }
}

// Lifecycle: nothing of this needs a client.
class ServiceLifecycle : public ::testing::Test {
 protected:
  void SetUp() override { quiet_logger(); }
  HomeGuard home_;
};

// A client hanging up while its reply is written must not end the process.
TEST_F(ServiceLifecycle, BuildingTheServiceIgnoresSigpipe) {
  signal(SIGPIPE, SIG_DFL);
  HttpServer server;
  struct sigaction action {};
  sigaction(SIGPIPE, nullptr, &action);
  EXPECT_EQ(action.sa_handler, SIG_IGN);
}

TEST_F(ServiceLifecycle, AddPredictorRefusesNullAndUninitialised) {
  LogCapture capture;
  HttpServer server;
  std::unique_ptr<norvane::EdgePredictor> none;
  EXPECT_EQ(server.add_predictor(none), NV_ERR_SERVICE);
  EXPECT_EQ(capture.count(el::Level::Error, "Null predictor"), 1);

  auto fresh = make_fake(std::make_shared<FakeBehaviour>(), /*init=*/false);
  EXPECT_EQ(server.add_predictor(fresh), NV_ERR_SERVICE);
  EXPECT_TRUE(fresh) << "a refused predictor stays with the caller";
  EXPECT_EQ(capture.count(el::Level::Error, "Predictor has not been initialized yet( forgotten calling init()? )"), 1);

  fresh->init();
  EXPECT_EQ(server.add_predictor(fresh), NV_OK);
  EXPECT_FALSE(fresh);
}

TEST_F(ServiceLifecycle, StartServiceRefusesWithoutInitOrInstances) {
  LogCapture capture;
  HttpServer server;
  auto fake = make_fake(std::make_shared<FakeBehaviour>());
  ASSERT_EQ(server.add_predictor(fake), NV_OK);
  EXPECT_EQ(server.start_service(), NV_ERR_SERVICE);
  EXPECT_EQ(capture.count(el::Level::Error, "Service hasn't been initialized"), 1);

  HttpServer empty;
  empty.init("127.0.0.1", 0, "");
  EXPECT_EQ(empty.start_service(), NV_ERR_SERVICE);
  EXPECT_EQ(capture.count(el::Level::Error, "Empty instance list"), 1);
  EXPECT_FALSE(capture.contains("HTTP is now serving"));
}

TEST_F(ServiceLifecycle, BannerThenOrderlyShutdown) {
  LogCapture capture;
  auto a = std::make_shared<FakeBehaviour>();
  auto b = std::make_shared<FakeBehaviour>();
  RunningServer server({a, b});
  ASSERT_GT(server.port(), 0);
  EXPECT_EQ(server.stop(), NV_OK);
  EXPECT_EQ(capture.count(el::Level::Info, "HTTP is now serving at 127.0.0.1:0, holding 2 instances"), 1);
  EXPECT_EQ(capture.count(el::Level::Info, "HTTP serving has shutdown"), 1);
}

int serve_once_on(int port) {
  HttpServer server;
  server.init("127.0.0.1", port, "");
  auto fake = make_fake(std::make_shared<FakeBehaviour>());
  server.add_predictor(fake);
  return server.start_service();
}

TEST_F(ServiceLifecycle, PortInUseFailsToStart) {
  LogCapture capture;
  RawListener busy;
  const int port = busy.port();
  ASSERT_GT(port, 0);
  EXPECT_EQ(serve_once_on(port), NV_ERR_SERVICE);
  const std::string where = "127.0.0.1:" + std::to_string(port);
  auto records = capture.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].message, "HTTP is now serving at " + where + ", holding 1 instances");
  EXPECT_EQ(records[1].level, el::Level::Error);
  EXPECT_EQ(records[1].message, "Failed to bind " + where);
}

// The library's default socket options let a second service bind a port that a
// running one already serves, and both reported success.
TEST_F(ServiceLifecycle, PortServedByAnotherServiceFailsToStart) {
  RunningServer first({std::make_shared<FakeBehaviour>()});
  EXPECT_EQ(serve_once_on(first.port()), NV_ERR_SERVICE);
  EXPECT_EQ(first.client().Get("/get/service_id")->body, "svc-42");
}

TEST_F(ServiceLifecycle, NegativePortFailsToStart) {
  LogCapture capture;
  EXPECT_EQ(serve_once_on(-5), NV_ERR_SERVICE);
  EXPECT_EQ(capture.count(el::Level::Error, "Failed to bind 127.0.0.1:-5"), 1);
}

TEST_F(ServiceLifecycle, DestroysInstancesInTheOrderAdded) {
  std::vector<std::string> destroyed;
  {
    HttpServer server;
    for (const char* name : {"first", "second", "third"}) {
      auto behaviour = std::make_shared<FakeBehaviour>();
      behaviour->name = name;
      behaviour->destroyed = &destroyed;
      auto fake = make_fake(behaviour);
      server.add_predictor(fake);
    }
  }
  EXPECT_EQ(destroyed, (std::vector<std::string>{"first", "second", "third"}));
}

}  // namespace
}  // namespace norvane_test
