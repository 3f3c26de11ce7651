// The damaged-model check: a fresh checker program imports every model first, and
// its verdict must not depend on what the application does with its children.

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../../platform/tamrin_mobile/src/model_check.h"
#include "runtime/runtime_support.h"

extern char** environ;

namespace {

using namespace runtime_test;
using tamrin_mobile::detail::check_model;
using tamrin_mobile::detail::CheckVerdict;

constexpr const char* kNoSpawnVariable = "NORVANE_TEST_NO_PROCESS_CREATION";

// One changed byte of the example detector on which OpenCV's importer crashes
// (it killed norvane_serving with SIGSEGV during init).
std::string crashing_model() {
  std::string bytes = read_bytes(model_path("red_detector_101"));
  bytes.at(386) = '\x71';
  return bytes;
}

// Well-formed protobuf with an operator the importer does not know: refused.
std::string unknown_operator_model() {
  std::string bytes = read_bytes(model_path("color_classifier"));
  bytes.replace(bytes.find("Softmax"), 7, "Softmux");
  return bytes;
}

CheckVerdict check(const std::string& bytes, std::string* why = nullptr) {
  std::string ignored;
  return check_model(bytes.data(), bytes.size(), why != nullptr ? why : &ignored);
}

std::mutex g_warnings_mutex;
std::vector<std::string> g_warnings;
void keep_warning(const char* message) {
  std::lock_guard<std::mutex> lock(g_warnings_mutex);
  g_warnings.push_back(message);
}

void reap_all(int) {
  const int saved = errno;
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  errno = saved;
}

void set_sigchld(void (*handler)(int), int flags) {
  struct sigaction sa = {};
  sa.sa_handler = handler;
  sa.sa_flags = flags;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGCHLD, &sa, nullptr);
}

// fork, vfork and clone without CLONE_THREAD answer EPERM; clone3 answers ENOSYS
// so that the C library falls back to clone. Threads can still be made.
bool forbid_process_creation() {
#if defined(__x86_64__)
  constexpr uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
  constexpr uint32_t kArch = AUDIT_ARCH_AARCH64;
#else
  return false;
#endif
  std::vector<sock_filter> filter = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
#ifdef SYS_clone3
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone3, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
#endif
#ifdef SYS_fork
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_fork, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_vfork, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
#endif
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, CLONE_THREAD, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program = {static_cast<unsigned short>(filter.size()), filter.data()};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

}  // namespace

