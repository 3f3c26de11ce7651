#pragma once

// What the model checker (check/tamrin_mobile_check.cpp) and the runtime that
// starts it agree on. The checker reads the model bytes on its standard input (a
// memory file, read from offset 0) and writes single bytes on its standard output.

namespace tamrin_mobile {
namespace detail {

// File name of the checker, in the folder that holds libtamrin-mobile.so.
constexpr const char* kCheckerName = "tamrin-mobile-check";

// Written first thing in main: the program was found, linked and runs. A checker
// that ends without it never started; one that ends after it without a verdict
// died importing the model.
constexpr char kCheckStarted = 'S';
// The verdicts, written after the import: it gave a network, or it refused.
constexpr char kCheckLoaded = 'L';
constexpr char kCheckRefused = 'R';

}  // namespace detail
}  // namespace tamrin_mobile
