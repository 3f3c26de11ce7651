#include "norvane/resource_manager.h"


#include <cstdio>
#include <mutex>

#include "norvane/error_codes.h"
#include "norvane/global.h"
#include "norvane/log.h"
#include "norvane/security/keys.h"
#include "norvane/utils.h"
#include "norvane/utils/replace_file.h"
#include "zideredov/zideredov.h"

namespace norvane {
namespace {

// Room the cipher layer needs beyond the plain length (nonce, tag, header).
constexpr size_t kCipherRoom = 32;
static_assert(kCipherRoom >= static_cast<size_t>(ZDV_OVERHEAD), "store buffers too small for the cipher layer");

}  // namespace

ResourceManager::ResourceManager(long id)
    : _id(id), _folder(utils::file_path_join(Utils::get_sdk_local_folder_model_cache(), std::to_string(id))) {
  utils::mkdir(_folder);
}

ResourceManager::~ResourceManager() {
  for (const auto& path : _temp_files) utils::rmfile(path);
}

int ResourceManager::save_to_file(const std::string& name, const std::string& data, int mode) {
  std::vector<unsigned char> output(data.size() + kCipherRoom, 0);
  std::lock_guard<std::mutex> lock(Global::aes_mutex);  // held over the write as well
  const std::string key = keys::resource_key();
  long n = edge_inner_security_encrypt_v1(reinterpret_cast<const unsigned char*>(data.data()),
                                          static_cast<long>(data.size()), key.c_str(), output.data(), mode);
  if (n < 1) {
    NV_LOG(ERROR) << "Failed to encrypt resource " << n;
    return NV_STORE_ERR_CIPHER;
  }
  const std::string path = utils::file_path_join(_folder, name);
  if (utils::replace_file(path, std::string(reinterpret_cast<const char*>(output.data()), static_cast<size_t>(n))) != 0) {
    NV_LOG(ERROR) << "Failed to write to file " << path;
    return NV_STORE_ERR_WRITE;
  }
  return NV_OK;
}

int ResourceManager::restore_to_str(const std::string& name, std::string& out) {
  std::string data = utils::read_file_binary(utils::file_path_join(_folder, name));
  if (data.empty()) return NV_STORE_ERR_CIPHER;

  // Deciphered into a buffer of our own: out is replaced only by authentic bytes.
  std::string plain(data.size() + kCipherRoom, '\0');
  int reported_mode = 0;
  long n;
  {
    std::lock_guard<std::mutex> lock(Global::aes_mutex);
    const std::string key = keys::resource_key();
    n = edge_inner_security_decrypt_v1(reinterpret_cast<const unsigned char*>(data.data()),
                                       static_cast<long>(data.size()), key.c_str(),
                                       reinterpret_cast<unsigned char*>(&plain[0]), &reported_mode);
  }
  // The cipher layer reports 0 only for an authentic empty text, which is exactly
  // ZDV_OVERHEAD bytes long; an empty saved resource must restore as "".
  const bool empty_resource = n == 0 && data.size() == static_cast<size_t>(ZDV_OVERHEAD);
  if (n < 0 || (n == 0 && !empty_resource)) {
    NV_LOG(ERROR) << "Failed to decrypt resource " << n;
    return NV_STORE_ERR_CIPHER;
  }
  plain.resize(static_cast<size_t>(n));
  out.swap(plain);
  return NV_OK;
}

int ResourceManager::restore_to_temp_file(const std::string& name, std::string& out_path) {
  std::string plain;
  int r = restore_to_str(name, plain);
  if (r != NV_OK) return r;

  const std::string path = utils::file_path_join(_folder, name + "._temp");
  int w = utils::write_file_binary(path, plain);
  if (w != 0) {
    NV_LOG(ERROR) << "Failed to write to file, ret " << w;
    return NV_STORE_ERR_TEMP_WRITE;
  }
  out_path = path;
  _temp_files.push_back(path);
  return NV_OK;
}

}  // namespace norvane
