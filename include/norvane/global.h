#pragma once

#include <mutex>

#include "norvane/export.h"

namespace norvane {

struct NORVANE_API Global {
  // Serialises every call into the cipher library but model decryption.
  static std::mutex aes_mutex;
};

}  // namespace norvane
