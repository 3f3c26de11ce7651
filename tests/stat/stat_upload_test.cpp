#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "norvane/error_codes.h"
#include "norvane/globals.h"
#include "norvane/net/http_client2.h"
#include "norvane/stat/stat.h"
#include "norvane/utils.h"
#include "stat/stat_test_support.h"
#include "stat/usage_server.h"
#include "support/log_capture.h"

using norvane::HttpClient2;
using norvane::Stat;
using norvane::Uri;
using norvane_test::Counts;
using norvane_test::EnvGuard;
using norvane_test::UsageServer;

namespace {

class StatUpload : public norvane_test::StatTest {
 protected:
  // One launch and three inferences of two models, as a freshly started library has them.
  void count_some(Stat& stat) {
    stat.do_sdk_launch();
    stat.do_model_invoke(11, 22);
    stat.do_model_invoke(11, 22);
    stat.do_model_invoke(33, 44);
  }
  Counts expected_counts() {
    const std::string d = norvane_test::today();
    Counts c;
    c.launches[d] = 1;
    c.models[{11, 22}][d] = 2;
    c.models[{33, 44}][d] = 1;
    return c;
  }
  std::string cache_text() { return norvane::utils::read_file_binary(cache_path()); }

  UsageServer usage;
};

}  // namespace

TEST_F(StatUpload, AcceptedUploadCarriesTheCipheredCountsAndClearsThem) {
  norvane::g_URL_SERVER_HOST = usage.url();
  Stat stat;
  count_some(stat);
  const std::string plain = stat.stat_data_to_json();

  norvane_test::LogCapture cap;
  EXPECT_EQ(stat.upload_stat_data(), 0);

  auto seen = usage.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].path, "/offline-auth/v2/usage/edge");
  ASSERT_FALSE(seen[0].content_types.empty());
  for (const std::string& type : seen[0].content_types) EXPECT_EQ(type, "text/plain");
  auto deciphered = norvane_test::decipher_upload_body(seen[0].body);
  ASSERT_TRUE(deciphered.has_value()) << seen[0].body;
  EXPECT_EQ(*deciphered, plain);
  EXPECT_EQ(norvane_test::counts_of_json(*deciphered), expected_counts());

  EXPECT_EQ(norvane_test::counts_of(stat), Counts());
  EXPECT_EQ(cache_text(), stat.stat_data_to_json());  // the empty statistics
  EXPECT_EQ(cap.count(el::Level::Debug, "Stat done(0)"), 1);
}

// The exchange runs without the statistics lock: what is counted while it is
// under way is neither posted nor cleared by it.
TEST_F(StatUpload, AcceptedUploadSubtractsOnlyWhatItPosted) {
  usage.set_delay_ms(300);
  norvane::g_URL_SERVER_HOST = usage.url();
  Stat stat;
  count_some(stat);
  std::thread upload([&]() { stat.upload_stat_data(); });
  ASSERT_TRUE(usage.wait_for_requests(1, std::chrono::seconds(5)));
  stat.do_model_invoke(11, 22);
  stat.do_model_invoke(55, 66);
  upload.join();

  ASSERT_EQ(usage.requests().size(), 1u);
  EXPECT_EQ(norvane_test::counts_of_json(norvane_test::decipher_upload_body(usage.requests()[0].body).value_or("")),
            expected_counts());
  Counts meanwhile;
  meanwhile.models[{11, 22}][norvane_test::today()] = 1;
  meanwhile.models[{55, 66}][norvane_test::today()] = 1;
  EXPECT_EQ(norvane_test::counts_of(stat), Counts());
  EXPECT_EQ(norvane_test::counts_of_json(cache_text()), meanwhile);  // saved after the exchange
}

TEST_F(StatUpload, RefusedOrMissingAnswerKeepsTheCounts) {
  struct Case {
    const char* name;
    int status;          // 0: nothing listens
    std::string error;   // expected ERROR text
  };
  usage.set_reply_body("try later");
  const std::vector<Case> cases = {
      {"server error", 500, "Http perform failed:  http code: 500, body: try later"},
      {"other 2xx", 202, "Http perform failed:  http code: 202, body: try later"},
      {"no server", 0, "Http perform failed: null respond"},
  };
  for (const Case& c : cases) {
    if (c.status == 0) {
      norvane::g_URL_SERVER_HOST = "http://127.0.0.1:" + std::to_string(norvane_test::closed_loopback_port());
    } else {
      usage.set_status(c.status);
      norvane::g_URL_SERVER_HOST = usage.url();
    }
    Stat stat;
    count_some(stat);
    norvane_test::LogCapture cap;
    EXPECT_EQ(stat.upload_stat_data(), 0) << c.name;
    EXPECT_EQ(cap.count(el::Level::Error, c.error), 1) << c.name;
    EXPECT_EQ(cap.count(el::Level::Debug, "Stat done(-1)"), 1) << c.name;
    EXPECT_EQ(norvane_test::counts_of(stat), expected_counts()) << c.name;
  }
}

