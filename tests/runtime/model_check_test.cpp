// The damaged-model check: a fresh checker program imports every model first, and
// its verdict must not depend on what the application does with its children.

#include <dlfcn.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "../../platform/tamrin_mobile/src/model_check.h"
#include "runtime/runtime_support.h"
#include "support/temp_dir.h"

extern char** environ;

namespace {

using namespace runtime_test;
using tamrin_mobile::detail::check_model;
using tamrin_mobile::detail::check_model_with;
using tamrin_mobile::detail::CheckVerdict;

// Set for a copy of this program that runs ModelCheck.ChildProcess in one of
// these modes: what a test cannot undo (a seccomp filter, signals to its whole
// process group, the way its libraries were found) happens there.
constexpr const char* kChildVariable = "NORVANE_TEST_MODEL_CHECK_CHILD";
constexpr const char* kNoProcessCreation = "no-process-creation";
constexpr const char* kRelativeLibrary = "relative-library";
constexpr const char* kGroupSignals = "group-signals";

// One changed byte of the example detector on which OpenCV's importer crashes
// (it killed norvane_serving with SIGSEGV during init).
std::string crashing_model() {
  std::string bytes = read_bytes(model_path("red_detector_101"));
  bytes.at(386) = '\x71';
  return bytes;
}

// The same damage behind an exporter name of more than a stdio buffer's worth of
// `L`s: the importer logs the name before it crashes, so with OpenCV's INFO or
// DEBUG log on, a checker whose standard output was the answer said "loads" and the
// model was imported in process (SIGSEGV).
std::string crashing_model_with_chatty_producer() {
  const std::string original = read_bytes(model_path("red_detector_101"));
  const size_t old_length = static_cast<unsigned char>(original.at(3));  // field 2, one-byte length
  const std::string producer(5000, 'L');
  std::string bytes = original.substr(0, 2) + "\x12" + "\x88\x27" + producer + original.substr(4 + old_length);
  bytes.at(386 + bytes.size() - original.size()) = '\x71';
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

std::vector<std::string> take_warnings() {
  std::lock_guard<std::mutex> lock(g_warnings_mutex);
  std::vector<std::string> taken;
  taken.swap(g_warnings);
  return taken;
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
  for (const auto& w : g_warnings) {
    EXPECT_NE(w.find("died importing it"), std::string::npos) << w;
    EXPECT_NE(w.find("\"red_detector\""), std::string::npos) << w;  // names the model
  }
}

namespace {

// Runs this program again, only ModelCheck.ChildProcess in `mode`, with `env`
// added to its environment, in `cwd` and a process group of its own when asked.
void expect_child_passes(const std::string& mode, std::vector<std::string> env_text = {},
                         const char* cwd = nullptr, bool own_group = false) {
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string(*e).rfind("ASAN_OPTIONS=", 0) != 0) env_text.emplace_back(*e);
  }
  env_text.push_back(std::string(kChildVariable) + "=" + mode);
  // The leak checker of the sanitizer build needs a process of its own to run.
  const char* asan = std::getenv("ASAN_OPTIONS");
  env_text.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":detect_leaks=0");
  std::vector<char*> env;
  for (auto& s : env_text) env.push_back(s.data());
  env.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  if (cwd != nullptr) posix_spawn_file_actions_addchdir_np(&actions, cwd);
  posix_spawnattr_setflags(&attr, own_group ? POSIX_SPAWN_SETPGROUP : 0);
  std::string filter = "--gtest_filter=ModelCheck.ChildProcess";
  std::string self = NORVANE_BINARY_DIR "/tests/test_runtime";
  char* argv[] = {self.data(), filter.data(), nullptr};
  pid_t child = -1;
  const int rc = posix_spawn(&child, self.c_str(), &actions, &attr, argv, env.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ASSERT_EQ(rc, 0) << mode;
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child) << mode;
  ASSERT_TRUE(WIFEXITED(status)) << mode << ": signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << mode;
}

void write_program(const std::string& path, const std::string& text, mode_t mode = 0755) {
  std::ofstream(path) << "#!/bin/sh\n" << text << "\n";
  chmod(path.c_str(), mode);
}

