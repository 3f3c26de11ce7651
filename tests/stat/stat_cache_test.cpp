#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "norvane/globals.h"
#include "norvane/stat/stat.h"
#include "norvane/utils.h"
#include "stat/stat_test_support.h"
#include "stat/usage_server.h"
#include "support/log_capture.h"

using norvane::Stat;
using norvane_test::Counts;
using norvane_test::StatTest;
using norvane_test::UsageServer;

namespace {

std::string read_file(const std::string& path) { return norvane::utils::read_file_binary(path); }

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Today's count of one model in a statistics text.
int64_t counted_today(const Counts& c, int64_t model_id, int64_t release_id) {
  const auto model = c.models.find({model_id, release_id});
  if (model == c.models.end()) return 0;
  const auto day = model->second.find(norvane_test::today());
  return day == model->second.end() ? 0 : day->second;
}

// Today's counts of one model in all that the usage server was sent.
int64_t posted_today(UsageServer& server, int64_t model_id, int64_t release_id) {
  int64_t posted = 0;
  for (const auto& request : server.requests()) {
    const std::string text = norvane_test::decipher_upload_body(request.body).value_or("");
    posted += counted_today(norvane_test::counts_of_json(text), model_id, release_id);
  }
  return posted;
}

}  // namespace

using StatCache = StatTest;

// Regression (the number beyond double): picojson's std::overflow_error left
// Stat::init and ended every start of the library (exit 134) until the file was
// removed.
TEST_F(StatCache, StartWithoutAUsableFileStartsEmpty) {
  struct Case {
    const char* name;
    const char* text;  // nullptr: no file
    el::Level level;
    const char* record;
  };
  const std::vector<Case> cases = {
      {"no file", nullptr, el::Level::Info, "Stat data parse finished(-1)"},
      {"empty file", "", el::Level::Info, "Stat data parse finished(-1)"},
      {"number beyond double", R"({"data":{"modelInvoke":[],"sdkLaunch":{"2026-12-09":1e999}}})", el::Level::Debug,
       "Illegal stat data, ignore."},
      {"bare number beyond double", "3E333", el::Level::Debug, "Illegal stat data, ignore."},
  };
  norvane::g_URL_SERVER_HOST = "http://127.0.0.1:" + std::to_string(norvane_test::closed_loopback_port());
  for (const Case& c : cases) {
    std::filesystem::remove(cache_path());
    if (c.text != nullptr) {
      norvane::utils::mkdir(local_folder());
      std::ofstream(cache_path()) << c.text;
    }
    norvane_test::LogCapture cap;
    Stat stat;
    EXPECT_EQ(stat.init(), 0) << c.name;
    EXPECT_EQ(cap.count(c.level, c.record), 1) << c.name;
    EXPECT_EQ(norvane_test::counts_of(stat), Counts()) << c.name;
  }
}

TEST_F(StatCache, TwoStartsOnTheSameDayCountTwoLaunches) {
  const std::string d = norvane_test::today();
  {
    Stat first;
    first.load_stat_data();
    first.do_sdk_launch();
    first.do_model_invoke(3, 4);
  }  // the destructor's save carries the counts to the second "process"
  Stat second;
  second.load_stat_data();
  second.do_sdk_launch();
  second.do_model_invoke(3, 4);
  ASSERT_EQ(second.save_stat_data(true), 0);
  Counts c = norvane_test::counts_of_json(read_file(cache_path()));
  EXPECT_EQ(c.launches.at(d), 2);
  EXPECT_EQ(c.models.at({3, 4}).at(d), 2);
}

// Regression: a count at the largest value in an edited file overflowed
// (undefined behaviour) on the next launch.
TEST_F(StatCache, CountFromTheFileStopsAtTheLargestValue) {
  const std::string d = norvane_test::today();
  norvane::utils::mkdir(local_folder());
  std::ofstream(cache_path()) << R"({"data": {"modelInvoke": [{"data": {")" << d
                              << R"(": 9223372036854775807}, "modelId": 1, "releaseId": 2}], "sdkLaunch": {")" << d
                              << R"(": 9223372036854775807}}})";
  Stat stat;
  stat.load_stat_data();
  stat.do_sdk_launch();
  stat.do_model_invoke(1, 2);
  ASSERT_EQ(stat.save_stat_data(true), 0);
  Counts c = norvane_test::counts_of_json(read_file(cache_path()));
  EXPECT_EQ(c.launches.at(d), INT64_MAX);
  EXPECT_EQ(c.models.at({1, 2}).at(d), INT64_MAX);
}

