#pragma once

#include <string>
#include <vector>

#include "norvane/export.h"

namespace norvane {

// Named byte strings kept enciphered under <model cache>/<id>/<name>.
class NORVANE_API ResourceManager {
 public:
  explicit ResourceManager(long id);
  virtual ~ResourceManager();
  ResourceManager(const ResourceManager&) = delete;
  ResourceManager& operator=(const ResourceManager&) = delete;

  int save_to_file(const std::string& name, const std::string& data, int mode);
  int restore_to_str(const std::string& name, std::string& out);
  int restore_to_temp_file(const std::string& name, std::string& out_path);

 private:
  long _id;
  std::string _folder;
  std::vector<std::string> _temp_files;
};

}  // namespace norvane