// Fork, vfork and clone answer EPERM, as under a process limit: every model loads
// as before the check existed, and each load says so, naming its model.
void child_without_process_creation() {
  ASSERT_TRUE(forbid_process_creation());
  tamrin_mobile::set_warning_sink(&keep_warning);
  EXPECT_NE(load_model("color_classifier"), nullptr);
  EXPECT_NE(load_model("red_detector"), nullptr);
  EXPECT_NE(load_model("color_classifier"), nullptr);
  EXPECT_EQ(load_bytes(unknown_operator_model()), nullptr);  // the importer in process still refuses it
  const std::vector<std::string> warnings = take_warnings();
  ASSERT_EQ(warnings.size(), 4u);
  const char* const named[] = {"\"color_classifier\" (381 bytes", "\"red_detector\" (2637 bytes",
                               "\"color_classifier\" (381 bytes", "\"color_classifier\""};
  for (size_t i = 0; i < warnings.size(); ++i) {
    EXPECT_NE(warnings[i].find(named[i]), std::string::npos) << warnings[i];
    EXPECT_NE(warnings[i].find("without the damaged-model check: cannot start"), std::string::npos) << warnings[i];
  }
}

// Loaded through a relative LD_LIBRARY_PATH, the runtime still finds its own
// checker after the application changed directory, and never runs a program of
// the same relative name under the new one.
void child_with_relative_library() {
  Dl_info info;
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&tamrin_mobile::set_warning_sink), &info), 0);
  const std::string library = info.dli_fname;
  ASSERT_NE(library[0], '/') << "the runtime was not loaded by a relative path";
  norvane_test::TempDir elsewhere;
  std::filesystem::create_directories(elsewhere.file(library.substr(0, library.rfind('/'))));
  write_program(elsewhere.file(library.substr(0, library.rfind('/')) + "/tamrin-mobile-check"), "printf SL >&3");
  for (const std::string& dir : {elsewhere.path(), std::string("/")}) {
    ASSERT_EQ(chdir(dir.c_str()), 0) << dir;
    std::string why;
    EXPECT_EQ(check(crashing_model(), &why), CheckVerdict::kRefused) << dir << ": " << why;
    EXPECT_EQ(check(read_bytes(model_path("red_detector_101"))), CheckVerdict::kLoads) << dir;
  }
}

void ignore(int) {}