TEST_F(StatCache, SaveReplacesTheFileWholeAndLeavesNothingBeside) {
  Stat stat;
  stat.do_sdk_launch();
  ASSERT_EQ(stat.save_stat_data(true), 0);
  stat.do_model_invoke(1, 2);
  ASSERT_EQ(stat.save_stat_data(false), 0);
  Counts both;
  both.launches[norvane_test::today()] = 1;
  both.models[{1, 2}][norvane_test::today()] = 1;
  EXPECT_EQ(norvane_test::counts_of_json(read_file(cache_path())), both);
  EXPECT_EQ(norvane_test::counts_of(stat), Counts());  // all of it in the file now

  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(local_folder())) {
    EXPECT_EQ(e.path().filename().string(), norvane::g_FILENAME_STAT);
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

TEST_F(StatCache, SaveReportsAFolderThatCannotBeCreated) {
  std::ofstream(home.path() + "/.orvath") << "a file where the folder should be";
  Stat stat;
  stat.do_sdk_launch();
  EXPECT_EQ(stat.save_stat_data(true), -1);
  stat.do_model_invoke(1, 1);  // the lock was released
  EXPECT_EQ(norvane_test::counts_of(stat).models.size(), 1u);
}

// Regression: the save used to truncate the file and write it again, so a
// process killed in between left a cache that no later start could read.
TEST_F(StatCache, ProcessKilledWhileSavingNeverLeavesAnUnreadableFile) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(12);
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> delay_us(0, 4000);
  int kills = 0;
  for (; kills < 300 && std::chrono::steady_clock::now() < deadline; ++kills) {
    std::filesystem::remove(cache_path());  // each child's 300 models alone
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Child: a large statistics text, saved over and over until killed.
      Stat stat;
      stat.do_sdk_launch();
      for (int m = 1; m <= 300; ++m) stat.do_model_invoke(m, kills);
      for (;;) stat.save_stat_data(true);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(rng)));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);

    if (!norvane::utils::file_exists(cache_path())) continue;  // killed before its first save
    std::string text = read_file(cache_path());
    norvane_test::LogCapture cap;
    Stat::StrIntMap launch;
    Stat::ModelInvokeMap invoke;
    ASSERT_EQ(Stat::json_to_stat_data(text, launch, invoke), 0) << "after kill " << kills << ":\n" << text;
    ASSERT_EQ(cap.count(el::Level::Debug, "Illegal stat data"), 0) << "after kill " << kills;
    ASSERT_EQ(invoke.size(), 300u);
  }
  EXPECT_GE(kills, 50);
}

TEST_F(StatCache, SaveTimerWritesTheFilePeriodically) {
  norvane::g_STAT_SAVE_TIME_INTERVAL = 1;
  norvane::g_URL_SERVER_HOST = "http://127.0.0.1:" + std::to_string(norvane_test::closed_loopback_port());
  Stat stat;
  stat.init();
  stat.do_sdk_launch();
  EXPECT_TRUE(wait_until([&]() { return norvane_test::counts_of_json(read_file(cache_path())).launches.size() == 1; },
                         std::chrono::seconds(5)));
}

// Regression: timer jobs held a bare pointer to the Stat, so a job that woke
// after the Stat was destroyed wrote the file from freed memory.
TEST_F(StatCache, JobsNeverRunForADestroyedStat) {
  norvane::g_STAT_SAVE_TIME_INTERVAL = 1;
  norvane::g_URL_SERVER_HOST = "http://127.0.0.1:" + std::to_string(norvane_test::closed_loopback_port());
  auto stat = std::make_unique<Stat>();
  stat->init();
  stat->do_sdk_launch();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stat.reset();
  ASSERT_TRUE(norvane::utils::file_exists(cache_path()));  // the final save
  std::filesystem::remove(cache_path());
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));  // two save periods
  EXPECT_FALSE(norvane::utils::file_exists(cache_path()));
}

