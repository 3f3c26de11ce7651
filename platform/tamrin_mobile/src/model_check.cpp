#include "model_check.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "model_check_protocol.h"

extern char** environ;

namespace tamrin_mobile {
namespace detail {

namespace {

using Clock = std::chrono::steady_clock;

// The time bounds of one check. A fresh checker shares no lock with this process,
// so only its start and the import itself take time: milliseconds for the example
// models. One that has not even written its start byte within kStartBound tells
// nothing about the model, and is not started again: on a device too busy to
// start it (it waits for CPU time, loading its libraries) a second one would only
// begin anew, and init would wait twice as long. One that has started but not
// answered within kImportBound of its start is stuck in the importer on these
// bytes, and the same import would hold init here just as long (without end, for
// an importer caught in a loop): the model is refused. The import bound counts
// from the start byte, so a checker slow to start loses none of it, and grows
// with the model so that a large sound model on a slow device still passes.
constexpr std::chrono::milliseconds kStartBound{20000};
constexpr std::chrono::milliseconds kImportBound{10000};
constexpr uint64_t kBytesPerExtraSecond = uint64_t{1} << 20;  // a further second per MiB
constexpr std::chrono::milliseconds kReapWait{2000};
constexpr int kPollMs = 10;
// A check that could not tell (its checker ended without an answer) is run once
// more before the checker counts as one that cannot run here.
constexpr int kAttempts = 2;

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

// The answer's first bytes are kept, the rest only counted: two make a verdict.
constexpr size_t kKeptAnswerBytes = 8;

// Moves fd above the numbers the checker's descriptors get (0, 1, 2 and
// kVerdictFd), close-on-exec: the dup2 onto them then never meets the descriptor
// itself (an application may have closed its standard streams).
bool above_reserved(Fd* fd) {
  if (fd->get() > kVerdictFd) return true;
  const int moved = ::fcntl(fd->get(), F_DUPFD_CLOEXEC, kVerdictFd + 1);
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
// answer pipe on kVerdictFd, /dev/null for standard output and error (what the
// importer or a preloaded library prints goes nowhere near the answer), no other
// descriptor, every signal at its default (an application's ignored SIGPIPE or
// SIGCHLD is not the checker's) and a process group of its own (an application's
// kill(0, SIGHUP) or a terminal's SIGINT is not meant for it). It starts with
// every signal but the faults blocked: one sent to the application's group
// before the new process left it waits, and the checker drops it.
int spawn_checker(const std::string& path, int model_fd, int verdict_fd, pid_t* pid) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&actions) != 0) return ENOMEM;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return ENOMEM;
  }
  posix_spawn_file_actions_adddup2(&actions, model_fd, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, verdict_fd, kVerdictFd);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  posix_spawn_file_actions_addclosefrom_np(&actions, kVerdictFd + 1);
#endif
  sigset_t all;
  sigset_t held;
  sigfillset(&all);
  sigfillset(&held);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS}) sigdelset(&held, sig);
  posix_spawnattr_setsigmask(&attr, &held);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

  char parent[24];
  std::snprintf(parent, sizeof(parent), "%ld", static_cast<long>(::getpid()));
  char* argv[] = {const_cast<char*>(path.c_str()), parent, nullptr};
  const int rc = posix_spawn(pid, path.c_str(), &actions, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return rc;
}

// How one run of the checker ended, as far as this process can see it.
struct CheckerEnd {
  std::string kept;       // the answer's first bytes
  size_t answered = 0;    // bytes of answer in all
  bool late = false;      // still running at the bound: killed here
  bool status_known = false;
  int status = 0;         // waitpid's, when status_known
};

enum class Reap { kRunning, kReaped, kReapedElsewhere };

// kReapedElsewhere: an application's handler or thread reaped it, or the kernel
// did (SIGCHLD ignored, SA_NOCLDWAIT); its exit status is lost.
Reap try_reap(pid_t pid, CheckerEnd* end) {
  int status = 0;
  const pid_t r = ::waitpid(pid, &status, WNOHANG);
  if (r == pid) {
    end->status_known = true;
    end->status = status;
    return Reap::kReaped;
  }
  return r < 0 && errno == ECHILD ? Reap::kReapedElsewhere : Reap::kRunning;
}

