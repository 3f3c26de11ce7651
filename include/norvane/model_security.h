#pragma once

#include <string>
#include <vector>

#include "norvane/export.h"

namespace norvane {

// Yields the plain bytes of a model file by its encipherment type ("modelEnc").
// Plain copies written to disk are removed again by the destructor.
class NORVANE_API ModelSecurity {
 public:
  ModelSecurity(long id, long modelEncType, const std::string& model_path, const std::string& second_path);
  ~ModelSecurity();
  ModelSecurity(const ModelSecurity&) = delete;
  ModelSecurity& operator=(const ModelSecurity&) = delete;

  int decrypt_file_to_str(std::string& path, std::string& out);
  int decrypt_model_to_str(std::string& out);
  int decrypt_model_to_file(std::string& out_path);

 private:
  long _model_enc_type;
  long _model_id;
  std::string _model_path;
  std::string _second_path;  // the parameter file; kept, never read
  std::vector<std::string> _temp_files;
};

}  // namespace norvane
