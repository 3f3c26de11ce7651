#include "norvane/utils/replace_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace norvane {
namespace utils {
namespace {

bool write_all(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = ::write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

constexpr const char* kTempMark = ".tmp.";

// The pid of a temporary name "<file>.tmp.<pid>.<n>", or 0 when name is not one.
long temp_owner(const std::string& name) {
  const size_t mark = name.rfind(kTempMark);
  if (mark == std::string::npos || mark == 0) return 0;
  const size_t pid_start = mark + std::char_traits<char>::length(kTempMark);
  const size_t dot = name.find('.', pid_start);
  if (dot == std::string::npos || dot == pid_start || dot + 1 == name.size()) return 0;
  for (size_t i = pid_start; i < name.size(); ++i)
    if (i != dot && !std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
  if (dot - pid_start > 9) return 0;  // beyond any pid
  return std::strtol(name.c_str() + pid_start, nullptr, 10);
}

// A writer killed between open and rename leaves its temporary behind; nothing
// else would ever remove it. Only files of processes that no longer exist go:
// a live writer's temporary (this process's included) is left alone.
void remove_stale_temporaries(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  const long self = static_cast<long>(::getpid());
  while (struct dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    const long pid = temp_owner(name);
    if (pid <= 0 || pid == self) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    ::unlink((folder + "/" + name).c_str());
  }
  ::closedir(dir);
}

}  // namespace

int replace_file(const std::string& path, const std::string& data) {
  // Unique per process and call, so concurrent writers never share a temporary.
  static std::atomic<unsigned long> serial{0};
  const std::string temp =
      path + ".tmp." + std::to_string(static_cast<long>(::getpid())) + "." + std::to_string(serial.fetch_add(1));
  const size_t slash = path.rfind('/');
  remove_stale_temporaries(slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash)));
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  bool ok = write_all(fd, data.data(), data.size()) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok && std::rename(temp.c_str(), path.c_str()) == 0) return 0;
  ::unlink(temp.c_str());
  return -1;
}

}  // namespace utils
}  // namespace norvane
