#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "norvane/edge_controller.h"
#include "norvane/edge_controller_impl.h"
#include "norvane/globals.h"
#include "norvane/log.h"
#include "norvane/utils.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/test_home.h"

namespace {

const std::string& g_home = norvane_test::process_home();

const char kBanner[] = "Orvath Quillet/Norvane Linux Development Kit 0.5.2(Build generic 20200421) Release";

norvane::EdgeControllerImpl* controller() { return norvane::EdgeControllerImpl::global(); }

// Creates the controller before a test captures records, so that start-up
// records never mix with the test's own.
class Controller : public ::testing::Test {
 protected:
  Controller() { controller(); }
  ~Controller() override { controller()->set_log_config(norvane::EdgeLogConfig()); }
};

}  // namespace

// First in the file: the banner can only be seen by the test that creates the controller.
TEST(ControllerStart, CreatedOnceWithBannerUnderDefaultLogSettings) {
  norvane_test::LogCapture cap;
  norvane::EdgeController* first = norvane::global_controller();
  norvane::EdgeController* second = norvane::global_controller();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first, controller());
  EXPECT_EQ(cap.count(el::Level::Info, kBanner), 1);
  EXPECT_EQ(controller()->init(), 0);  // a second init does nothing
  EXPECT_EQ(cap.count(el::Level::Info, kBanner), 1);

  el::Logger* logger = el::Loggers::getLogger(NV_LOGGER_ID, false);
  ASSERT_NE(logger, nullptr);
  el::base::TypedConfigurations* conf = logger->typedConfigurations();
  EXPECT_FALSE(conf->enabled(el::Level::Debug));
  EXPECT_TRUE(conf->enabled(el::Level::Info));
  EXPECT_TRUE(conf->enabled(el::Level::Warning));
  EXPECT_FALSE(conf->toFile(el::Level::Info));
  EXPECT_TRUE(conf->toStandardOutput(el::Level::Info));
  EXPECT_EQ(conf->logFormat(el::Level::Info).userFormat(), "%datetime %level [%logger] %thread %msg");
}

TEST_F(Controller, StartUpCountsOneLaunchAndUsesTheLocalFolder) {
  controller();
  EXPECT_EQ(norvane::Utils::get_sdk_local_folder(), g_home + "/" + norvane::g_SDK_LOCAL_FOLDER);
  norvane::Stat::StrIntMap launch;
  norvane::Stat::ModelInvokeMap invoke;
  norvane::Stat::json_to_stat_data(controller()->stat().stat_data_to_json(), launch, invoke);
  EXPECT_EQ(launch.at(norvane::utils::get_time("%Y-%m-%d")), 1);
}

TEST_F(Controller, InfoSwitchedOffStillWritesErrors) {
  norvane::EdgeLogConfig config;
  config.enable_info = false;
  EXPECT_EQ(controller()->set_log_config(config), 0);
  norvane_test::LogCapture cap;
  NV_LOG(INFO) << "quiet info record";
  NV_LOG(ERROR) << "loud error record";
  EXPECT_EQ(cap.count(el::Level::Info, "quiet info record"), 0);
  EXPECT_EQ(cap.count(el::Level::Error, "loud error record"), 1);
}

TEST_F(Controller, LogToFileWritesBothFileAndStandardOutput) {
  norvane_test::TempDir dir;
  norvane::EdgeLogConfig config;
  config.log_to_file = true;
  config.log_file_name = dir.file("app.log");
  controller()->set_log_config(config);

  testing::internal::CaptureStdout();
  NV_LOG(WARNING) << "record for file and screen";
  std::cout.flush();
  std::string out = testing::internal::GetCapturedStdout();
  el::Loggers::flushAll();
  controller()->set_log_config(norvane::EdgeLogConfig());  // closes the file before the folder goes

  EXPECT_THAT(out, testing::HasSubstr("record for file and screen"));
  std::string file = norvane::utils::read_file_binary(dir.file("app.log"));
  EXPECT_THAT(file, testing::HasSubstr("WARNING [Norvane]"));
  EXPECT_THAT(file, testing::HasSubstr("record for file and screen"));
}

// Regression: the default settings named "norvane.log" for every level, and the
// logging library created that file empty in the working directory although
// nothing was to be written to a file.
TEST_F(Controller, NoLogFileAppearsWhileFileOutputIsOff) {
  norvane_test::TempDir dir;
  norvane::EdgeLogConfig config;
  config.log_file_name = dir.file("unwanted.log");
  controller()->set_log_config(config);
  NV_LOG(WARNING) << "record for the screen only";
  el::Loggers::flushAll();
  EXPECT_FALSE(std::filesystem::exists(dir.file("unwanted.log")));
}