// Regression: a server address whose port is not a number threw out of the
// upload, which ended the process from its timer thread with the lock held.
TEST_F(StatUpload, ServerPortThatIsNotANumberFailsTheUploadOnly) {
  norvane::g_URL_SERVER_HOST = "http://127.0.0.1:usage";
  Stat stat;
  count_some(stat);
  norvane_test::LogCapture cap;
  EXPECT_NO_THROW(stat.upload_stat_data());
  EXPECT_EQ(cap.count(el::Level::Error, "127.0.0.1:usage"), 1);
  EXPECT_EQ(cap.count(el::Level::Debug, "Stat done(-1)"), 1);
  stat.do_model_invoke(33, 44);  // counted: the statistics lock was released
  EXPECT_EQ(norvane_test::counts_of(stat).models.at({33, 44}).at(norvane_test::today()), 2);

  norvane::g_URL_SERVER_HOST = usage.url();
  stat.upload_stat_data();
  EXPECT_EQ(usage.requests().size(), 1u);
}

// Regression: the time-outs bounded each read, not the exchange, so a server
// that sent a 200 header and then a byte a second held the upload, and the
// statistics lock with it, for as long as it kept sending (past 27 s).
TEST_F(StatUpload, TricklingAnswerEndsTheUploadWithinItsTimeOut) {
  norvane_test::TricklingServer trickle;
  for (bool through_proxy : {false, true}) {
    EnvGuard proxy("HTTP_PROXY", through_proxy ? trickle.url().c_str() : nullptr);
    norvane::set_url_server_host(through_proxy ? usage.url() : trickle.url());
    Stat stat;
    count_some(stat);
    norvane_test::LogCapture cap;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(stat.upload_stat_data(), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(2500)) << through_proxy;  // it did wait for the answer
    EXPECT_LT(took, std::chrono::milliseconds(4500)) << through_proxy;  // 3 s, with room for a slow machine
    EXPECT_EQ(cap.count(el::Level::Error, "Http perform failed: null respond"), 1) << through_proxy;
    EXPECT_EQ(cap.count(el::Level::Debug, "Stat done(-1)"), 1) << through_proxy;
    EXPECT_EQ(norvane_test::counts_of(stat), expected_counts()) << through_proxy;
  }
  EXPECT_EQ(trickle.connections(), 2);
  EXPECT_TRUE(usage.requests().empty());
}

TEST_F(StatUpload, HostNameIsResolvedBeforeTheExchange) {
  norvane::set_url_server_host("http://localhost:" + std::to_string(usage.port()));
  Stat stat;
  count_some(stat);
  stat.upload_stat_data();
  EXPECT_EQ(usage.requests().size(), 1u);
  EXPECT_EQ(norvane_test::counts_of(stat), Counts());

  // A name that resolves to nothing fails like an unreachable server.
  norvane::set_url_server_host("http://no-such-host.invalid:" + std::to_string(usage.port()));
  count_some(stat);
  norvane_test::LogCapture cap;
  stat.upload_stat_data();
  EXPECT_EQ(cap.count(el::Level::Error, "Http perform failed: null respond"), 1);
  EXPECT_EQ(norvane_test::counts_of(stat), expected_counts());
}

TEST_F(StatUpload, ProxyFromEitherVariableCarriesTheUpload) {
  for (const char* variable : {"HTTP_PROXY", "http_proxy"}) {
    UsageServer proxy;
    EnvGuard upper("HTTP_PROXY", std::string(variable) == "HTTP_PROXY" ? proxy.url().c_str() : "");
    EnvGuard lower("http_proxy", std::string(variable) == "http_proxy" ? proxy.url().c_str() : nullptr);
    norvane::g_URL_SERVER_HOST = usage.url();
    Stat stat;
    count_some(stat);
    norvane_test::LogCapture cap;
    stat.upload_stat_data();

    EXPECT_EQ(cap.count(el::Level::Info, "Proxy was set to 127.0.0.1:" + std::to_string(proxy.port())), 1)
        << variable;
    auto seen = proxy.requests();
    ASSERT_EQ(seen.size(), 1u) << variable;
    EXPECT_EQ(seen[0].target, usage.url() + "/offline-auth/v2/usage/edge") << variable;
    EXPECT_EQ(norvane_test::counts_of_json(norvane_test::decipher_upload_body(seen[0].body).value_or("")),
              expected_counts())
        << variable;
    EXPECT_EQ(norvane_test::counts_of(stat), Counts()) << variable;  // the proxy answered 200
  }
  EXPECT_TRUE(usage.requests().empty());
}

