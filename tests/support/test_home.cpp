// Linked into every unit-test program: before any test runs, HOME points at a
// scratch folder of this process, so nothing the library writes under the home
// (statistics cache, model cache, stores) reaches the real one.

#include "support/test_home.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace norvane_test {
namespace {

// The controller lives until process exit and saves its statistics then, so the
// folder must outlive every test. Its removal is registered with atexit before
// the controller can exist, so it runs after the controller's final save (also
// for quick_exit). The path is a never-freed heap string: static objects are gone
// by then.
const std::string* g_home_path = nullptr;

void remove_process_home() {
  std::error_code ec;
  std::filesystem::remove_all(*g_home_path, ec);
}

}  // namespace

const std::string& process_home() {
  if (g_home_path == nullptr) {
    std::string pattern = (std::filesystem::temp_directory_path() / "norvane-home-XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    g_home_path = new std::string(made ? made : "");
    setenv("HOME", g_home_path->c_str(), 1);
    unsetenv("HTTP_PROXY");
    unsetenv("http_proxy");
    std::atexit(remove_process_home);
    std::at_quick_exit(remove_process_home);  // the tests of quick_exit end that way
  }
  return *g_home_path;
}

namespace {
const std::string& g_home_at_start = process_home();
}  // namespace

}  // namespace norvane_test
