// Small POSIX socket helpers shared by the raw servers.
#pragma once

#include <string>

namespace ywstest {

// Non-blocking listening socket on 127.0.0.1, ephemeral port. Throws on failure.
int listen_loopback(int &port);
int make_wake_fd();  // eventfd, non-blocking
void wake_up(int fd);
void drain_wake(int fd);
void set_nonblocking(int fd);

}  // namespace ywstest
