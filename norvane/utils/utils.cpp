#include "norvane/utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include "norvane/global.h"
#include "zideredov/zideredov.h"

namespace norvane {
namespace utils {

namespace {

// Longest path utils::mkdir handles; longer ones are cut to 255 characters.
constexpr size_t kMkdirBuffer = 256;
// strftime output buffer of get_time: at most 63 characters.
constexpr size_t kTimeBuffer = 64;
constexpr int64_t kNsPerMs = 1000000;
// Bytes read_file_binary asks for per read call.
constexpr size_t kReadChunk = 65536;

}  // namespace

std::string read_file_binary(const std::string& path) {
  std::string data;
  read_file_binary(path, data);
  return data;
}

int read_file_binary(const std::string& path, std::string& out) {
  // Plain reads rather than a stream: a path that opens but cannot be read (a
  // directory, an I/O error) must come back as -1, and the stream throws then.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  std::string data;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
    data.reserve(static_cast<size_t>(st.st_size));
  char buffer[kReadChunk];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n > 0) {
      data.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      ::close(fd);
      return -1;
    }
  }
  ::close(fd);
  out.swap(data);
  return 0;
}

int write_file_binary(const std::string& path, const std::string& data) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return -1;
  if (!data.empty()) std::fwrite(data.data(), 1, data.size(), f);
  std::fflush(f);
  std::fclose(f);
  return 0;
}

