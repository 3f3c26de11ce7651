// Enciphered bytes through decryption: as a model file of each encipherment
// type, and as a stored resource of the enciphered store; a resource saved from
// the same bytes must restore to them.
// Input: one byte choosing the encipherment type and the store mode, the rest the file.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_support.h"
#include "norvane/model_security.h"
#include "norvane/resource_manager.h"
#include "norvane/utils.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  norvane_fuzz::quiet_logger();
  norvane_fuzz::use_scratch_home();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const long enc_type = static_cast<long>(data[0] % 4);  // 0 plain, 1 and 2 enciphered, 3 unsupported
  const int mode = data[0] >> 2;
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);

  const std::string model = norvane_fuzz::scratch_dir() + "/model";
  norvane_fuzz::write_file(model, bytes);
  {
    norvane::ModelSecurity security(1, enc_type, model, norvane_fuzz::scratch_dir() + "/params");
    std::string plain;
    if (security.decrypt_model_to_str(plain) == 0 && plain.size() > bytes.size()) std::abort();
  }

  norvane::ResourceManager store(1);
  norvane_fuzz::write_file(norvane::Utils::get_sdk_local_folder_model_cache() + "/1/res", bytes);
  std::string restored;
  store.restore_to_str("res", restored);
  if (store.save_to_file("saved", bytes, mode) == 0) {
    if (store.restore_to_str("saved", restored) != 0 || restored != bytes) std::abort();
  }
  return 0;
}
