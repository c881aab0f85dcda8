#include "sock_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace ywstest {

int listen_loopback(int &port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = 0;
  socklen_t len = sizeof sa;
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
    close(fd);
    throw std::runtime_error("bind/listen failed");
  }
  port = ntohs(sa.sin_port);
  return fd;
}

int make_wake_fd() {
  int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) throw std::runtime_error("eventfd failed");
  return fd;
}

void wake_up(int fd) {
  uint64_t one = 1;
  ssize_t n = write(fd, &one, sizeof one);
  (void)n;  // a full counter still wakes the poller
}

void drain_wake(int fd) {
  uint64_t v;
  ssize_t n = read(fd, &v, sizeof v);
  (void)n;
}

void set_nonblocking(int fd) {
  int fl = fcntl(fd, F_GETFL, 0);
  if (fl >= 0) fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

int ms_left(std::chrono::steady_clock::time_point end) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
          .count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace ywstest
