#pragma once

// The damaged-model check: OpenCV's ONNX importer trusts the graph it reads, and
// some damaged models crash the process inside it, past what the wire-format
// reader can see. So every model is first imported by a fresh checker program
// (tamrin-mobile-check, beside this library), where a crash ends only the checker.
// The checker is started with posix_spawn, never as a forked copy of this
// process: a copy of a threaded process inherits the locks other threads hold
// (OpenCV's layer registry, the allocator's) and can block on them for good. It
// runs in a process group of its own, so that signals an application sends to its
// group (or a terminal's interrupt) never end it.

#include <cstddef>
#include <string>

namespace tamrin_mobile {
namespace detail {

enum class CheckVerdict {
  kLoads,        // the checker imported the model
  kRefused,      // the importer refused it, or (*why says which) crashed on it or ran past the time bound
  kUnavailable,  // no checker could tell (*why says why); nothing is known about the model
};

// Thread-safe; independent of SIGCHLD's disposition and of who reaps children. A
// checker that ends without an answer (killed by another signal, exited, reaped
// by someone else before its crash could be seen) is run once more; a second
// such end is kUnavailable, and so is one that did not start in time.
CheckVerdict check_model(const void* bytes, size_t size, std::string* why);

// The same with the given checker program in place of checker_path().
CheckVerdict check_model_with(const std::string& checker, const void* bytes, size_t size, std::string* why);

// The checker's absolute path: kCheckerName in the real folder of the loaded
// libtamrin-mobile.so, resolved once as the library loads (a relative library
// path means the working directory of that moment, which an application may
// leave later). Empty when the library's path cannot be found.
const std::string& checker_path();

}  // namespace detail
}  // namespace tamrin_mobile
