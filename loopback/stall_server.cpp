#include <poll.h>
#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

#include "sock_util.h"
#include "ws_test_server.h"

namespace ywstest {

StallServer::StallServer() {
  listen_fd_ = listen_loopback(port_);
  wake_fd_ = make_wake_fd();
  thread_ = std::thread([this] { run(); });
}

StallServer::~StallServer() {
  stop_ = true;
  wake_up(wake_fd_);
  thread_.join();
  for (int fd : clients_) close(fd);
  close(listen_fd_);
  close(wake_fd_);
}

std::string StallServer::url(const std::string &path, bool tls) const {
  std::string p = path.empty() || path[0] != '/' ? "/" + path : path;
  return std::string(tls ? "wss" : "ws") + "://127.0.0.1:" + std::to_string(port_) + p;
}

int StallServer::accepted() const {
  std::lock_guard<std::mutex> lk(mu_);
  return accepted_;
}

uint64_t StallServer::bytes_received() const {
  std::lock_guard<std::mutex> lk(mu_);
  return bytes_;
}

bool StallServer::wait_accepted(int n, std::chrono::milliseconds timeout) const {
  return wait_for([&] { return accepted() >= n; }, timeout);
}

void StallServer::run() {
  for (;;) {
    std::vector<pollfd> pfds{{wake_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    for (int fd : clients_) pfds.push_back({fd, POLLIN, 0});
    if (poll(pfds.data(), pfds.size(), -1) < 0) continue;
    if (pfds[0].revents) {
      drain_wake(wake_fd_);
      if (stop_) return;
    }
    if (pfds[1].revents & POLLIN) {
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) {
        clients_.push_back(fd);
        std::lock_guard<std::mutex> lk(mu_);
        ++accepted_;
        changed();
      }
    }
    // Read and discard so a chatty client never blocks on a full window.
    for (size_t i = 2; i < pfds.size(); ++i) {
      if (pfds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
        char buf[4096];
        ssize_t n = recv(pfds[i].fd, buf, sizeof buf, 0);
        if (n > 0) {
          std::lock_guard<std::mutex> lk(mu_);
          bytes_ += static_cast<uint64_t>(n);
          changed();
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          close(pfds[i].fd);
          clients_.erase(std::find(clients_.begin(), clients_.end(), pfds[i].fd));
        }
      }
    }
  }
}

}  // namespace ywstest