// Regression: the destructor's final save raced an upload under way on a timer
// thread, which then cleared and saved the maps of a destroyed object.
TEST_F(StatCache, DestructionWaitsForAnUploadUnderWay) {
  UsageServer server;
  server.set_delay_ms(700);
  norvane::g_URL_SERVER_HOST = server.url();
  norvane::g_STAT_UPLOAD_TIME_INTERVAL = 1;
  auto stat = std::make_unique<Stat>();
  stat->init();
  stat->do_sdk_launch();
  ASSERT_TRUE(server.wait_for_requests(1, std::chrono::seconds(5)));
  stat.reset();
  EXPECT_EQ(server.answered(), 1);  // the reply had come before the destructor returned
  EXPECT_EQ(norvane_test::counts_of_json(read_file(cache_path())), Counts());  // accepted, then saved empty
}

// Regression: an upload period whose milliseconds do not fit 32 bits wrapped to
// a negative pause, and the statistics were uploaded with no pause at all.
TEST_F(StatCache, HugeUploadPeriodIsClampedNotWrapped) {
  UsageServer server;
  norvane::g_URL_SERVER_HOST = server.url();
  norvane::g_STAT_UPLOAD_TIME_INTERVAL = INT_MAX / 1000 + 1;
  Stat stat;
  stat.init();
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the first upload is due at 5 s
  EXPECT_EQ(server.requests().size(), 0u);
}

// Regression: the upload held the statistics lock across its exchange, so every
// inference meanwhile waited 50 ms and then went uncounted ("Failed to get mtx").
TEST_F(StatCache, InferenceDuringAnUploadIsCountedWithoutWaiting) {
  UsageServer server;
  server.set_status(500);
  server.set_delay_ms(500);
  norvane::g_URL_SERVER_HOST = server.url();
  Stat stat;
  stat.do_model_invoke(1, 1);

  std::thread upload([&]() { stat.upload_stat_data(); });
  ASSERT_TRUE(server.wait_for_requests(1, std::chrono::seconds(5)));
  norvane_test::LogCapture cap;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) stat.do_model_invoke(1, 1);
  auto took = std::chrono::steady_clock::now() - start;
  const bool answered = server.answered() > 0;
  upload.join();

  EXPECT_FALSE(answered);  // all 20 were counted while the exchange was still under way
  EXPECT_LT(took, std::chrono::milliseconds(250));  // the old wait alone was 20 x 50 ms
  EXPECT_EQ(cap.count(el::Level::Debug, "Failed to get mtx"), 0);
  EXPECT_EQ(norvane_test::counts_of(stat).models.at({1, 1}).at(norvane_test::today()), 21);
}

// Regression: a cache path that opens but cannot be read (a directory) threw out
// of the start-up load, which ended norvane_serving (exit 134).
TEST_F(StatCache, UnreadableCacheReadsAsEmptyAndTheFailedSaveIsLogged) {
  ASSERT_EQ(norvane::utils::mkdir(cache_path()), 0);
  Stat stat;
  EXPECT_NO_THROW(stat.load_stat_data());
  EXPECT_EQ(norvane_test::counts_of(stat), Counts());
  stat.do_sdk_launch();
  norvane_test::LogCapture cap;
  EXPECT_EQ(stat.save_stat_data(true), -1);
  EXPECT_EQ(cap.count(el::Level::Error, "Failed to save stat data to " + cache_path()), 1);
  EXPECT_EQ(norvane_test::counts_of(stat).launches.at(norvane_test::today()), 1);  // kept for the next save
}

// Saves and uploads copy the counts under the lock and do their file and
// network work after releasing it: every inference is counted, and what the
// accepted uploads carried plus what the last save holds is every count, each
// once.
TEST_F(StatCache, CountsDuringSavesAndUploadsAreNeitherLostNorPostedTwice) {
  UsageServer server;
  server.set_delay_ms(20);
  norvane::g_URL_SERVER_HOST = server.url();
  Stat stat;
  std::atomic<bool> busy{true};
  std::thread saver([&]() {
    while (busy) stat.save_stat_data(true);
  });
  std::thread uploader([&]() {
    while (busy) stat.upload_stat_data();
  });
  // Counting goes on until several uploads have been accepted.
  std::atomic<int64_t> counted{0};
  std::vector<std::thread> counters;
  for (int t = 0; t < 2; ++t)
    counters.emplace_back([&]() {
      while (server.answered() < 5) {
        stat.do_model_invoke(5, 6);
        counted.fetch_add(1);
      }
    });
  for (std::thread& t : counters) t.join();
  busy = false;
  saver.join();
  uploader.join();
  stat.final_save();

  const int64_t posted = posted_today(server, 5, 6);
  const int64_t kept = counted_today(norvane_test::counts_of_json(read_file(cache_path())), 5, 6);
  EXPECT_GT(posted, 0);
  EXPECT_EQ(posted + kept, counted.load());
}