// Regression: a proxy setting without a port logged "Failed to set proxy: stoi"
// and the upload then went around the proxy, straight to the usage server.
TEST_F(StatUpload, UnusableProxyStopsTheUploadAndKeepsTheCounts) {
  struct Case {
    const char* variable;
    const char* proxy;
    const char* fault;
  };
  const std::vector<Case> cases = {
      {"HTTP_PROXY", "http://127.0.0.1", "no port"},
      {"http_proxy", "http://127.0.0.1", "no port"},
      {"HTTP_PROXY", "http://127.0.0.1:", "no port"},
      {"HTTP_PROXY", "http://127.0.0.1:proxy", "a port that is not a number from 1 to 65535"},
      {"HTTP_PROXY", "127.0.0.1:3128x", "a port that is not a number from 1 to 65535"},
      {"HTTP_PROXY", "http://127.0.0.1:0", "a port that is not a number from 1 to 65535"},
      {"HTTP_PROXY", "http://127.0.0.1:65536", "a port that is not a number from 1 to 65535"},
      {"http_proxy", "http://:3128", "no host"},
  };
  norvane::g_URL_SERVER_HOST = usage.url();
  for (const Case& c : cases) {
    const bool upper = std::string(c.variable) == "HTTP_PROXY";
    EnvGuard upper_proxy("HTTP_PROXY", upper ? c.proxy : nullptr);
    EnvGuard lower_proxy("http_proxy", upper ? nullptr : c.proxy);
    Stat stat;
    count_some(stat);
    norvane_test::LogCapture cap;
    stat.upload_stat_data();
    EXPECT_EQ(cap.count(el::Level::Error, std::string("Failed to set proxy: ") + c.variable + " names " + c.fault),
              1)
        << c.proxy;
    EXPECT_EQ(cap.count(el::Level::Error, "Http perform failed"), 0) << c.proxy;
    EXPECT_EQ(cap.count(el::Level::Debug, "Stat done(-1)"), 1) << c.proxy;
    EXPECT_EQ(norvane_test::counts_of(stat), expected_counts()) << c.proxy;
  }
  EXPECT_TRUE(usage.requests().empty());
}

TEST_F(StatUpload, ClientPostsJsonAndHandsBackTheReplyBody) {
  usage.set_reply_body("{\"ok\":1}");
  HttpClient2 client(usage.url() + "/ignored/path?x=1", "/api/json");
  client.set_post_data("{\"a\":1}");
  std::string response = "untouched";
  EXPECT_EQ(client.perform(response, 3), norvane::NV_OK);
  EXPECT_EQ(response, "{\"ok\":1}");
  auto seen = usage.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].path, "/api/json");
  EXPECT_EQ(seen[0].body, "{\"a\":1}");
  EXPECT_EQ(seen[0].content_types.at(0), "application/json");

  usage.set_status(404);
  HttpClient2 failing(usage.url(), "/missing");
  failing.set_post_data("{}");
  response = "untouched";
  EXPECT_EQ(failing.perform(response, 3), norvane::NV_ERR_HTTP);
  EXPECT_EQ(response, "untouched");
}

TEST(UriParse, SplitsEveryForm) {
  struct Case {
    std::string text, protocol, host, port, path, query;
  };
  const std::vector<Case> cases = {
      {"http://usage.example:8080/a/b?x=1&y=2", "http", "usage.example", "8080", "/a/b", "?x=1&y=2"},
      {"usage.example:8080/a", "", "usage.example", "8080", "/a", ""},
      {"http://usage.example", "http", "usage.example", "", "", ""},
      {"http://usage.example?x=1", "http", "usage.example", "", "", "?x=1"},
      {"http://", "", "http", "", "//", ""},
      {"", "", "", "", "", ""},
      {"https://usage.example/", "https", "usage.example", "", "/", ""},
      {"http://usage.example:/p", "http", "usage.example", "", "/p", ""},
      // A "/" only inside the query is part of the query, not a path.
      {"http://usage.example?next=/a/b", "http", "usage.example", "", "", "?next=/a/b"},
      {"host:80?q=/x", "", "host", "80", "", "?q=/x"},
      // A "?" before what looks like a scheme separator leaves no host.
      {"a?b://c", "a?b", "", "", "", "?b://c"},
  };
  for (const Case& c : cases) {
    Uri u = Uri::parse(c.text);
    EXPECT_EQ(u.protocol, c.protocol) << c.text;
    EXPECT_EQ(u.host, c.host) << c.text;
    EXPECT_EQ(u.port, c.port) << c.text;
    EXPECT_EQ(u.path, c.path) << c.text;
    EXPECT_EQ(u.query, c.query) << c.text;
  }
}
