#pragma once

// The damaged-model check: OpenCV's ONNX importer trusts the graph it reads, and
// some damaged models crash the process inside it, past what the wire-format
// reader can see. So every model is first imported by a fresh checker program
// (tamrin-mobile-check, beside this library), where a crash ends only the checker.
// The checker is started with posix_spawn, never as a forked copy of this
// process: a copy of a threaded process inherits the locks other threads hold
// (OpenCV's layer registry, the allocator's) and can block on them for good.

#include <cstddef>
#include <string>

namespace tamrin_mobile {
namespace detail {

enum class CheckVerdict {
  kLoads,        // the checker imported the model
  kRefused,      // the importer refused it, or (*why says which) crashed on it or ran past the time bound
  kUnavailable,  // no checker could be run (*why says what); nothing is known
};

// Thread-safe; independent of SIGCHLD's disposition and of who reaps children.
CheckVerdict check_model(const void* bytes, size_t size, std::string* why);

// The checker's path: kCheckerName in the folder of the loaded libtamrin-mobile.so.
std::string checker_path();

}  // namespace detail
}  // namespace tamrin_mobile
