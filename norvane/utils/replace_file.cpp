#include "norvane/utils/replace_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

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

}  // namespace

int replace_file(const std::string& path, const std::string& data) {
  // Unique per process and call, so concurrent writers never share a temporary.
  static std::atomic<unsigned long> serial{0};
  const std::string temp =
      path + ".tmp." + std::to_string(static_cast<long>(::getpid())) + "." + std::to_string(serial.fetch_add(1));
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
