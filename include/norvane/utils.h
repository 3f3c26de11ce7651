#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "norvane/export.h"

namespace norvane {
namespace utils {

// Files, paths, folders. None of these logs; failures come back as "", false or -1.
NORVANE_API std::string read_file_binary(const std::string& path);
NORVANE_API int read_file_binary(const std::string& path, std::string& out);
NORVANE_API int write_file_binary(const std::string& path, const std::string& data);
NORVANE_API std::vector<std::string> read_file_lines(const std::string& path);
NORVANE_API std::string file_path_join(const std::string& a, const std::string& b);
NORVANE_API bool file_exists(const std::string& path);
NORVANE_API bool folder_exists(const std::string& path);
NORVANE_API int rmfile(const std::string& path);
NORVANE_API int _mkdir(const char* path);
// Creates the folder and its missing parents with mode 0700.
NORVANE_API int mkdir(const std::string& path);
// The variable's value when set (even to ""), else the default.
NORVANE_API std::string env(const std::string& name, const std::string& default_value);

// Strings.
NORVANE_API std::vector<std::string> str_split(const std::string& s, char delim);
template <typename C>
std::string str_join(const C& items, const std::string& sep) {
  std::ostringstream out;
  bool first = true;
  for (const auto& item : items) {
    if (!first) out << sep;
    out << item;
    first = false;
  }
  return out.str();
}
NORVANE_API std::string str_lower(const std::string& s);
NORVANE_API std::string btos(bool b);

// Time.
NORVANE_API int64_t get_timestamp_ms();
NORVANE_API int64_t get_timestamp_ns();
NORVANE_API std::string get_time(const std::string& format);
// Sleeps the whole time, resuming after signals.
NORVANE_API void sleep_ms(long ms);

// Uniform integer in [lo, hi] from a generator owned by the calling thread.
template <typename T>
T rand(const T& lo, const T& hi) {
  thread_local std::mt19937_64 generator(
      static_cast<std::mt19937_64::result_type>(std::chrono::system_clock::now().time_since_epoch().count()));
  std::uniform_int_distribution<T> dist(lo, hi);
  return dist(generator);
}
NORVANE_API unsigned long rand(const unsigned long& lo, const unsigned long& hi);
// "<milliseconds>-<eight digits>".
NORVANE_API std::string generate_uuid1();

}  // namespace utils

class NORVANE_API Utils {
 public:
  // Compare after truncating a * 10^precision and b * 10^precision to integers.
  static bool cmp_lt(float a, float b, int precision);
  static bool cmp_gt(float a, float b, int precision);
  static std::string get_sdk_local_folder();
  static std::string get_sdk_local_folder_model_cache();
  // out = Base64(AES-128-ECB zero-padded(plain)) under the 16-byte key.
  static int aes_b64_encode(const std::string& plain, std::string& out, char* key);
  static void set_sdk_local_folder_home(const std::string& home);
  static void set_if_not_exists(std::map<std::string, std::string>& m, const std::string& key,
                                const std::string& value);
};

// IEEE single <-> half precision.
NORVANE_API uint16_t float2half(uint32_t bits);
NORVANE_API void floattofp16(uint8_t* dst, float* src, uint32_t n);
NORVANE_API void fp16tofloat(float* dst, uint8_t* src, uint32_t n);

}  // namespace norvane
