#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>

#include "zideredov/zideredov.h"

namespace zideredov {
namespace {

std::mutex g_folder_mutex;
std::string g_home;      // empty: fall back to $HOME, then the password database
std::string g_relative;

std::string default_home() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  struct passwd pw;
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &pw, buffer, sizeof(buffer), &found) == 0 && found != nullptr && found->pw_dir)
    return found->pw_dir;
  return "/tmp";
}

}  // namespace

std::string get_local_folder() {
  std::lock_guard<std::mutex> lock(g_folder_mutex);
  std::string home = g_home.empty() ? default_home() : g_home;
  return home + "/" + g_relative;
}

void set_local_folder_home(const std::string& home) {
  std::lock_guard<std::mutex> lock(g_folder_mutex);
  g_home = home;
}

void set_local_folder_relative(const std::string& relative) {
  std::lock_guard<std::mutex> lock(g_folder_mutex);
  g_relative = relative;
}

}  // namespace zideredov
