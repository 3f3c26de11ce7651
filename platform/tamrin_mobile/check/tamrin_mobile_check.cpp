// tamrin-mobile-check PARENT_PID: imports the ONNX model on standard input with
// OpenCV's importer and reports on standard output (model_check_protocol.h).
// Started afresh by the runtime for every model it loads, so that an importer
// crash on damaged bytes ends this program instead of the application. Exit
// status: 0 after a verdict, 1 when the bytes could not be read; the runtime
// reads only the bytes written.

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

// A crash on damaged bytes is this program's expected answer, not a fault to
// report: it just dies. In a sanitizer build the report would otherwise go to
// the log files of the application's run (log_path), as if the run had failed.
void die_quietly_on_faults() {
#ifdef TAMRIN_CHECK_SANITIZED
  __sanitizer_set_report_path("stderr");  // /dev/null here
#endif
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) signal(sig, SIG_DFL);
  const struct rlimit no_core = {0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
}

bool put(char c) {
  for (;;) {
    if (::write(STDOUT_FILENO, &c, 1) == 1) return true;
    if (errno != EINTR) return false;
  }
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
  if (!put(tamrin_mobile::detail::kCheckStarted)) _exit(1);
  // Ends with the thread that waits for it (it waits for the verdict, so only
  // its death comes first); a parent already gone when this runs is caught by
  // the pid check.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (argc > 1 && std::strtol(argv[1], nullptr, 10) != static_cast<long>(getppid())) _exit(1);
  die_quietly_on_faults();

  std::string bytes;
  if (!read_input(&bytes)) _exit(1);
  bool loaded = false;
  try {
    loaded = !cv::dnn::readNetFromONNX(bytes.data(), bytes.size()).empty();
  } catch (...) {
    loaded = false;  // cv::Exception for a graph it does not accept
  }
  put(loaded ? tamrin_mobile::detail::kCheckLoaded : tamrin_mobile::detail::kCheckRefused);
  // Nothing more to do: no exit handlers, no leak report of the importer's caches.
  _exit(0);
}
