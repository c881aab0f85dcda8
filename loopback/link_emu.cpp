#include "link_emu.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "sock_util.h"

namespace ywstest {

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

struct Chunk {
  Clock::time_point at;
  std::string data;
  size_t off = 0;
};

// One direction of one connection: bytes read from src wait in q until their time, then
// leave through the token bucket.
struct Pipe {
  std::deque<Chunk> q;
  size_t queued = 0;
  bool eof_in = false;
  bool shut_out = false;
  bool want_out = false;
  Clock::time_point last_at{};
  double tokens = 0;
  Clock::time_point refilled{};
};

struct Conn {
  int fd[2] = {-1, -1};  // client side, server side
  Pipe pipe[2];          // up reads fd[0], down reads fd[1]
  bool dead = false;
};

void close_hard(int fd) {
  if (fd < 0) return;
  linger lg{1, 0};  // RST instead of FIN
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  close(fd);
}

int bind_loopback(int port_wanted, int &port) {
  if (port_wanted == 0) return listen_loopback(port);
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port_wanted));
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 16) != 0) {
    close(fd);
    throw std::runtime_error("bind/listen failed");
  }
  port = port_wanted;
  return fd;
}

int connect_loopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  // Loopback connects answer at once, so blocking here costs nothing.
  if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  set_nonblocking(fd);
  int small = 16384;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

const LinkDir &dir_of(const LinkProfile &p, int i) {
  return i == 0 ? p.up : p.down;
}

// Bytes a direction may hold before it stops reading: enough to keep the link busy for its
// delay, little enough that a slow link pushes back on the sender.
size_t cap_of(const LinkDir &d) {
  if (d.rate == 0) return 1u << 20;
  uint64_t c = d.rate * static_cast<uint64_t>(d.delay_ms + d.jitter_ms + 250) / 1000;
  return static_cast<size_t>(std::max<uint64_t>(c, 4096));
}

// A bucket of 20 ms worth keeps a slow rate smooth.
double burst_of(const LinkDir &d) {
  return std::max(64.0, static_cast<double>(d.rate) / 50.0);
}

}  // namespace

LinkEmu::LinkEmu(int target_port, LinkProfile profile, int listen_port)
    : target_port_(target_port), profile_(profile) {
  listen_fd_ = bind_loopback(listen_port, port_);
  // Small buffers, as on a modem: a slow link pushes back on the sender instead of the kernel
  // soaking up megabytes. Accepted sockets inherit it.
  int small = 16384;
  setsockopt(listen_fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  wake_fd_ = make_wake_fd();
  thread_ = std::thread([this] { run(); });
}

LinkEmu::~LinkEmu() {
  stop_ = true;
  poke();
  if (thread_.joinable()) thread_.join();
  close(listen_fd_);
  close(wake_fd_);
}

void LinkEmu::poke() {
  wake_up(wake_fd_);
}

void LinkEmu::set_profile(const LinkProfile &p) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    profile_ = p;
  }
  poke();
}

void LinkEmu::set_dir(LinkSide side, const LinkDir &d) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    (side == LinkSide::up ? profile_.up : profile_.down) = d;
  }
  poke();
}

LinkProfile LinkEmu::profile() const {
  std::lock_guard<std::mutex> lk(mu_);
  return profile_;
}

void LinkEmu::blackout(int ms) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    blackout_until_ = ms > 0 ? Clock::now() + Ms(ms) : Clock::time_point{};
  }
  poke();
}

bool LinkEmu::in_blackout() const {
  std::lock_guard<std::mutex> lk(mu_);
  return Clock::now() < blackout_until_;
}

void LinkEmu::reset() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    reset_pending_ = true;
  }
  poke();
}

void LinkEmu::stall_server_reads(bool on) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stall_ = on;
  }
  poke();
}