std::vector<std::string> read_file_lines(const std::string& path) {
  // Text and binary mode are the same here; splitting as getline would.
  std::vector<std::string> lines;
  std::string text;
  if (read_file_binary(path, text) != 0) return lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string file_path_join(const std::string& a, const std::string& b) {
  std::string joined;
  joined.reserve(a.size() + 1 + b.size());
  joined.append(a).push_back('/');
  joined.append(b);
  return joined;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool folder_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int rmfile(const std::string& path) { return std::remove(path.c_str()); }

int _mkdir(const char* path) {
  if (::access(path, F_OK) == 0) return 0;
  return ::mkdir(path, 0700);
}

int mkdir(const std::string& path) {
  if (folder_exists(path)) return 0;
  if (file_exists(path)) return -1;
  if (path.empty()) return -1;

  char buffer[kMkdirBuffer];
  std::snprintf(buffer, sizeof(buffer), "%s", path.c_str());
  size_t len = std::strlen(buffer);
  if (len > 0 && buffer[len - 1] == '/') buffer[--len] = '\0';

  // From the second character, so a leading '/' does not ask for the root.
  for (size_t i = 1; i < len; ++i) {
    if (buffer[i] != '/') continue;
    buffer[i] = '\0';
    _mkdir(buffer);
    buffer[i] = '/';
  }
  return _mkdir(buffer);
}

std::string env(const std::string& name, const std::string& default_value) {
  const char* value = std::getenv(name.c_str());
  return value != nullptr ? std::string(value) : default_value;
}

std::vector<std::string> str_split(const std::string& s, char delim) {
  std::vector<std::string> pieces;
  std::istringstream in(s);
  std::string piece;
  while (std::getline(in, piece, delim)) pieces.push_back(piece);
  return pieces;
}

std::string str_lower(const std::string& s) {
  std::string lower(s);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

std::string btos(bool b) { return b ? "true" : "false"; }

int64_t get_timestamp_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int64_t get_timestamp_ms() { return get_timestamp_ns() / kNsPerMs; }

std::string get_time(const std::string& format) {
  std::time_t seconds = static_cast<std::time_t>(get_timestamp_ns() / (kNsPerMs * 1000));
  struct tm local;
  if (localtime_r(&seconds, &local) == nullptr) return std::string();
  char buffer[kTimeBuffer];
  // 0 means the text did not fit (or is empty): either way "" is the answer.
  size_t n = std::strftime(buffer, sizeof(buffer), format.c_str(), &local);
  return std::string(buffer, n);
}

void sleep_ms(long ms) {
  if (ms <= 0) return;
  struct timespec wanted;
  wanted.tv_sec = ms / 1000;
  wanted.tv_nsec = (ms % 1000) * 1000000L;
  struct timespec remaining;
  while (nanosleep(&wanted, &remaining) != 0 && errno == EINTR) wanted = remaining;
}

unsigned long rand(const unsigned long& lo, const unsigned long& hi) {
  thread_local std::mt19937_64 generator(
      static_cast<std::mt19937_64::result_type>(std::chrono::system_clock::now().time_since_epoch().count()));
  std::uniform_int_distribution<unsigned long> dist(lo, hi);
  return dist(generator);
}

std::string generate_uuid1() {
  return std::to_string(get_timestamp_ms()) + "-" + std::to_string(rand<int>(10000000, 99999999));
}

}  // namespace utils

namespace {

// trunc(v * 10^precision); kept as a double so values beyond the 64-bit range
// compare in order instead of overflowing a conversion.
double scaled_trunc(float v, int precision) {
  return std::trunc(static_cast<double>(v) * std::pow(10.0, precision));
}

}  // namespace

bool Utils::cmp_lt(float a, float b, int precision) {
  return scaled_trunc(a, precision) < scaled_trunc(b, precision);
}

bool Utils::cmp_gt(float a, float b, int precision) {
  return scaled_trunc(a, precision) > scaled_trunc(b, precision);
}

std::string Utils::get_sdk_local_folder() {
  std::string folder = zideredov::get_local_folder();
  utils::mkdir(folder);
  return folder;
}

std::string Utils::get_sdk_local_folder_model_cache() {
  std::string folder = utils::file_path_join(get_sdk_local_folder(), "mcache");
  utils::mkdir(folder);
  return folder;
}

int Utils::aes_b64_encode(const std::string& plain, std::string& out, char* key) {
  // The cipher writes the padded length: at most plain.size() + 16 bytes.
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[plain.size() + 16]());
  std::lock_guard<std::mutex> lock(Global::aes_mutex);
  long n = AES128_ECB_encrypt_paddingZero(reinterpret_cast<const unsigned char*>(plain.data()),
                                          static_cast<long>(plain.size()), key, buffer.get());
  // A failure must not leave an earlier body in out to be posted again.
  if (n < 0) {
    out.clear();
    return -1;
  }
  char* text = b64_encode(buffer.get(), n);
  if (text == nullptr) {
    out.clear();
    return -1;
  }
  out.assign(text);
  std::free(text);
  return 0;
}

void Utils::set_sdk_local_folder_home(const std::string& home) { zideredov::set_local_folder_home(home); }

void Utils::set_if_not_exists(std::map<std::string, std::string>& m, const std::string& key,
                              const std::string& value) {
  m.emplace(key, value);
}

uint16_t float2half(uint32_t bits) {
  const uint16_t s = static_cast<uint16_t>((bits >> 16) & 0x8000u);
  const uint32_t e = (bits >> 23) & 0xFFu;
  const uint32_t m = bits & 0x7FFFFFu;

  if (e >= 143) {
    if (e == 255 && m != 0) {
      uint16_t payload = static_cast<uint16_t>(m >> 13);
      return static_cast<uint16_t>(s | 0x7C00u | (payload != 0 ? payload : 1u));  // stays a NaN
    }
    return static_cast<uint16_t>(s | 0x7C00u);
  }
  if (e >= 113) {
    // + 0x1000 rounds half-way away from zero; a carry moves into the exponent.
    return static_cast<uint16_t>(s + ((m + 0x1000u) >> 13) + ((e - 112u) << 10));
  }
  if (e >= 102) {
    return static_cast<uint16_t>(s | ((((m | 0x800000u) >> (113u - e)) + 0x1000u) >> 13));
  }
  return s;
}

void floattofp16(uint8_t* dst, float* src, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t bits;
    std::memcpy(&bits, &src[i], sizeof(bits));
    uint16_t half = float2half(bits);
    std::memcpy(dst + 2 * static_cast<size_t>(i), &half, sizeof(half));
  }
}

void fp16tofloat(float* dst, uint8_t* src, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    uint16_t half;
    std::memcpy(&half, src + 2 * static_cast<size_t>(i), sizeof(half));
    const uint32_t sign = static_cast<uint32_t>(half & 0x8000u) << 16;
    const uint32_t exponent = (half >> 10) & 0x1Fu;
    const uint32_t fraction = half & 0x3FFu;
    uint32_t bits;
    if (exponent == 31) {
      bits = sign | 0x7F800000u | (fraction << 13);
    } else if (exponent != 0) {
      bits = sign | ((exponent + 112u) << 23) | (fraction << 13);
    } else if (fraction != 0) {
      // Subnormal half: fraction * 2^-24, exact in single precision.
      float magnitude = std::ldexp(static_cast<float>(fraction), -24);
      std::memcpy(&bits, &magnitude, sizeof(bits));
      bits |= sign;
    } else {
      bits = sign;
    }
    std::memcpy(&dst[i], &bits, sizeof(bits));
  }
}

}  // namespace norvane