// A checker whose answer stream has ended is gone at once; one still there after
// kReapWait is left to whoever reaps children (a zombie at worst, never a wait
// without end).
void reap(pid_t pid, CheckerEnd* end) {
  const auto give_up = Clock::now() + kReapWait;
  while (try_reap(pid, end) == Reap::kRunning && Clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Takes what the pipe holds now; *eof once every writer has closed it.
void drain(int fd, CheckerEnd* end, bool* eof) {
  char buffer[64];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n > 0) {
      const size_t got = static_cast<size_t>(n);
      end->kept.append(buffer, std::min(got, kKeptAnswerBytes - end->kept.size()));
      end->answered += got;
      continue;
    }
    if (n == 0) *eof = true;
    if (n < 0 && errno == EINTR) continue;
    return;
  }
}

// Reads the answer until its stream ends or a bound passes. The end is seen
// through the pipe (end of file) or, when a copy of the pipe lives on in a
// process that another thread forked meanwhile, through the checker's own end.
CheckerEnd await_end(pid_t pid, int fd, std::chrono::milliseconds import_bound) {
  auto deadline = Clock::now() + kStartBound;
  CheckerEnd end;
  bool eof = false;
  bool started = false;
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    ::poll(&p, 1, kPollMs);
    drain(fd, &end, &eof);
    if (eof) break;
    if (!started && end.answered > 0) {
      started = true;
      deadline = Clock::now() + import_bound;
    }
    if (try_reap(pid, &end) != Reap::kRunning) {
      drain(fd, &end, &eof);  // all it wrote is in the pipe by now
      return end;
    }
    if (Clock::now() >= deadline) {
      // Not seen gone, so the pid is still the checker's.
      ::kill(pid, SIGKILL);
      end.late = true;
      break;
    }
  }
  reap(pid, &end);
  return end;
}

// The signals an import can raise on its own: its crash on damaged bytes.
bool is_fault(int sig) {
  return sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL || sig == SIGABRT;
}

std::string signal_name(int sig) {
  switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    case SIGKILL: return "SIGKILL";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGINT: return "SIGINT";
    case SIGPIPE: return "SIGPIPE";
    default: return "signal " + std::to_string(sig);
  }
}

std::string how_it_ended(const CheckerEnd& end) {
  if (!end.status_known) return "reaped by another part of the process, its exit status lost";
  if (WIFSIGNALED(end.status)) return "ended by " + signal_name(WTERMSIG(end.status));
  if (WIFEXITED(end.status)) return "exited with status " + std::to_string(WEXITSTATUS(end.status));
  return "ended";
}

enum class Attempt { kLoads, kRefused, kUndecided, kCannotRun };

// The answer is exactly the start byte and one verdict byte; a crash after the
// start, seen in the exit status, is the verdict "damaged" too.
Attempt judge(const CheckerEnd& end, std::chrono::milliseconds import_bound, std::string* why) {
  const bool started = !end.kept.empty() && end.kept[0] == kCheckStarted;
  if (started && end.answered == 2 && !end.late) {
    switch (end.kept[1]) {
      case kCheckLoaded:
        return Attempt::kLoads;
      case kCheckRefused:
        why->clear();  // the importer's plain refusal
        return Attempt::kRefused;
      case kCheckFaulted:
        *why = "the model checker died importing it";
        if (end.status_known && WIFSIGNALED(end.status)) *why += " (" + signal_name(WTERMSIG(end.status)) + ")";
        *why += ": damaged";
        return Attempt::kRefused;
      default:
        break;
    }
  }
  if (started && end.answered == 1) {
    if (end.late) {
      *why = "the model checker ran past " + std::to_string(import_bound.count()) + " ms importing it";
      return Attempt::kRefused;
    }
    if (end.status_known && WIFSIGNALED(end.status) && is_fault(WTERMSIG(end.status))) {
      *why = "the model checker died importing it (" + signal_name(WTERMSIG(end.status)) + "): damaged";
      return Attempt::kRefused;
    }
  }
  if (end.answered == 0 && end.late) {
    *why = "the checker did not start within " + std::to_string(kStartBound.count()) + " ms";
    return Attempt::kCannotRun;
  }
  if (end.answered == 0) {
    *why = "the checker ended before it started, " + how_it_ended(end);
  } else if (started && end.answered == 1) {
    *why = "the checker gave no verdict, " + how_it_ended(end);
  } else {
    *why = "the checker's answer broke the protocol (" + std::to_string(end.answered) + " bytes)";
  }
  return Attempt::kUndecided;
}

