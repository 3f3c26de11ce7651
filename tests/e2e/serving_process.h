#pragma once

// Runs the serving program as a child process with a chosen environment, its
// standard output and error captured in files of a scratch folder.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <picojson.h>

#include "support/raw_client.h"
#include "support/temp_dir.h"

extern char** environ;

namespace norvane_test {

inline std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class ServingProcess {
 public:
  // Variables of the program's own (EDGE_*, TAMRIN_*) and those in env are taken
  // only from env; HOME is the scratch folder. A nofile limit given (soft, hard)
  // is the program's from its start.
  ServingProcess(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
                 rlimit nofile = {0, 0}) {
    std::vector<std::string> vars;
    for (char** e = environ; *e; ++e) {
      std::string var = *e;
      const std::string name = var.substr(0, var.find('='));
      if (name.rfind("EDGE_", 0) == 0 || name.rfind("TAMRIN_", 0) == 0 || name == "HOME" || env.count(name)) continue;
      vars.push_back(var);
    }
    vars.push_back("HOME=" + _dir.path());
    for (const auto& kv : env) vars.push_back(kv.first + "=" + kv.second);

    std::vector<std::string> argv_text = {NORVANE_SERVING};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv, envp;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);

    const std::string out = stdout_path(), err = _dir.file("stderr.txt");
    _pid = fork();
    if (_pid == 0) {
      if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(127);
      // The test's own sockets are none of the program's (and would count
      // against its limit on open files).
      closefrom(3);
      if (nofile.rlim_max > 0 && setrlimit(RLIMIT_NOFILE, &nofile) != 0) _exit(127);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
  }
  ~ServingProcess() { terminate(); }
  ServingProcess(const ServingProcess&) = delete;
  ServingProcess& operator=(const ServingProcess&) = delete;

  // Exit status once the program has ended by itself, -1 when it still runs
  // after timeout_s (it is then ended).
  int wait_exit(int timeout_s = 60) {
    for (int i = 0; i < timeout_s * 100; ++i) {
      if (reap(WNOHANG)) return WIFEXITED(_status) ? WEXITSTATUS(_status) : -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    terminate();
    return -1;
  }

  // True once the service answers on port, false when the program ended first.
  bool wait_serving(int port, int timeout_s = 60) {
    for (int i = 0; i < timeout_s * 20; ++i) {
      if (_pid <= 0 || reap(WNOHANG)) return false;
      httplib::Client client("127.0.0.1", port);
      client.set_connection_timeout(1);
      if (client.Get("/get/service_id")) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // True once standard output holds text. The access-log line of a request is
  // written after its reply has gone out, so a test waits for it.
  bool wait_output(const std::string& text, int timeout_s = 10) const {
    for (int i = 0; i < timeout_s * 100; ++i) {
      if (out().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  void terminate() {
    if (_pid > 0) {
      kill(_pid, SIGTERM);
      reap(0);
    }
  }

  // Client connections the program holds on port.
  size_t client_sockets(int port) const { return sockets_on_port("/proc/" + std::to_string(_pid), port); }

  // Resident set of the running program, in kB; -1 when unknown.
  long rss_kb() const { return status_kb("VmRSS:"); }
  // Its peak resident set so far, in kB; -1 when unknown.
  long peak_kb() const { return status_kb("VmHWM:"); }

  // Sends sig; the exit status once the program has ended by itself (-1 when
  // it did not within timeout_s, or ended by a signal).
  int signal_and_wait(int sig, int timeout_s = 30) {
    if (_pid > 0) kill(_pid, sig);
    return wait_exit(timeout_s);
  }

  // Inferences counted in the usage cache file under the program's home.
  long counted_inferences() const {
    picojson::value root;
    if (!picojson::parse(root, read_text(_dir.path() + "/.orvath/norvane/vornax/statistics$cpp")).empty()) return -1;
    long total = 0;
    for (const auto& model : root.get("data").get("modelInvoke").get<picojson::array>())
      for (const auto& day : model.get("data").get<picojson::object>())
        total += static_cast<long>(day.second.get<int64_t>());
    return total;
  }

  pid_t pid() const { return _pid; }
  std::string stdout_path() const { return _dir.file("stdout.txt"); }
  std::string out() const { return read_text(stdout_path()); }
  std::string err() const { return read_text(_dir.file("stderr.txt")); }

 private:
  long status_kb(const std::string& key) const {
    std::ifstream in("/proc/" + std::to_string(_pid) + "/status");
    std::string line;
    while (std::getline(in, line))
      if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
    return -1;
  }

  bool reap(int flags) {
    if (_pid <= 0) return true;
    if (waitpid(_pid, &_status, flags) == _pid) {
      _pid = 0;
      return true;
    }
    return false;
  }

  TempDir _dir;
  pid_t _pid = -1;
  int _status = 0;
};

}  // namespace norvane_test
