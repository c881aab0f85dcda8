#include "py_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "sock_util.h"

extern char **environ;

namespace ywstest {

using clk = std::chrono::steady_clock;

PyPeer::PyPeer() : PyPeer("", "") {}

PyPeer::PyPeer(const std::string &cert, const std::string &key) {
  int to_child[2], from_child[2];
  if (pipe2(to_child, O_CLOEXEC) != 0) return;
  if (pipe2(from_child, O_CLOEXEC) != 0) {
    close(to_child[0]);
    close(to_child[1]);
    return;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, to_child[0], 0);
  posix_spawn_file_actions_adddup2(&fa, from_child[1], 1);
  posix_spawn_file_actions_addclose(&fa, to_child[1]);
  posix_spawn_file_actions_addclose(&fa, from_child[0]);
  // Debian's interpreter, which has the package, whatever python3 comes first on PATH.
  std::string script = YWS_LOOPBACK_DIR "/py_ws_server.py";
  char *argv[] = {const_cast<char *>("/usr/bin/python3"), const_cast<char *>(script.c_str()),
                  const_cast<char *>(cert.c_str()), const_cast<char *>(key.c_str()), nullptr};
  if (cert.empty()) argv[2] = nullptr;
  if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv, environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&fa);
  close(to_child[0]);
  close(from_child[1]);
  in_ = to_child[1];
  out_ = from_child[0];
  std::string line;
  auto end = clk::now() + std::chrono::seconds(10);
  while (pid_ > 0 && read_line(&line, ms_left(end)))
    if (line.rfind("PORT ", 0) == 0) {
      port_ = std::atoi(line.c_str() + 5);
      break;
    }
}

PyPeer::~PyPeer() {
  if (in_ >= 0) close(in_);
  if (pid_ > 0) {
    // Closing its stdin ends it; a child that does not go is killed.
    auto end = clk::now() + std::chrono::seconds(3);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (clk::now() >= end) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      poll(nullptr, 0, 10);
    }
  }
  if (out_ >= 0) close(out_);
}

bool PyPeer::read_line(std::string *line, int ms) {
  auto end = clk::now() + std::chrono::milliseconds(ms);
  for (;;) {
    size_t nl = pending_.find('\n');
    if (nl != std::string::npos) {
      *line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return true;
    }
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, ms_left(end)) <= 0) return false;
    char buf[512];
    ssize_t n = read(out_, buf, sizeof(buf));
    if (n <= 0) return false;
    pending_.append(buf, static_cast<size_t>(n));
  }
}

std::vector<std::string> PyPeer::extensions(int ms) {
  std::string line;
  int wait = ext_.empty() ? ms : 0;
  while (read_line(&line, wait)) {
    if (line.rfind("EXT ", 0) == 0) ext_.push_back(line.substr(4));
    wait = 0;
  }
  return ext_;
}

}  // namespace ywstest
