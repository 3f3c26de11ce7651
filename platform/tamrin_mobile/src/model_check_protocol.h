#pragma once

// What the model checker (check/tamrin_mobile_check.cpp) and the runtime that
// starts it agree on. The checker reads the model bytes on its standard input (a
// memory file, read from offset 0) and answers on a descriptor of its own,
// kVerdictFd, that nothing but its own code writes: its standard output and error
// (where OpenCV logs, and whatever an LD_PRELOAD library prints) go to /dev/null.
//
// The answer is exactly kCheckStarted, then one verdict byte, then the end of the
// stream. Anything else (no start, extra bytes, an unknown byte, a verdict
// without its start) tells nothing about the model.

namespace tamrin_mobile {
namespace detail {

// File name of the checker, in the folder that holds libtamrin-mobile.so.
constexpr const char* kCheckerName = "tamrin-mobile-check";

// The answer's descriptor in the checker: the first one past the standard three.
constexpr int kVerdictFd = 3;

// Written first thing in main: the program was found, linked and runs. A checker
// that ends without it never started.
constexpr char kCheckStarted = 'S';
// The verdicts: the import gave a network, the importer refused the bytes, or
// the import faulted (written by the checker's fault handler as it dies).
constexpr char kCheckLoaded = 'L';
constexpr char kCheckRefused = 'R';
constexpr char kCheckFaulted = 'F';

// Exit statuses of a checker that gives no verdict (the runtime reads only the
// bytes and whether it died by a fault; these help whoever reads a trace).
constexpr int kExitNoChannel = 1;       // no verdict descriptor, or input unreadable
constexpr int kExitOrphaned = 2;        // its starter was gone before it ran
constexpr int kExitSignalledAway = 3;   // a fault signal sent by another process

}  // namespace detail
}  // namespace tamrin_mobile