// Regression: every save wrote the process's whole map over the file, so of two
// processes in one folder the last writer won: a forked child's counts were lost
// (3,980 of 3,980), or the parent's when the child ended last. Each save now
// adds its counts to the file under the folder's lock, and each upload posts and
// clears the file under it: processes saving and uploading at once lose no count
// and post none twice.
TEST_F(StatCache, ProcessesSharingTheFolderLoseNoCountAndPostNoneTwice) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer ends a child of a threaded fork that starts threads (the upload's name lookup)";
#elif defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer's allocator takes no lock around fork here: a child blocks in malloc when the "
                  "usage server's thread held the allocator's lock";
#endif
  UsageServer server;
  server.set_delay_ms(20);
  norvane::g_URL_SERVER_HOST = server.url();
  constexpr int kProcesses = 3;
  constexpr int64_t kCountsEach = 3000;
  std::vector<pid_t> children;
  int go[2];  // all are forked before any counts: the server's thread is idle then
  ASSERT_EQ(pipe(go), 0);
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(go[1]);
      char byte;
      if (read(go[0], &byte, 1) != 0) std::_Exit(2);
      {
        Stat stat;
        for (int64_t i = 1; i <= kCountsEach; ++i) {
          stat.do_model_invoke(5, 6);
          if (i % 100 == 0) stat.save_stat_data(true);
          if (i % 700 == 0) stat.upload_stat_data();
        }
      }  // the final save
      std::_Exit(0);
    }
    children.push_back(pid);
  }
  close(go[0]);
  close(go[1]);
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  const int64_t posted = posted_today(server, 5, 6);
  const int64_t kept = counted_today(norvane_test::counts_of_json(read_file(cache_path())), 5, 6);
  EXPECT_GT(posted, 0);
  EXPECT_EQ(posted + kept, kProcesses * kCountsEach);
}

// A process stopped while it held the folder's lock holds up the others' saves
// for a bounded time only; the counts wait in memory for the next save.
TEST_F(StatCache, FolderHeldTooLongKeepsTheCountsForTheNextSave) {
  Stat stat;
  stat.do_model_invoke(1, 2);
  norvane::utils::mkdir(local_folder());
  const int held = ::open(local_folder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);  // another descriptor: as another process
  norvane_test::LogCapture cap;
  EXPECT_EQ(stat.save_stat_data(true), -1);
  EXPECT_EQ(cap.count(el::Level::Warning, "Statistics folder " + local_folder() + " is held by another process"), 1);
  ::close(held);
  EXPECT_EQ(stat.save_stat_data(true), 0);
  EXPECT_EQ(norvane_test::counts_of_json(read_file(cache_path())).models.at({1, 2}).at(norvane_test::today()), 1);
}

// Regression: at exit the controller (and with it the Stat) was destroyed while
// other threads still inferred, and they crashed in the count. Now the final
// save writes everything, after which counting does nothing.
TEST_F(StatCache, CountingAfterTheFinalSaveIsANoOp) {
  norvane::g_STAT_SAVE_TIME_INTERVAL = 1;
  norvane::set_url_server_host("http://127.0.0.1:" + std::to_string(norvane_test::closed_loopback_port()));
  auto stat = std::make_unique<Stat>();
  stat->init();
  stat->do_sdk_launch();
  stat->do_model_invoke(1, 2);
  stat->final_save();
  Counts expected;
  expected.launches[norvane_test::today()] = 1;
  expected.models[{1, 2}][norvane_test::today()] = 1;
  EXPECT_EQ(norvane_test::counts_of_json(read_file(cache_path())), expected);

  std::filesystem::remove(cache_path());
  norvane_test::LogCapture cap;
  stat->do_sdk_launch();
  stat->do_model_invoke(1, 2);
  EXPECT_EQ(stat->upload_stat_data(), 0);
  EXPECT_EQ(norvane_test::counts_of(*stat), Counts());
  EXPECT_TRUE(cap.records().empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // a save period: the timers are stopped
  stat.reset();  // the final save does not run twice
  EXPECT_FALSE(norvane::utils::file_exists(cache_path()));
}