void LinkEmu::run() {
  std::vector<std::unique_ptr<Conn>> conns;
  std::mt19937 rng(0x11e7u);
  std::vector<char> buf(16384);
  std::vector<pollfd> pfds;

  auto kill = [&](Conn &c) {
    close_hard(c.fd[0]);
    close_hard(c.fd[1]);
    c.fd[0] = c.fd[1] = -1;
    c.dead = true;
  };

  while (!stop_) {
    LinkProfile prof;
    Clock::time_point until;
    bool stall, do_reset;
    {
      std::lock_guard<std::mutex> lk(mu_);
      prof = profile_;
      until = blackout_until_;
      stall = stall_;
      do_reset = reset_pending_;
      reset_pending_ = false;
    }
    Clock::time_point now = Clock::now();
    if (do_reset)
      for (auto &c : conns) kill(*c);
    bool dark = now < until;
    Clock::time_point next = now + Ms(500);
    if (dark) next = std::min(next, until);

    for (auto &cp : conns) {
      Conn &c = *cp;
      for (int i = 0; i < 2 && !c.dead; ++i) {
        Pipe &p = c.pipe[i];
        const LinkDir &d = dir_of(prof, i);
        int dst = c.fd[1 - i];
        p.want_out = false;
        if (d.rate > 0) {
          double dt = std::chrono::duration<double>(now - p.refilled).count();
          p.tokens = std::min(burst_of(d), p.tokens + dt * static_cast<double>(d.rate));
        }
        p.refilled = now;
        while (!dark && !p.q.empty()) {
          Chunk &ch = p.q.front();
          if (ch.at > now) {
            next = std::min(next, ch.at);
            break;
          }
          size_t n = ch.data.size() - ch.off;
          if (d.rate > 0) {
            size_t allowed = static_cast<size_t>(p.tokens);
            if (allowed == 0) {
              double need = std::min(burst_of(d), static_cast<double>(n)) - p.tokens;
              auto wait = std::chrono::duration<double>(need / static_cast<double>(d.rate));
              next = std::min(next, now + std::max(Ms(1), std::chrono::duration_cast<Ms>(wait)));
              break;
            }
            n = std::min(n, allowed);
          }
          ssize_t w = send(dst, ch.data.data() + ch.off, n, MSG_NOSIGNAL);
          if (w < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
              p.want_out = true;
            } else {
              kill(c);
            }
            break;
          }
          size_t wn = static_cast<size_t>(w);
          if (d.rate > 0) p.tokens -= static_cast<double>(wn);
          (i == 0 ? up_bytes_ : down_bytes_) += wn;
          ch.off += wn;
          p.queued -= wn;
          if (ch.off == ch.data.size()) p.q.pop_front();
        }
        if (!c.dead && !dark && p.q.empty() && p.eof_in && !p.shut_out) {
          shutdown(dst, SHUT_WR);
          p.shut_out = true;
        }
      }
      if (!c.dead && c.pipe[0].shut_out && c.pipe[1].shut_out) {
        close(c.fd[0]);
        close(c.fd[1]);
        c.fd[0] = c.fd[1] = -1;
        c.dead = true;
      }
    }
    conns.erase(std::remove_if(conns.begin(), conns.end(), [](auto &c) { return c->dead; }),
                conns.end());
    open_ = static_cast<int>(conns.size());

    pfds.clear();
    pfds.push_back({wake_fd_, POLLIN, 0});
    pfds.push_back({listen_fd_, POLLIN, 0});
    for (auto &cp : conns) {
      Conn &c = *cp;
      for (int side = 0; side < 2; ++side) {
        Pipe &in = c.pipe[side];       // read from this side
        Pipe &out = c.pipe[1 - side];  // written to this side
        short ev = 0;
        bool paused = dark || (side == 0 && stall);
        if (!paused && !in.eof_in && in.queued < cap_of(dir_of(prof, side))) ev |= POLLIN;
        if (out.want_out) ev |= POLLOUT;
        pfds.push_back({c.fd[side], ev, 0});
      }
    }
    auto wait = std::chrono::duration_cast<Ms>(next - now).count() + 1;
    int timeout = static_cast<int>(std::clamp<long long>(wait, 0, 500));
    if (poll(pfds.data(), pfds.size(), timeout) < 0 && errno != EINTR) break;
    if (pfds[0].revents & POLLIN) drain_wake(wake_fd_);
    if (pfds[1].revents & POLLIN) {
      for (;;) {
        int cfd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (cfd < 0) break;
        ++accepted_;
        int sfd = connect_loopback(target_port_.load());
        if (sfd < 0) {
          close_hard(cfd);
          continue;
        }
        int one = 1;
        setsockopt(cfd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto c = std::make_unique<Conn>();
        c->fd[0] = cfd;
        c->fd[1] = sfd;
        conns.push_back(std::move(c));
      }
    }
    // Bytes that arrived after a setter returned must see its setting.
    {
      std::lock_guard<std::mutex> lk(mu_);
      prof = profile_;
      stall = stall_;
      now = Clock::now();
      dark = now < blackout_until_;
    }
    size_t k = 2;
    for (size_t ci = 0; ci < conns.size() && k + 1 < pfds.size(); ++ci, k += 2) {
      Conn &c = *conns[ci];
      for (int side = 0; side < 2 && !c.dead; ++side) {
        short re = pfds[k + static_cast<size_t>(side)].revents;
        if (!(re & (POLLIN | POLLERR | POLLHUP))) continue;
        if (!(pfds[k + static_cast<size_t>(side)].events & POLLIN) || dark ||
            (side == 0 && stall)) {
          if (re & POLLERR) kill(c);
          continue;
        }
        Pipe &p = c.pipe[side];
        const LinkDir &d = dir_of(prof, side);
        size_t want = buf.size();
        if (d.rate > 0) want = std::clamp<size_t>(static_cast<size_t>(d.rate / 20), 512, want);
        ssize_t r = recv(c.fd[side], buf.data(), want, 0);
        if (r > 0) {
          int j = d.jitter_ms > 0
                      ? std::uniform_int_distribution<int>(-d.jitter_ms, d.jitter_ms)(rng)
                      : 0;
          Clock::time_point at = now + Ms(std::max(0, d.delay_ms + j));
          at = std::max(at, p.last_at);  // order kept under jitter
          p.last_at = at;
          p.q.push_back({at, std::string(buf.data(), static_cast<size_t>(r)), 0});
          p.queued += static_cast<size_t>(r);
        } else if (r == 0) {
          p.eof_in = true;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
          kill(c);  // a reset on one side is passed on as a reset
        }
      }
    }
  }
  for (auto &c : conns) {
    if (c->fd[0] >= 0) close(c->fd[0]);
    if (c->fd[1] >= 0) close(c->fd[1]);
  }
}

}  // namespace ywstest
