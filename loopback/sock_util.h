// Small POSIX socket helpers shared by the raw servers.
#pragma once

#include <chrono>
#include <string>

namespace ywstest {

// Non-blocking listening socket on 127.0.0.1, ephemeral port. Throws on failure.
int listen_loopback(int &port);
int make_wake_fd();  // eventfd, non-blocking
void wake_up(int fd);
void drain_wake(int fd);
void set_nonblocking(int fd);
// Milliseconds until end, 0 once it has passed: a poll timeout.
int ms_left(std::chrono::steady_clock::time_point end);

}  // namespace ywstest