std::string resolve_checker_path() {
  Dl_info info;
  if (::dladdr(reinterpret_cast<void*>(&resolve_checker_path), &info) == 0 || info.dli_fname == nullptr) return "";
  char* real = ::realpath(info.dli_fname, nullptr);
  if (real == nullptr) return "";
  const std::string library = real;
  std::free(real);
  return library.substr(0, library.rfind('/')) + "/" + kCheckerName;
}

// As the library loads, before the application can change its directory.
__attribute__((constructor)) void resolve_checker_path_at_load() { checker_path(); }

}  // namespace

const std::string& checker_path() {
  static const std::string path = resolve_checker_path();
  return path;
}

CheckVerdict check_model(const void* bytes, size_t size, std::string* why) {
  return check_model_with(checker_path(), bytes, size, why);
}

CheckVerdict check_model_with(const std::string& checker, const void* bytes, size_t size, std::string* why) {
  if (checker.empty()) {
    *why = "the runtime library's own path is unknown";
    return CheckVerdict::kUnavailable;
  }
  // A memory file, not a pipe: the checker reads at its own pace and nothing here
  // has to feed it while waiting. Each checker reads it from offset 0.
  Fd model(::memfd_create("tamrin-model", MFD_CLOEXEC));
  if (model.get() < 0 || !above_reserved(&model)) {
    *why = failure("memfd_create", errno);
    return CheckVerdict::kUnavailable;
  }
  if (!write_all(model.get(), static_cast<const char*>(bytes), size)) {
    *why = failure("writing the model for the checker", errno);
    return CheckVerdict::kUnavailable;
  }
  const auto import_bound = std::chrono::duration_cast<std::chrono::milliseconds>(
      kImportBound + std::chrono::seconds(size / kBytesPerExtraSecond));
  for (int attempt = 1;; ++attempt) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
      *why = failure("pipe", errno);
      return CheckVerdict::kUnavailable;
    }
    Fd reader(ends[0]);
    Fd writer(ends[1]);
    if (!above_reserved(&reader) || !above_reserved(&writer)) {
      *why = failure("fcntl", errno);
      return CheckVerdict::kUnavailable;
    }
    pid_t pid = -1;
    const int rc = spawn_checker(checker, model.get(), writer.get(), &pid);
    if (rc != 0) {
      *why = failure("cannot start " + checker, rc);
      return CheckVerdict::kUnavailable;
    }
    writer.reset();  // the checker holds the only writer now: its end is our end of file
    ::fcntl(reader.get(), F_SETFL, ::fcntl(reader.get(), F_GETFL) | O_NONBLOCK);
    switch (judge(await_end(pid, reader.get(), import_bound), import_bound, why)) {
      case Attempt::kLoads:
        return CheckVerdict::kLoads;
      case Attempt::kRefused:
        return CheckVerdict::kRefused;
      case Attempt::kCannotRun:
        return CheckVerdict::kUnavailable;
      case Attempt::kUndecided:
        if (attempt < kAttempts) continue;
        *why = std::to_string(kAttempts) + " checks told nothing, the last: " + *why;
        return CheckVerdict::kUnavailable;
    }
  }
}

}  // namespace detail
}  // namespace tamrin_mobile
