#pragma once

#include <string>

#include "norvane/export.h"

// Process-wide constants and settings of the library.
namespace norvane {

NORVANE_API extern std::string g_URL_SERVER_HOST;   // usage server base URL; replaced by set_server_addr
NORVANE_API extern const std::string g_URI_USAGE;   // usage upload path
NORVANE_API extern const std::string g_SDK_LOCAL_FOLDER;
NORVANE_API extern const std::string g_FILENAME_STAT;
NORVANE_API extern int g_STAT_UPLOAD_TIME_INTERVAL;  // seconds
NORVANE_API extern int g_STAT_SAVE_TIME_INTERVAL;    // seconds

}  // namespace norvane
