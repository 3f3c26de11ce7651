#pragma once

// Records what is written to the logger "Norvane" while a LogCapture lives, so a
// test can check the texts and levels of the records.

#include <mutex>
#include <string>
#include <vector>

#include <easylogging++.h>

namespace norvane_test {

struct LogRecord {
  el::Level level;
  int verbose_level;
  std::string message;
};

class LogCaptureCallback : public el::LogDispatchCallback {
 public:
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static std::vector<LogRecord>& records() {
    static std::vector<LogRecord> r;
    return r;
  }

 protected:
  void handle(const el::LogDispatchData* data) override {
    const el::LogMessage* msg = data->logMessage();
    if (msg->logger()->id() != "Norvane") return;
    std::lock_guard<std::mutex> lock(mutex());
    records().push_back({msg->level(), static_cast<int>(msg->verboseLevel()), msg->message()});
  }
};

class LogCapture {
 public:
  // DEBUG records are switched on while capturing, whatever the logger's
  // configuration, and the configuration is restored afterwards.
  explicit LogCapture(int verbose_level = 0) {
    el::Logger* logger = el::Loggers::getLogger("Norvane");  // registers it when nothing has yet
    saved_ = *logger->configurations();
    el::Configurations with_debug = saved_;
    with_debug.set(el::Level::Debug, el::ConfigurationType::Enabled, "true");
    el::Loggers::reconfigureLogger(logger, with_debug);
    el::Loggers::setVerboseLevel(verbose_level);
    {
      // The callback list is walked by every thread that logs, under the logging
      // library's lock; changing it without that lock raced a server thread's
      // access-log line and now and then crashed the suite.
      el::base::threading::ScopedLock lock(ELPP->lock());
      el::Helpers::installLogDispatchCallback<LogCaptureCallback>("norvane_test_capture");
      el::Helpers::logDispatchCallback<LogCaptureCallback>("norvane_test_capture")->setEnabled(true);
    }
    clear();
  }
  ~LogCapture() {
    {
      el::base::threading::ScopedLock lock(ELPP->lock());
      el::Helpers::uninstallLogDispatchCallback<LogCaptureCallback>("norvane_test_capture");
    }
    el::Loggers::setVerboseLevel(0);
    el::Loggers::reconfigureLogger("Norvane", saved_);
  }
  void clear() {
    std::lock_guard<std::mutex> lock(LogCaptureCallback::mutex());
    LogCaptureCallback::records().clear();
  }
  std::vector<LogRecord> records() const {
    std::lock_guard<std::mutex> lock(LogCaptureCallback::mutex());
    return LogCaptureCallback::records();
  }
  // Number of records at the level whose message contains text.
  int count(el::Level level, const std::string& text) const {
    int n = 0;
    for (const auto& r : records())
      if (r.level == level && r.message.find(text) != std::string::npos) ++n;
    return n;
  }
  bool contains(const std::string& text) const {
    for (const auto& r : records())
      if (r.message.find(text) != std::string::npos) return true;
    return false;
  }

 private:
  el::Configurations saved_;
};

}  // namespace norvane_test
