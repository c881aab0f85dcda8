// A program of the machine (a broker, a proxy, a command-line client) as a child process of the
// test: started with an argument vector, its output collected, ended with the object in a
// bounded time. Never a shell, never a service.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace ywstest {

// True when `path` is an executable file.
bool have_program(const std::string &path);

// The name of the effective user. Started as root, mosquitto and nginx would change to a system
// user that cannot read the test's temporary directory: they are told to stay this user.
std::string current_user();

// A free port on 127.0.0.1 (bound once, then released for the child to take).
int free_loopback_port();

// True once something accepts on 127.0.0.1:port, within `t`.
bool wait_listening(int port, std::chrono::milliseconds t);

class ChildProc {
 public:
  ChildProc() = default;
  ~ChildProc() { stop(); }
  ChildProc(const ChildProc &) = delete;
  ChildProc &operator=(const ChildProc &) = delete;

  // Starts argv[0] (a full path) with stdin from /dev/null and stdout and stderr to one pipe.
  bool start(const std::vector<std::string> &argv);
  bool running();
  // SIGTERM, then SIGKILL after `grace`; reaps it. The exit status as waitpid gives it.
  int stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));
  // Waits for the child to exit by itself within `t`; false if it did not (it keeps running).
  bool wait_exit(std::chrono::milliseconds t, int *status = nullptr);
  // Output so far (reads what is waiting without blocking).
  const std::string &output();
  // Waits until the output holds `needle` (true), or `t` passes or the child ends (false).
  bool wait_output(const std::string &needle, std::chrono::milliseconds t);

 private:
  void pump(int ms);
  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = 0;
  std::string text_;
};

// Runs a program to its end (killed after `limit`); its exit status (-1 when killed or not
// started) and output.
struct RunResult {
  int exit_code = -1;
  std::string out;
};
RunResult run_program(const std::vector<std::string> &argv, std::chrono::milliseconds limit);

}  // namespace ywstest
