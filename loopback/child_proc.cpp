#include "child_proc.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "sock_util.h"

extern char **environ;

namespace ywstest {

namespace {

using clk = std::chrono::steady_clock;

sockaddr_in loopback(int port) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  return sa;
}

}  // namespace

bool have_program(const std::string &path) {
  return access(path.c_str(), X_OK) == 0;
}

std::string current_user() {
  const passwd *pw = getpwuid(geteuid());
  return pw ? pw->pw_name : "root";
}

int free_loopback_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in sa = loopback(0);
  socklen_t len = sizeof sa;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
    port = ntohs(sa.sin_port);
  close(fd);
  return port;
}

bool wait_listening(int port, std::chrono::milliseconds t) {
  auto end = clk::now() + t;
  do {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in sa = loopback(port);
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    close(fd);
    if (ok) return true;
    // Nothing to wait on but the listener itself: poll it at a short interval.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (clk::now() < end);
  return false;
}

bool ChildProc::start(const std::vector<std::string> &argv) {
  stop();
  text_.clear();
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, out[1], 2);
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  if (posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  out_ = out[0];
  fcntl(out_, F_SETFL, O_NONBLOCK);
  return pid_ > 0;
}

bool ChildProc::running() {
  if (pid_ <= 0) return false;
  if (waitpid(pid_, &status_, WNOHANG) == 0) return true;
  pid_ = -1;
  return false;
}

bool ChildProc::wait_exit(std::chrono::milliseconds t, int *status) {
  auto end = clk::now() + t;
  while (running()) {
    if (clk::now() >= end) return false;
    pump(10);  // reading the pipe also keeps a talkative child from blocking on it
  }
  pump(0);
  if (status) *status = status_;
  return true;
}

int ChildProc::stop(std::chrono::milliseconds grace) {
  if (running()) {
    kill(pid_, SIGTERM);
    if (!wait_exit(grace)) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status_, 0);
      pid_ = -1;
    }
  }
  if (out_ >= 0) {
    pump(0);
    close(out_);
    out_ = -1;
  }
  return status_;
}

void ChildProc::pump(int ms) {
  if (out_ < 0) {
    if (ms > 0) poll(nullptr, 0, ms);
    return;
  }
  pollfd p{out_, POLLIN, 0};
  if (poll(&p, 1, ms) <= 0) return;
  char buf[4096];
  ssize_t n;
  while ((n = read(out_, buf, sizeof buf)) > 0) text_.append(buf, static_cast<size_t>(n));
  if (n == 0) {  // the child closed its end: nothing more will come
    close(out_);
    out_ = -1;
  }
}

const std::string &ChildProc::output() {
  pump(0);
  return text_;
}

bool ChildProc::wait_output(const std::string &needle, std::chrono::milliseconds t) {
  auto end = clk::now() + t;
  for (;;) {
    pump(0);
    if (text_.find(needle) != std::string::npos) return true;
    if (clk::now() >= end || !running()) {
      pump(0);
      return text_.find(needle) != std::string::npos;
    }
    pump(std::min(ms_left(end), 50));
  }
}

RunResult run_program(const std::vector<std::string> &argv, std::chrono::milliseconds limit) {
  RunResult r;
  ChildProc p;
  if (!p.start(argv)) return r;
  int status = 0;
  if (p.wait_exit(limit, &status) && WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  p.stop();
  r.out = p.output();
  return r;
}

}  // namespace ywstest
