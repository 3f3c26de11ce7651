#include "norvane/globals.h"

#include "norvane/global.h"
#include "norvane/log.h"

// The logger storage lives in the library and is exported: programs linked
// against it log through this one storage and create none of their own.
#pragma GCC visibility push(default)
INITIALIZE_EASYLOGGINGPP
#pragma GCC visibility pop

namespace norvane {

// Loopback by default: nothing leaves a device unless its operator names a server.
std::string g_URL_SERVER_HOST = "http://127.0.0.1";
const std::string g_URI_USAGE = "/offline-auth/v2/usage/edge";
const std::string g_SDK_LOCAL_FOLDER = ".orvath/norvane/vornax";
const std::string g_FILENAME_STAT = "statistics$cpp";
int g_STAT_UPLOAD_TIME_INTERVAL = 3600;
int g_STAT_SAVE_TIME_INTERVAL = 10;

std::mutex Global::aes_mutex;

}  // namespace norvane