TEST_F(Controller, EmptyBundleIdIsReportedAndStored) {
  norvane_test::LogCapture cap;
  EXPECT_EQ(controller()->set_bundle_id(""), 0);
  EXPECT_EQ(cap.count(el::Level::Error, "Invalid bundleId"), 1);
  EXPECT_EQ(controller()->bundle_id(), "");
  EXPECT_EQ(controller()->set_bundle_id("com.example.app"), 0);
  EXPECT_EQ(controller()->bundle_id(), "com.example.app");
}

TEST_F(Controller, UnknownConfigKeyIsOnlyLogged) {
  const int interval = norvane::g_STAT_UPLOAD_TIME_INTERVAL;
  const std::string server = norvane::g_URL_SERVER_HOST;
  norvane_test::LogCapture cap;
  EXPECT_EQ(controller()->set_config("stat_upload_time_interval", "5"), 0);  // keys are case-sensitive
  ASSERT_EQ(cap.records().size(), 1u);
  EXPECT_EQ(cap.records()[0].level, el::Level::Warning);
  EXPECT_EQ(cap.records()[0].message, "Set config: stat_upload_time_interval, 5");
  EXPECT_EQ(norvane::g_STAT_UPLOAD_TIME_INTERVAL, interval);
  EXPECT_EQ(norvane::g_URL_SERVER_HOST, server);
}

TEST_F(Controller, UploadIntervalIsParsedAndBadValuesReachTheCaller) {
  const int before = norvane::g_STAT_UPLOAD_TIME_INTERVAL;
  EXPECT_EQ(controller()->set_config("STAT_UPLOAD_TIME_INTERVAL", "60"), 0);
  EXPECT_EQ(norvane::g_STAT_UPLOAD_TIME_INTERVAL, 60);

  norvane_test::LogCapture cap;
  EXPECT_THROW(controller()->set_config("STAT_UPLOAD_TIME_INTERVAL", ""), std::invalid_argument);
  EXPECT_THROW(controller()->set_config("STAT_UPLOAD_TIME_INTERVAL", "hourly"), std::invalid_argument);
  EXPECT_THROW(controller()->set_config("STAT_UPLOAD_TIME_INTERVAL", "99999999999"), std::out_of_range);
  EXPECT_EQ(norvane::g_STAT_UPLOAD_TIME_INTERVAL, 60);
  EXPECT_EQ(cap.count(el::Level::Warning, "Set config: STAT_UPLOAD_TIME_INTERVAL, hourly"), 1);
  norvane::g_STAT_UPLOAD_TIME_INTERVAL = before;
}

TEST_F(Controller, ServerAddressMayBeSetEmpty) {
  const std::string before = norvane::g_URL_SERVER_HOST;
  norvane_test::LogCapture cap;
  EXPECT_EQ(controller()->set_config("SERVER_ADDR", ""), 0);
  EXPECT_EQ(norvane::g_URL_SERVER_HOST, "");
  ASSERT_EQ(cap.records().size(), 2u);
  EXPECT_EQ(cap.records()[1].level, el::Level::Warning);
  EXPECT_EQ(cap.records()[1].message, "Server addr was set to ");

  EXPECT_EQ(controller()->set_server_addr("http://127.0.0.1:9"), 0);
  EXPECT_EQ(norvane::g_URL_SERVER_HOST, "http://127.0.0.1:9");
  norvane::g_URL_SERVER_HOST = before;
}

TEST_F(Controller, EdgeHomeMovesTheLocalFolder) {
  norvane_test::TempDir other;
  EXPECT_EQ(controller()->set_config("EDGE_HOME", other.path()), 0);
  EXPECT_EQ(norvane::Utils::get_sdk_local_folder(), other.path() + "/" + norvane::g_SDK_LOCAL_FOLDER);
  EXPECT_TRUE(norvane::utils::folder_exists(other.path() + "/" + norvane::g_SDK_LOCAL_FOLDER));
  controller()->set_config("EDGE_HOME", "");  // back to HOME
  EXPECT_EQ(norvane::Utils::get_sdk_local_folder(), g_home + "/" + norvane::g_SDK_LOCAL_FOLDER);
}
