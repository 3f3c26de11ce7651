#pragma once

#include <string>

namespace norvane_test {

// The scratch HOME of this test process (created on first use, before any test
// runs). No proxy is in force either, so uploads stay on this machine.
const std::string& process_home();

}  // namespace norvane_test
