#pragma once

#include <string>

// Process-wide constants and settings of the library.
namespace norvane {

extern std::string g_URL_SERVER_HOST;   // usage server base URL; replaced by set_server_addr
extern const std::string g_URI_USAGE;   // usage upload path
extern const std::string g_SDK_LOCAL_FOLDER;
extern const std::string g_FILENAME_STAT;
extern int g_STAT_UPLOAD_TIME_INTERVAL;  // seconds
extern int g_STAT_SAVE_TIME_INTERVAL;    // seconds

// g_URL_SERVER_HOST and g_STAT_UPLOAD_TIME_INTERVAL are written by the controller's
// setters on application threads while the statistics timers read them: once the
// controller runs, every access goes through these, which hold one lock.
std::string url_server_host();
void set_url_server_host(const std::string& addr);
int stat_upload_time_interval();
void set_stat_upload_time_interval(int seconds);

// Around fork, called by the library's fork handlers: the cipher lock
// (Global::aes_mutex) and the settings lock are taken before and released after.
void globals_prepare_fork();
void globals_after_fork_parent();
void globals_after_fork_child();

}  // namespace norvane
