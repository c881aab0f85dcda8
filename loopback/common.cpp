#include <ftw.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "ws_test_server.h"

namespace ywstest {

std::vector<size_t> burst_message_sizes(uint64_t total, size_t size) {
  std::vector<size_t> out;
  uint32_t x = 0x9E3779B9u;
  for (uint64_t sent = 0; sent < total;) {
    size_t n = size;
    if (n == 0) {
      // xorshift32: fixed seed, so a client can predict every boundary.
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      n = 1 + x % 2048;
    }
    if (n > total - sent) n = static_cast<size_t>(total - sent);
    out.push_back(n);
    sent += n;
  }
  return out;
}

TempDir::TempDir() {
  const char *base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ywstest-XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  nftw(
      path_.c_str(),
      [](const char *p, const struct stat *, int, struct FTW *) { return std::remove(p); }, 8,
      FTW_DEPTH | FTW_PHYS);
}

bool Observable::wait_for(const std::function<bool()> &pred,
                          std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock<std::mutex> lk(mu_);
  for (;;) {
    uint64_t seen = version_;
    lk.unlock();
    if (pred()) return true;
    lk.lock();
    if (!cv_.wait_until(lk, deadline, [&] { return version_ != seen; })) {
      lk.unlock();
      return pred();
    }
  }
}

void Observable::changed() {
  ++version_;
  cv_.notify_all();
}

}  // namespace ywstest