// An application that ignores SIGHUP (nohup) and handles SIGINT sends both to its
// own process group while models are checked: no check may end by them.
void child_signalling_its_group() {
  signal(SIGHUP, SIG_IGN);
  signal(SIGINT, ignore);
  std::atomic<bool> stop{false};
  std::thread signaller([&] {
    for (int sent = 0; !stop; ++sent) {
      kill(0, sent % 2 ? SIGHUP : SIGINT);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (int i = 0; i < 5; ++i) {
    std::string why;
    EXPECT_EQ(check(read_bytes(model_path("instance_segmenter")), &why), CheckVerdict::kLoads) << why;
    EXPECT_EQ(check(crashing_model(), &why), CheckVerdict::kRefused) << why;
    EXPECT_NE(why.find("died importing"), std::string::npos) << why;
  }
  stop = true;
  signaller.join();
}

}  // namespace

TEST(ModelCheck, ChildProcess) {
  const char* mode = std::getenv(kChildVariable);
  if (mode == nullptr) GTEST_SKIP() << "runs as a child of the other ModelCheck cases";
  if (std::string(mode) == kNoProcessCreation) child_without_process_creation();
  else if (std::string(mode) == kRelativeLibrary) child_with_relative_library();
  else if (std::string(mode) == kGroupSignals) child_signalling_its_group();
  else FAIL() << "unknown mode " << mode;
}

// Regression: the verdict was read from the checker's standard output, where
// OpenCV logs; an `L` in the log read as "loads" (a damaged model crashed the
// program with SIGSEGV) and a sound model's log without one read as refused.
TEST(ModelCheck, VerdictComesOnlyFromTheCheckersOwnChannel) {
  const char* old_level = std::getenv("OPENCV_LOG_LEVEL");
  const std::string saved = old_level != nullptr ? old_level : "";
  for (const char* level : {"INFO", "DEBUG"}) {
    setenv("OPENCV_LOG_LEVEL", level, 1);  // the checker inherits the environment
    std::string why;
    EXPECT_EQ(check(read_bytes(model_path("instance_segmenter")), &why), CheckVerdict::kLoads) << level << why;
    EXPECT_EQ(check(crashing_model_with_chatty_producer(), &why), CheckVerdict::kRefused) << level;
    EXPECT_NE(why.find("died importing"), std::string::npos) << level << ": " << why;
    EXPECT_EQ(check(unknown_operator_model(), &why), CheckVerdict::kRefused) << level << why;
  }
  if (old_level != nullptr) setenv("OPENCV_LOG_LEVEL", saved.c_str(), 1);
  else unsetenv("OPENCV_LOG_LEVEL");

  // Stand-in checkers: exactly a start byte and one verdict on descriptor 3 is an
  // answer; anything else tells nothing (the check runs once more, then gives
  // up), except a crash after the start, which means damaged.
  const std::vector<std::tuple<const char*, CheckVerdict, int>> cases = {
      {"printf SL >&3", CheckVerdict::kLoads, 1},
      {"printf SR >&3", CheckVerdict::kRefused, 1},
      {"printf SF >&3", CheckVerdict::kRefused, 1},
      {"printf S >&3; kill -SEGV $$", CheckVerdict::kRefused, 1},
      {"printf SL", CheckVerdict::kUnavailable, 2},  // standard output is not the answer
      {"printf SLL >&3", CheckVerdict::kUnavailable, 2},
      {"printf SX >&3", CheckVerdict::kUnavailable, 2},
      {"printf L >&3", CheckVerdict::kUnavailable, 2},
      {"printf S >&3; kill -KILL $$", CheckVerdict::kUnavailable, 2},
      {"printf S >&3; exit 3", CheckVerdict::kUnavailable, 2},
      // Killed once without a verdict, answered the second time.
      {"[ $(wc -l < \"$0.runs\") -gt 1 ] && printf SL >&3 || kill -KILL $$", CheckVerdict::kLoads, 2},
  };
  norvane_test::TempDir dir;
  const std::string bytes = read_bytes(model_path("color_classifier"));
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::string checker = dir.file("checker" + std::to_string(i));
    write_program(checker, std::string("echo run >> \"$0.runs\"\n") + std::get<0>(cases[i]));
    std::string why;
    EXPECT_EQ(check_model_with(checker, bytes.data(), bytes.size(), &why), std::get<1>(cases[i]))
        << std::get<0>(cases[i]) << ": " << why;
    std::ifstream runs(checker + ".runs");
    EXPECT_EQ(std::count(std::istreambuf_iterator<char>(runs), {}, '\n'), std::get<2>(cases[i]))
        << std::get<0>(cases[i]);
  }
}

// Regression: with a relative LD_LIBRARY_PATH the checker's path was relative
// too; after chdir("/") it was not found and a damaged model was imported in
// process (SIGSEGV), and a program of that name under the new directory was
// trusted.
TEST(ModelCheck, CheckerFoundWhateverTheWorkingDirectoryBecomes) {
  expect_child_passes(kRelativeLibrary, {"LD_LIBRARY_PATH=platform/tamrin_mobile"}, NORVANE_BINARY_DIR);
}

// Regression: the checker ran in the application's process group, so an
// application's kill(0, SIGHUP) killed it and a sound model was refused as damaged.
TEST(ModelCheck, GroupSignalsDoNotReachTheChecker) { expect_child_passes(kGroupSignals, {}, nullptr, true); }

// Regression: only the first load without the check said so; every later model
// of the process was loaded unchecked in silence.
TEST(ModelCheck, EveryUncheckedLoadSaysSo) {
  expect_child_passes(kNoProcessCreation);
  norvane_test::TempDir dir;
  const std::string bytes = read_bytes(model_path("color_classifier"));
  write_program(dir.file("not-executable"), "printf SL >&3", 0644);
  for (const std::string& checker : {dir.file("missing"), dir.file("not-executable")}) {
    std::string why;
    EXPECT_EQ(check_model_with(checker, bytes.data(), bytes.size(), &why), CheckVerdict::kUnavailable) << checker;
    EXPECT_NE(why.find("cannot start " + checker), std::string::npos) << why;
  }

  // Out of descriptors for a moment: each load in that moment warns.
  tamrin_mobile::set_warning_sink(&keep_warning);
  ASSERT_NE(load_bytes(bytes), nullptr);  // whatever OpenCV opens once is open
  const std::string detector = read_bytes(model_path("red_detector"));
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = STDERR_FILENO + 1;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  const bool loaded = load_bytes(bytes) != nullptr && load_bytes(detector) != nullptr;
  setrlimit(RLIMIT_NOFILE, &saved);
  tamrin_mobile::set_warning_sink(nullptr);
  EXPECT_TRUE(loaded);
  const std::vector<std::string> warnings = take_warnings();
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_NE(warnings[0].find("\"color_classifier\""), std::string::npos) << warnings[0];
  EXPECT_NE(warnings[1].find("\"red_detector\""), std::string::npos) << warnings[1];
  for (const auto& w : warnings) EXPECT_NE(w.find("Too many open files"), std::string::npos) << w;
}