// Regression: the check forked the process and read the child's exit status, so
// with SIGCHLD ignored (or the child reaped by someone else) it proved nothing and
// the damaged model was imported in process: SIGSEGV.
TEST(ModelCheck, VerdictHoldsWhoeverReapsTheChecker) {
  const std::string good = read_bytes(model_path("red_detector_101"));
  const std::string crashing = crashing_model();
  const std::string refused = unknown_operator_model();
  std::atomic<bool> reaping{false};
  std::thread reaper;
  const std::vector<std::pair<const char*, std::function<void()>>> conditions = {
      {"default", [] {}},
      {"SIGCHLD ignored", [] { signal(SIGCHLD, SIG_IGN); }},
      {"SA_NOCLDWAIT", [] { set_sigchld(SIG_DFL, SA_NOCLDWAIT); }},
      {"handler reaping every child", [] { set_sigchld(reap_all, SA_RESTART); }},
      {"thread reaping every child", [&] {
         reaping = true;
         reaper = std::thread([&] {
           while (reaping) {
             if (waitpid(-1, nullptr, WNOHANG) <= 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
           }
         });
       }},
  };
  for (const auto& condition : conditions) {
    condition.second();
    EXPECT_EQ(check(good), CheckVerdict::kLoads) << condition.first;
    std::string why;
    EXPECT_EQ(check(crashing, &why), CheckVerdict::kRefused) << condition.first;
    EXPECT_NE(why.find("died importing"), std::string::npos) << condition.first << ": " << why;
    EXPECT_EQ(check(refused), CheckVerdict::kRefused) << condition.first;
    EXPECT_EQ(load_bytes(crashing), nullptr) << condition.first;
    reaping = false;
    if (reaper.joinable()) reaper.join();
    set_sigchld(SIG_DFL, 0);
  }
}

// Regression: a forked check inherited a lock that another thread held (OpenCV's
// layer registry, the allocator's), stalled until its 10 s limit and then let the
// model load in process unchecked: a damaged model among them crashed the process.
TEST(ModelCheck, ConcurrentLoadsAllGetAVerdict) {
  tamrin_mobile::set_warning_sink(&keep_warning);
  const std::string good = read_bytes(model_path("instance_segmenter"));
  const std::string crashing = crashing_model();
  auto running = load_bytes(good);
  ASSERT_NE(running, nullptr);
  std::atomic<bool> stop{false};
  std::thread runner([&] {
    const TamrinTensor input = image_tensor(cv::Mat(96, 96, CV_8UC3, cv::Scalar::all(90)), kSegmenterNorm);
    while (!stop) {
      std::vector<TamrinTensor> outputs(1);
      running->Run({input}, &outputs, -1);
    }
  });
  std::atomic<int> wrong{0};
  std::vector<std::thread> loaders;
  for (int t = 0; t < 4; ++t) {
    loaders.emplace_back([&] {
      for (int i = 0; i < 8; ++i) {
        if ((load_bytes(i % 2 ? crashing : good) == nullptr) != (i % 2 == 1)) ++wrong;
      }
    });
  }
  for (auto& t : loaders) t.join();
  stop = true;
  runner.join();
  tamrin_mobile::set_warning_sink(nullptr);
  EXPECT_EQ(wrong, 0);
  // Every crash was seen as one, and no check went without its checker.
  ASSERT_EQ(g_warnings.size(), 16u);
  for (const auto& w : g_warnings) EXPECT_NE(w.find("died importing the model"), std::string::npos) << w;
}

// Runs only as the child of the test below, which cannot undo a seccomp filter.
TEST(ModelCheck, ChildWithoutProcessCreation) {
  if (std::getenv(kNoSpawnVariable) == nullptr) GTEST_SKIP() << "runs as a child of ModelCheck.CheckerThatCannotStart";
  ASSERT_TRUE(forbid_process_creation());
  tamrin_mobile::set_warning_sink(&keep_warning);
  const std::string good = read_bytes(model_path("color_classifier"));
  EXPECT_EQ(check(good), CheckVerdict::kUnavailable);
  // Loaded as before the check existed, with one warning for the process.
  EXPECT_NE(load_bytes(good), nullptr);
  EXPECT_NE(load_bytes(good), nullptr);
  EXPECT_EQ(load_bytes(unknown_operator_model()), nullptr);
  ASSERT_EQ(g_warnings.size(), 1u);
  EXPECT_NE(g_warnings[0].find("cannot start"), std::string::npos) << g_warnings[0];
  EXPECT_NE(g_warnings[0].find("without the damaged-model check"), std::string::npos) << g_warnings[0];
}

TEST(ModelCheck, CheckerThatCannotStartLeavesLoadingAsBefore) {
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string(*e).rfind("ASAN_OPTIONS=", 0) != 0) env_text.emplace_back(*e);
  }
  env_text.push_back(std::string(kNoSpawnVariable) + "=1");
  // The leak checker of the sanitizer build needs a process of its own to run.
  const char* asan = std::getenv("ASAN_OPTIONS");
  env_text.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":detect_leaks=0");
  std::vector<char*> env;
  for (auto& s : env_text) env.push_back(s.data());
  env.push_back(nullptr);
  std::string filter = "--gtest_filter=ModelCheck.ChildWithoutProcessCreation";
  char self[] = "/proc/self/exe";
  char* argv[] = {self, filter.data(), nullptr};
  pid_t child = -1;
  ASSERT_EQ(posix_spawn(&child, self, nullptr, nullptr, argv, env.data()), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
