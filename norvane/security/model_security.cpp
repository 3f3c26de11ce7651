#include "norvane/model_security.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include "norvane/error_codes.h"
#include "norvane/log.h"
#include "norvane/security/keys.h"
#include "norvane/utils.h"
#include "zideredov/zideredov.h"

namespace norvane {

ModelSecurity::ModelSecurity(long id, long modelEncType, const std::string& model_path,
                             const std::string& second_path)
    : _model_enc_type(modelEncType), _model_id(id), _model_path(model_path), _second_path(second_path) {}

ModelSecurity::~ModelSecurity() {
  for (const auto& path : _temp_files) utils::rmfile(path);
}

int ModelSecurity::decrypt_file_to_str(std::string& path, std::string& out) {
  std::string data = utils::read_file_binary(path);
  if (_model_enc_type == 0) {
    out.swap(data);
    return NV_OK;
  }
  if (_model_enc_type != 1 && _model_enc_type != 2) {
    NV_LOG(ERROR) << "Unsupported modelEncType " << _model_enc_type;
    return NV_ERR_DECRYPT;
  }
  std::string key = keys::model_key(_model_enc_type);
  // The plain text is never longer than the cipher text.
  std::vector<unsigned char> plain(data.size());
  long n = xor_decrypt_content(reinterpret_cast<const unsigned char*>(data.data()), static_cast<long>(data.size()),
                               key.c_str(), plain.data());
  if (n <= 0) {
    NV_LOG(ERROR) << "Fail to decrypt  file: " << n;
    return NV_ERR_DECRYPT;
  }
  out.assign(reinterpret_cast<const char*>(plain.data()), static_cast<size_t>(n));
  return NV_OK;
}

int ModelSecurity::decrypt_model_to_str(std::string& out) { return decrypt_file_to_str(_model_path, out); }

int ModelSecurity::decrypt_model_to_file(std::string& out_path) {
  std::string plain;
  int r = decrypt_model_to_str(plain);
  if (r != NV_OK) return r;

  const std::string cache = Utils::get_sdk_local_folder_model_cache();
  const std::string uuid = utils::generate_uuid1();
  const int32_t id = static_cast<int32_t>(_model_id);
  int len = std::snprintf(nullptr, 0, "%s/m.%d.%s", cache.c_str(), id, uuid.c_str());
  std::string path(static_cast<size_t>(len), '\0');
  std::snprintf(&path[0], path.size() + 1, "%s/m.%d.%s", cache.c_str(), id, uuid.c_str());

  utils::write_file_binary(path, plain);
  _temp_files.push_back(path);
  out_path = path;
  return NV_OK;
}

}  // namespace norvane
