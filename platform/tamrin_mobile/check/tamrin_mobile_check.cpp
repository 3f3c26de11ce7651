// tamrin-mobile-check PARENT_PID: imports the ONNX model on standard input with
// OpenCV's importer and answers on kVerdictFd (model_check_protocol.h). Started
// afresh by the runtime for every model it loads, so that an importer crash on
// damaged bytes ends this program instead of the application.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include <opencv2/dnn.hpp>

#include "../src/model_check_protocol.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TAMRIN_CHECK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TAMRIN_CHECK_SANITIZED 1
#endif
#endif
#ifdef TAMRIN_CHECK_SANITIZED
#include <sanitizer/common_interface_defs.h>
#endif

namespace {

using tamrin_mobile::detail::kVerdictFd;

// Set once a verdict is written: the fault handler then adds nothing.
volatile sig_atomic_t g_answered = 0;

// The fault handler's own stack: a damaged graph can crash the importer by
// running this program out of stack.
constexpr size_t kFaultStackBytes = 64 * 1024;
alignas(16) char g_fault_stack[kFaultStackBytes];

bool put(char c) {
  for (;;) {
    if (::write(kVerdictFd, &c, 1) == 1) return true;
    if (errno != EINTR) return false;
  }
}

void answer(char verdict) {
  if (g_answered) return;
  g_answered = 1;
  put(verdict);
}

// A fault of this program's own import (raised by the processor, or by abort()
// here) is the answer "damaged": said on the channel, then the program dies by
// the same signal, so that its exit status says it too. The same signal sent by
// another process says nothing about the model: the program leaves without a
// verdict.
void on_fault(int sig, siginfo_t* info, void*) {
  const bool own = info->si_code > 0 || info->si_pid == ::getpid();
  if (!own) _exit(tamrin_mobile::detail::kExitSignalledAway);
  answer(tamrin_mobile::detail::kCheckFaulted);
  // SA_RESETHAND restored the default action: the signal raised here is taken
  // on return, and a processor fault happens again on the same instruction.
  ::raise(sig);
}

#ifdef TAMRIN_CHECK_SANITIZED
void on_sanitizer_death() { answer(tamrin_mobile::detail::kCheckFaulted); }
#endif

void report_faults() {
#ifdef TAMRIN_CHECK_SANITIZED
  // A sanitizer's report on the importer is the same answer as a crash; its text
  // goes to standard error (/dev/null), not to the application's report files.
  __sanitizer_set_report_path("stderr");
  __sanitizer_set_death_callback(&on_sanitizer_death);
#endif
  stack_t stack = {};
  stack.ss_sp = g_fault_stack;
  stack.ss_size = sizeof(g_fault_stack);
  ::sigaltstack(&stack, nullptr);
  struct sigaction sa = {};
  sa.sa_sigaction = &on_fault;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) ::sigaction(sig, &sa, nullptr);
  const struct rlimit no_core = {0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
}

// The runtime starts this program with every signal but the faults blocked. One
// that is pending now was sent to the application's process group before this
// process had a group of its own: it was never meant for the checker. Setting
// the action to "ignore" discards it; then every signal takes its default again.
void drop_signals_meant_for_the_application() {
  sigset_t pending;
  sigemptyset(&pending);
  ::sigpending(&pending);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP || sigismember(&pending, sig) != 1) continue;
    ::signal(sig, SIG_IGN);
    ::signal(sig, SIG_DFL);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The whole of standard input from its start (the runtime hands over a memory
// file whose offset it shares; a pipe cannot seek and is read as it comes).
bool read_input(std::string* bytes) {
  ::lseek(STDIN_FILENO, 0, SEEK_SET);
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof(buffer));
    if (n == 0) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    bytes->append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (!put(tamrin_mobile::detail::kCheckStarted)) _exit(tamrin_mobile::detail::kExitNoChannel);
  // Nothing the importer might start gets the channel.
  ::fcntl(kVerdictFd, F_SETFD, FD_CLOEXEC);
  // Ends with the thread that waits for it (it waits for the verdict, so only
  // its death comes first); a parent already gone when this runs is caught by
  // the pid check.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (argc > 1 && std::strtol(argv[1], nullptr, 10) != static_cast<long>(getppid())) {
    _exit(tamrin_mobile::detail::kExitOrphaned);
  }
  report_faults();
  drop_signals_meant_for_the_application();

  std::string bytes;
  try {
    if (!read_input(&bytes)) _exit(tamrin_mobile::detail::kExitNoChannel);
  } catch (...) {
    // No room for the bytes (an address-space limit): nothing is known of them,
    // and an uncaught exception's abort would read as a crash of the import.
    _exit(tamrin_mobile::detail::kExitNoChannel);
  }
  bool loaded = false;
  try {
    loaded = !cv::dnn::readNetFromONNX(bytes.data(), bytes.size()).empty();
  } catch (...) {
    loaded = false;  // cv::Exception for a graph it does not accept
  }
  answer(loaded ? tamrin_mobile::detail::kCheckLoaded : tamrin_mobile::detail::kCheckRefused);
  // Nothing more to do: no exit handlers, no leak report of the importer's caches.
  _exit(0);
}
