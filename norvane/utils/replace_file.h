#pragma once

#include <string>

namespace norvane {
namespace utils {

// Replaces path with data so that a reader, or a crash at any moment, sees either
// the old file whole or the new one whole: the bytes go to a fresh file in the
// same folder (mode 0600), reach the disk, and are renamed over path in one step.
// 0 on success; -1 with path unchanged and no temporary file left otherwise.
// Temporaries that writers killed before their rename left in the folder are
// removed first, when their process no longer runs.
int replace_file(const std::string& path, const std::string& data);

}  // namespace utils
}  // namespace norvane
