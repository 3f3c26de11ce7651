#pragma once

// Helpers shared by the statistics tests: reading statistics JSON back into
// counts, deciphering an upload body with OpenSSL (independently of the
// library's cipher layer), and saving/restoring environment variables.

#include <openssl/evp.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <picojson.h>

#include "norvane/security/keys.h"
#include "norvane/stat/stat.h"
#include "norvane/utils.h"

namespace norvane_test {

struct Counts {
  std::map<std::string, int64_t> launches;                                 // date -> count
  std::map<std::pair<int64_t, int64_t>, std::map<std::string, int64_t>> models;  // (model, release) -> date -> count
  bool operator==(const Counts& o) const { return launches == o.launches && models == o.models; }
};

inline Counts counts_of(const norvane::Stat::StrIntMap& launch, const norvane::Stat::ModelInvokeMap& invoke) {
  Counts c;
  for (const auto& kv : launch) c.launches[kv.first] = kv.second;
  for (const auto& entry : invoke) {
    int64_t mrid = entry.first, model = 0, release = 0;
    norvane::Stat::mrid_map(mrid, model, release);
    for (const auto& kv : entry.second) c.models[{model, release}][kv.first] = kv.second;
  }
  return c;
}

// Counts held in a statistics JSON text (which must be complete and well formed).
inline Counts counts_of_json(const std::string& text) {
  norvane::Stat::StrIntMap launch;
  norvane::Stat::ModelInvokeMap invoke;
  norvane::Stat::json_to_stat_data(text, launch, invoke);
  return counts_of(launch, invoke);
}

inline Counts counts_of(norvane::Stat& stat) { return counts_of_json(stat.stat_data_to_json()); }

inline std::string today() { return norvane::utils::get_time("%Y-%m-%d"); }

// Base64 -> AES-128-ECB decipher under the upload key -> zero padding stripped.
inline std::optional<std::string> decipher_upload_body(const std::string& b64) {
  if (b64.size() % 4 != 0) return std::nullopt;
  std::vector<unsigned char> raw(b64.size() / 4 * 3 + 1);
  int n = EVP_DecodeBlock(raw.data(), reinterpret_cast<const unsigned char*>(b64.data()),
                          static_cast<int>(b64.size()));
  if (n < 0) return std::nullopt;
  if (!b64.empty() && b64[b64.size() - 1] == '=') --n;
  if (b64.size() > 1 && b64[b64.size() - 2] == '=') --n;
  if (n % 16 != 0) return std::nullopt;

  std::string key = norvane::keys::upload_key();
  std::vector<unsigned char> plain(static_cast<size_t>(n) + 16);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int len1 = 0, len2 = 0;
  bool ok = EVP_DecryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                               nullptr) == 1 &&
            EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
            EVP_DecryptUpdate(ctx, plain.data(), &len1, raw.data(), n) == 1 &&
            EVP_DecryptFinal_ex(ctx, plain.data() + len1, &len2) == 1;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) return std::nullopt;
  std::string text(reinterpret_cast<const char*>(plain.data()), static_cast<size_t>(len1 + len2));
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

// Sets (or unsets, with nullptr) an environment variable for one scope.
class EnvGuard {
 public:
  EnvGuard(const char* name, const char* value) : _name(name) {
    const char* old = std::getenv(name);
    _had = old != nullptr;
    if (_had) _old = old;
    if (value) setenv(name, value, 1);
    else unsetenv(name);
  }
  ~EnvGuard() {
    if (_had) setenv(_name.c_str(), _old.c_str(), 1);
    else unsetenv(_name.c_str());
  }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  std::string _name;
  bool _had = false;
  std::string _old;
};

// Restores a global setting on scope exit.
template <typename T>
class ValueGuard {
 public:
  explicit ValueGuard(T& ref) : _ref(ref), _old(ref) {}
  ~ValueGuard() { _ref = _old; }
  ValueGuard(const ValueGuard&) = delete;
  ValueGuard& operator=(const ValueGuard&) = delete;

 private:
  T& _ref;
  T _old;
};

}  // namespace norvane_test

#include <gtest/gtest.h>
#include <zideredov/zideredov.h>

#include "norvane/globals.h"
#include "support/temp_dir.h"

namespace norvane_test {

// Every statistics test runs with HOME in a scratch folder, the library's local
// folder layout, no proxy from the surroundings, and the process-wide settings
// put back afterwards.
class StatTest : public ::testing::Test {
 protected:
  StatTest() { zideredov::set_local_folder_relative(norvane::g_SDK_LOCAL_FOLDER); }

  std::string local_folder() const { return home.path() + "/" + norvane::g_SDK_LOCAL_FOLDER; }
  std::string cache_path() const { return local_folder() + "/" + norvane::g_FILENAME_STAT; }

  HomeGuard home;
  EnvGuard upper_proxy{"HTTP_PROXY", nullptr};
  EnvGuard lower_proxy{"http_proxy", nullptr};
  ValueGuard<std::string> server{norvane::g_URL_SERVER_HOST};
  ValueGuard<int> upload_interval{norvane::g_STAT_UPLOAD_TIME_INTERVAL};
  ValueGuard<int> save_interval{norvane::g_STAT_SAVE_TIME_INTERVAL};
};

}  // namespace norvane_test
