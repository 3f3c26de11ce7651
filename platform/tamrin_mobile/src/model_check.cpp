#include "model_check.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

#include "model_check_protocol.h"

extern char** environ;

namespace tamrin_mobile {
namespace detail {

namespace {

using Clock = std::chrono::steady_clock;

// The time bound of one check. A fresh checker shares no lock with this process,
// so only its start and the import itself take time: milliseconds for the example
// models. A checker that has started but not answered by then is stuck in the
// importer on these bytes, and the same import would hold init here just as long
// (without end, for an importer caught in a loop): the model is refused. The
// bound grows with the model so that a large sound model on a slow device still
// passes. One that has not even started by then tells nothing about the model.
constexpr std::chrono::milliseconds kCheckBound{10000};
constexpr uint64_t kBytesPerExtraSecond = uint64_t{1} << 20;  // a further second per MiB
// A checker that has answered or died is gone at once; one still there after this
// is left to whoever reaps children (a zombie at worst, never a wait without end).
constexpr std::chrono::milliseconds kReapWait{2000};
constexpr int kPollMs = 10;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

std::string failure(const std::string& what, int err) { return what + ": " + std::strerror(err); }

// Moves fd to a number above standard error, close-on-exec: the checker's dup2
// onto 0 and 1 then never meets the descriptor itself (an application may have
// closed its standard streams), which would leave it close-on-exec.
bool above_stdio(Fd* fd) {
  if (fd->get() > STDERR_FILENO) return true;
  const int moved = ::fcntl(fd->get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) return false;
  fd->reset(moved);
  return true;
}

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// 0 or an errno value. The checker gets the model file on standard input, the
// verdict pipe on standard output, /dev/null for the importer's messages, no
// other descriptor, an empty signal mask and every signal at its default (an
// application's ignored SIGPIPE or SIGCHLD is not the checker's).
int spawn_checker(const std::string& path, int model_fd, int verdict_fd, pid_t* pid) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&actions) != 0) return ENOMEM;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return ENOMEM;
  }
  posix_spawn_file_actions_adddup2(&actions, model_fd, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, verdict_fd, STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  char parent[24];
  std::snprintf(parent, sizeof(parent), "%ld", static_cast<long>(::getpid()));
  char* argv[] = {const_cast<char*>(path.c_str()), parent, nullptr};
  const int rc = posix_spawn(pid, path.c_str(), &actions, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return rc;
}

// True when the checker has ended: reaped here, or already by someone else (an
// application's handler or thread, or the kernel when SIGCHLD is ignored).
bool gone(pid_t pid) {
  int status = 0;
  const pid_t r = ::waitpid(pid, &status, WNOHANG);
  return r == pid || (r < 0 && errno == ECHILD);
}

void reap(pid_t pid) {
  const auto give_up = Clock::now() + kReapWait;
  while (!gone(pid) && Clock::now() < give_up) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Appends what the pipe holds now; *eof once every writer has closed it.
void drain(int fd, std::string* got, bool* eof) {
  char buffer[64];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n > 0) {
      got->append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n == 0) *eof = true;
    if (n < 0 && errno == EINTR) continue;
    return;
  }
}

bool has(const std::string& got, char c) { return got.find(c) != std::string::npos; }

// Reads the checker's bytes until its verdict, its end or the bound. Its end is
// seen through the pipe (end of file) or, when a copy of the pipe lives on in a
// process that another thread forked meanwhile, through waitpid.
CheckVerdict await_verdict(pid_t pid, int fd, size_t size, std::string* why) {
  const auto bound = kCheckBound + std::chrono::seconds(size / kBytesPerExtraSecond);
  const auto deadline = Clock::now() + bound;
  std::string got;
  bool eof = false;
  bool ended = false;
  bool late = false;
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    ::poll(&p, 1, kPollMs);
    drain(fd, &got, &eof);
    if (has(got, kCheckLoaded) || has(got, kCheckRefused) || eof) break;
    if (gone(pid)) {
      ended = true;
      drain(fd, &got, &eof);
      break;
    }
    if (Clock::now() >= deadline) {
      // Still running (it has not been seen gone), so the pid is still the checker's.
      ::kill(pid, SIGKILL);
      late = true;
      break;
    }
  }
  if (!ended) reap(pid);

  if (has(got, kCheckLoaded)) return CheckVerdict::kLoads;
  if (has(got, kCheckRefused)) return CheckVerdict::kRefused;
  const long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(bound).count());
  if (!has(got, kCheckStarted)) {
    *why = late ? "the checker did not start within " + std::to_string(ms) + " ms"
                : "the checker ended before it started (missing libraries?)";
    return CheckVerdict::kUnavailable;
  }
  *why = late ? "The model checker ran past " + std::to_string(ms) + " ms importing the model: refused"
              : "The model checker died importing the model: refused as damaged";
  return CheckVerdict::kRefused;
}

}  // namespace

std::string checker_path() {
  Dl_info info;
  if (::dladdr(reinterpret_cast<void*>(&checker_path), &info) == 0 || info.dli_fname == nullptr) return "";
  const std::string library = info.dli_fname;
  const size_t slash = library.rfind('/');
  return (slash == std::string::npos ? std::string(".") : library.substr(0, slash)) + "/" + kCheckerName;
}

CheckVerdict check_model(const void* bytes, size_t size, std::string* why) {
  const std::string path = checker_path();
  if (path.empty()) {
    *why = "the runtime library's own path is unknown";
    return CheckVerdict::kUnavailable;
  }
  // A memory file, not a pipe: the checker reads at its own pace and nothing here
  // has to feed it while waiting.
  Fd model(::memfd_create("tamrin-model", MFD_CLOEXEC));
  if (model.get() < 0 || !above_stdio(&model)) {
    *why = failure("memfd_create", errno);
    return CheckVerdict::kUnavailable;
  }
  if (!write_all(model.get(), static_cast<const char*>(bytes), size)) {
    *why = failure("writing the model for the checker", errno);
    return CheckVerdict::kUnavailable;
  }
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    *why = failure("pipe", errno);
    return CheckVerdict::kUnavailable;
  }
  Fd reader(ends[0]);
  Fd writer(ends[1]);
  if (!above_stdio(&reader) || !above_stdio(&writer)) {
    *why = failure("fcntl", errno);
    return CheckVerdict::kUnavailable;
  }
  pid_t pid = -1;
  const int rc = spawn_checker(path, model.get(), writer.get(), &pid);
  if (rc != 0) {
    *why = failure("cannot start " + path, rc);
    return CheckVerdict::kUnavailable;
  }
  writer.reset();  // the checker holds the only writer now: its end is our end of file
  model.reset();
  ::fcntl(reader.get(), F_SETFL, ::fcntl(reader.get(), F_GETFL) | O_NONBLOCK);
  return await_verdict(pid, reader.get(), size, why);
}

}  // namespace detail
}  // namespace tamrin_mobile
