#pragma once

// A scratch folder for one test, removed with everything in it afterwards.
// HomeGuard points HOME at such a folder so no test writes into a real home.

#include <cstdlib>
#include <filesystem>
#include <string>

namespace norvane_test {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "norvane-test-XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    path_ = made ? made : "";
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

class HomeGuard {
 public:
  HomeGuard() {
    const char* old = std::getenv("HOME");
    had_home_ = old != nullptr;
    if (had_home_) old_home_ = old;
    setenv("HOME", dir_.path().c_str(), 1);
  }
  ~HomeGuard() {
    if (had_home_) setenv("HOME", old_home_.c_str(), 1);
    else unsetenv("HOME");
  }
  const std::string& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  bool had_home_ = false;
  std::string old_home_;
};

}  // namespace norvane_test
