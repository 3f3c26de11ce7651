// norvane_encipher_model <type 1|2> <in> <out>
// Enciphers a plain model file the way the library deciphers model files of
// encipherment type 1 or 2. Exit status: 0 done, 1 bad arguments, 2 read, cipher
// or write failure. The output appears whole or not at all (temporary file + rename).

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "norvane/security/keys.h"
#include "norvane/utils.h"
#include "zideredov/zideredov.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitFailure = 2;

int usage() {
  std::fprintf(stderr, "usage: norvane_encipher_model <type 1|2> <in> <out>\n");
  return kExitUsage;
}

bool write_whole(const std::string& path, const unsigned char* data, size_t len) {
  const std::string temp = path + ".tmp." + std::to_string(::getpid());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  while (ok && len > 0) {
    ssize_t n = ::write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      break;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && std::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return usage();
  const std::string type_text = argv[1];
  if (type_text != "1" && type_text != "2") return usage();
  const long type = type_text == "1" ? 1 : 2;

  std::string plain;
  if (norvane::utils::read_file_binary(argv[2], plain) != 0) {
    std::fprintf(stderr, "cannot read %s\n", argv[2]);
    return kExitFailure;
  }
  std::vector<unsigned char> sealed(plain.size() + ZDV_OVERHEAD);
  const std::string key = norvane::keys::model_key(type);
  long n = xor_encrypt_content(reinterpret_cast<const unsigned char*>(plain.data()), static_cast<long>(plain.size()),
                               key.c_str(), sealed.data());
  if (n <= 0) {
    std::fprintf(stderr, "enciphering failed: %ld\n", n);
    return kExitFailure;
  }
  if (!write_whole(argv[3], sealed.data(), static_cast<size_t>(n))) {
    std::fprintf(stderr, "cannot write %s: %s\n", argv[3], std::strerror(errno));
    return kExitFailure;
  }
  return kExitOk;
}
