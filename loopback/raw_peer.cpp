#include <zlib.h>

#include <libwebsockets.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "sock_util.h"
#include "ws_test_server.h"

namespace ywstest {
namespace {

constexpr size_t kMaxRequest = 64 * 1024;
constexpr uint64_t kMaxFrame = 64ull << 20;

std::string lower(std::string s) {
  for (auto &ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

std::string trim(const std::string &s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

std::optional<std::string> find_header(const Headers &hs, const std::string &name) {
  std::string want = lower(name);
  for (const auto &h : hs)
    if (lower(h.first) == want) return h.second;
  return std::nullopt;
}

}  // namespace

std::optional<std::string> RawPeer::Request::header(const std::string &name) const {
  return find_header(headers, name);
}

// One client connection, owned by the I/O thread.
struct RawPeer::Session {
  struct Chunk {
    std::string data;
    bool bytewise;
  };
  int fd = -1;
  enum Phase { kRequest, kFrames, kHold } phase = kRequest;
  std::string in;
  std::deque<Chunk> out;
  std::deque<Step> steps;
  bool fin_after_flush = false;  // shutdown(SHUT_WR) once `out` is empty
  bool fin_sent = false;
  bool close_sent = false;
  bool close_received = false;
  bool msg_open = false;
  bool msg_binary = false;
  std::string msg;
  size_t msgs = 0;
  int pings = 0;
  bool msg_compressed = false;
  std::unique_ptr<z_stream, void (*)(z_stream *)> inflater{nullptr, [](z_stream *) {}};
  std::unique_ptr<z_stream, void (*)(z_stream *)> deflater{nullptr, [](z_stream *) {}};
};

namespace {

void end_inflate(z_stream *z) {
  inflateEnd(z);
  delete z;
}

void end_deflate(z_stream *z) {
  deflateEnd(z);
  delete z;
}

// Runs z over all of `in` with a sync flush; the output, or nullopt on a zlib error.
template <typename F>
std::optional<std::string> run_zlib(z_stream *z, const std::string &in, F step) {
  std::string out;
  z->next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
  z->avail_in = static_cast<uInt>(in.size());
  char buf[16384];
  do {
    z->next_out = reinterpret_cast<Bytef *>(buf);
    z->avail_out = sizeof(buf);
    int rc = step(z, Z_SYNC_FLUSH);
    if (rc != Z_OK && rc != Z_BUF_ERROR && rc != Z_STREAM_END) return std::nullopt;
    out.append(buf, sizeof(buf) - z->avail_out);
  } while (z->avail_out == 0);
  return out;
}

std::string compress_with(z_stream *z, const std::string &s) {
  std::string out = *run_zlib(z, s, [](z_stream *zz, int f) { return deflate(zz, f); });
  out.resize(out.size() - 4);  // the 00 00 ff ff every sync flush ends with
  return out;
}

}  // namespace

std::string RawPeer::deflate_message(const std::string &s, int bits) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -bits, 9, Z_DEFAULT_STRATEGY);
  std::string out = compress_with(&z, s);
  deflateEnd(&z);
  return out;
}

RawPeer::RawPeer() : RawPeer(Options{}) {}

RawPeer::RawPeer(Options opts) : opts_(std::move(opts)) {
  listen_fd_ = listen_loopback(port_);
  wake_fd_ = make_wake_fd();
  thread_ = std::thread([this] { run(); });
}

RawPeer::~RawPeer() {
  stop_ = true;
  wake_up(wake_fd_);
  thread_.join();
  close(listen_fd_);
  close(wake_fd_);
}

std::string RawPeer::url(const std::string &path) const {
  std::string p = path.empty() || path[0] != '/' ? "/" + path : path;
  return "ws://127.0.0.1:" + std::to_string(port_) + p;
}

void RawPeer::wake() {
  wake_up(wake_fd_);
}

void RawPeer::push(Step s) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    queued_.push_back(std::move(s));
  }
  wake();
}

void RawPeer::send_raw(const std::string &bytes) {
  push(Step{Step::kSend, bytes, 0});
}
void RawPeer::send_bytewise(const std::string &bytes) {
  push(Step{Step::kSendBytewise, bytes, 0});
}
void RawPeer::close_tcp() {
  push(Step{Step::kCloseTcp, {}, 0});
}
void RawPeer::reset_tcp() {
  push(Step{Step::kResetTcp, {}, 0});
}

std::string RawPeer::frame(int opcode, const std::string &payload, bool fin, bool mask, int rsv) {
  std::string f;
  f.push_back(static_cast<char>((fin ? 0x80 : 0) | ((rsv & 7) << 4) | (opcode & 0x0f)));
  uint64_t n = payload.size();
  char m = mask ? static_cast<char>(0x80) : 0;
  if (n < 126) {
    f.push_back(static_cast<char>(m | static_cast<char>(n)));
  } else if (n <= 0xffff) {
    f.push_back(static_cast<char>(m | 126));
    f.push_back(static_cast<char>(n >> 8));
    f.push_back(static_cast<char>(n));
  } else {
    f.push_back(static_cast<char>(m | 127));
    for (int i = 7; i >= 0; --i) f.push_back(static_cast<char>(n >> (8 * i)));
  }
  if (!mask) return f + payload;
  const unsigned char key[4] = {0x37, 0xfa, 0x21, 0x3d};
  for (unsigned char k : key) f.push_back(static_cast<char>(k));
  for (size_t i = 0; i < payload.size(); ++i)
    f.push_back(static_cast<char>(payload[i] ^ static_cast<char>(key[i % 4])));
  return f;
}

std::string RawPeer::close_frame(int code, const std::string &reason) {
  std::string p;
  if (code >= 0) {
    p.push_back(static_cast<char>(code >> 8));
    p.push_back(static_cast<char>(code));
    p += reason;
  }
  return frame(0x8, p);
}

std::string RawPeer::fragmented(int opcode, const std::string &payload, size_t parts,
                                bool ping_between) {
  if (parts < 1) parts = 1;
  std::string out;
  size_t chunk = (payload.size() + parts - 1) / parts;
  for (size_t i = 0; i < parts; ++i) {
    size_t off = std::min(payload.size(), i * chunk);
    size_t len = std::min(chunk, payload.size() - off);
    out += frame(i == 0 ? opcode : 0x0, payload.substr(off, len), i + 1 == parts);
    if (i == 0 && ping_between && parts > 1) out += ping_frame("mid");
  }
  return out;
}

std::string RawPeer::big_message(size_t size) {
  std::string p(size, '\0');
  for (size_t k = 0; k < size; ++k) p[k] = static_cast<char>(burst_byte(k));
  return binary_frame(p);
}

std::string RawPeer::unknown_opcode_frame(int opcode, const std::string &payload) {
  return frame(opcode, payload);
}

std::string RawPeer::accept_key(const std::string &client_key) {
  std::string s = client_key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  unsigned char md[20];
  lws_SHA1(reinterpret_cast<const unsigned char *>(s.data()), s.size(), md);
  char b64[64];
  int n = lws_b64_encode_string(reinterpret_cast<const char *>(md), 20, b64, sizeof b64);
  return n > 0 ? std::string(b64, static_cast<size_t>(n)) : std::string();
}

void RawPeer::run() {
  while (!stop_) {
    pollfd pfds[2] = {{wake_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    if (poll(pfds, 2, -1) < 0) continue;
    if (pfds[0].revents) drain_wake(wake_fd_);
    if (stop_) break;
    if (pfds[1].revents & POLLIN) {
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) serve(fd);
    }
  }
}

void RawPeer::serve(int fd) {
  Session s;
  s.fd = fd;
  {
    std::lock_guard<std::mutex> lk(mu_);
    ++connections_;
    connected_ = true;
    changed();
  }

  auto queue = [&](std::string bytes, bool bytewise = false) {
    s.out.push_back(Session::Chunk{std::move(bytes), bytewise});
  };

  auto answer = [&](const Request &req) {
    std::string key = req.header("Sec-WebSocket-Key").value_or("");
    std::string accept = accept_key(key);
    switch (opts_.answer) {
      case Answer::kEmpty:
        s.fin_after_flush = true;
        s.phase = Session::kHold;
        return;
      case Answer::kNever:
        s.phase = Session::kHold;
        return;
      case Answer::kTruncated:
        queue("HTTP/1.1 101 Switching");
        s.fin_after_flush = true;
        s.phase = Session::kHold;
        return;
      case Answer::kCustom:
        queue(opts_.custom_response);
        s.phase = Session::kFrames;
        return;
      case Answer::kWrongAccept:
        accept = accept_key(key + "x");
        break;
      case Answer::kCorrect:
        break;
    }
    std::string r =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: " +
        accept + "\r\n";
    std::string proto;
    if (opts_.answer_protocol) {
      proto = *opts_.answer_protocol;
    } else if (auto offered = req.header("Sec-WebSocket-Protocol")) {
      proto = trim(offered->substr(0, offered->find(',')));
    }
    if (!proto.empty()) r += "Sec-WebSocket-Protocol: " + proto + "\r\n";
    for (const auto &h : opts_.extra_response_headers) r += h.first + ": " + h.second + "\r\n";
    queue(r + "\r\n");
    s.phase = Session::kFrames;
  };

  auto parse_request = [&]() -> bool {
    size_t end = s.in.find("\r\n\r\n");
    if (end == std::string::npos) return s.in.size() <= kMaxRequest;
    Request req;
    req.raw = s.in.substr(0, end + 4);
    s.in.erase(0, end + 4);
    size_t pos = req.raw.find("\r\n");
    req.request_line = req.raw.substr(0, pos);
    pos += 2;
    while (pos < end) {
      size_t eol = req.raw.find("\r\n", pos);
      std::string line = req.raw.substr(pos, eol - pos);
      pos = eol + 2;
      size_t colon = line.find(':');
      if (colon == std::string::npos) {
        req.headers.emplace_back(line, "");
      } else {
        req.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
      }
    }
    answer(req);
    if (s.phase == Session::kFrames) s.steps.assign(opts_.script.begin(), opts_.script.end());
    std::lock_guard<std::mutex> lk(mu_);
    requests_.push_back(std::move(req));
    changed();
    return true;
  };

  // Returns false on a frame we refuse to buffer.
  auto parse_frames = [&]() -> bool {
    for (;;) {
      if (s.in.size() < 2) return true;
      auto b = [&](size_t i) { return static_cast<unsigned char>(s.in[i]); };
      bool fin = b(0) & 0x80;
      int rsv = (b(0) >> 4) & 7;
      int op = b(0) & 0x0f;
      bool masked = b(1) & 0x80;
      uint64_t len = b(1) & 0x7f;
      size_t hdr = 2;
      if (len == 126) {
        if (s.in.size() < 4) return true;
        len = (uint64_t{b(2)} << 8) | b(3);
        hdr = 4;
      } else if (len == 127) {
        if (s.in.size() < 10) return true;
        len = 0;
        for (size_t i = 2; i < 10; ++i) len = (len << 8) | b(i);
        hdr = 10;
      }
      if (len > kMaxFrame) return false;
      size_t key_at = hdr;
      if (masked) hdr += 4;
      if (s.in.size() < hdr + len) return true;
      std::string payload = s.in.substr(hdr, static_cast<size_t>(len));
      if (masked)
        for (size_t i = 0; i < payload.size(); ++i)
          payload[i] = static_cast<char>(payload[i] ^ s.in[key_at + i % 4]);
      s.in.erase(0, hdr + static_cast<size_t>(len));

      std::lock_guard<std::mutex> lk(mu_);
      frames_.push_back(Frame{fin, op, masked, rsv, len});
      if (!masked) ++unmasked_;
      switch (op) {
        case 0x1:
        case 0x2:
        case 0x0:
          if (op != 0x0) {
            s.msg_open = true;
            s.msg_binary = op == 0x2;
            s.msg_compressed = opts_.deflate_bits && (rsv & 4);
            s.msg.clear();
          }
          s.msg += payload;
          if (fin && s.msg_open) {
            s.msg_open = false;
            ++s.msgs;
            if (s.msg_compressed) {
              if (!s.inflater) {
                s.inflater = {new z_stream{}, end_inflate};
                inflateInit2(s.inflater.get(), -15);
              }
              auto plain = run_zlib(s.inflater.get(), s.msg + std::string("\0\0\xff\xff", 4),
                                    [](z_stream *z, int f) { return inflate(z, f); });
              s.msg = plain ? *plain : std::string("<corrupt>");
            }
            if (opts_.echo && opts_.deflate_bits) {
              if (!s.deflater) {
                s.deflater = {new z_stream{}, end_deflate};
                deflateInit2(s.deflater.get(), 6, Z_DEFLATED, -opts_.deflate_bits, 8,
                             Z_DEFAULT_STRATEGY);
              }
              queue(frame(s.msg_binary ? 0x2 : 0x1, compress_with(s.deflater.get(), s.msg), true,
                          false, 4));
            } else if (opts_.echo) {
              queue(frame(s.msg_binary ? 0x2 : 0x1, s.msg));
            }
            messages_.push_back(Message{s.msg_binary, std::move(s.msg)});
            s.msg.clear();
          }
          break;
        case 0x8: {
          Close c{-1, {}};
          if (payload.size() >= 2) {
            c.code = (static_cast<unsigned char>(payload[0]) << 8) |
                     static_cast<unsigned char>(payload[1]);
            c.reason = payload.substr(2);
          }
          s.close_received = true;
          if (opts_.reply_close && !s.close_sent) {
            queue(close_frame(c.code));  // same code back, no reason
            s.close_sent = true;
          }
          if (s.close_sent) s.fin_after_flush = true;
          closes_.push_back(std::move(c));
          break;
        }
        case 0x9:
          ++s.pings;
          ping_payloads_.push_back(payload);
          if (opts_.auto_pong) queue(pong_frame(payload));
          break;
        case 0xA:
          ++pongs_;
          pong_payloads_.push_back(payload);
          break;
        default:
          break;
      }
      changed();
    }
  };

  bool reset = false;
  bool peer_eof = false;
  auto next_beat = std::chrono::steady_clock::now();
  while (!stop_ && !reset && !peer_eof) {
    if (s.phase == Session::kFrames) {
      std::lock_guard<std::mutex> lk(mu_);
      while (!queued_.empty()) {
        s.steps.push_back(std::move(queued_.front()));
        queued_.pop_front();
      }
    }
    // Run steps whose condition holds; writes only append to `out`, keeping order.
    while (!s.steps.empty() && !reset) {
      Step &st = s.steps.front();
      bool ready = true;
      switch (st.kind) {
        case Step::kSend:
          queue(st.bytes);
          break;
        case Step::kSendBytewise:
          queue(st.bytes, true);
          break;
        case Step::kWaitMessages:
          ready = s.msgs >= st.count;
          break;
        case Step::kWaitPings:
          ready = static_cast<size_t>(s.pings) >= st.count;
          break;
        case Step::kWaitClose:
          ready = s.close_received;
          break;
        case Step::kCloseTcp:
          s.fin_after_flush = true;
          break;
        case Step::kResetTcp:
          reset = true;
          break;
      }
      if (!ready) break;
      s.steps.pop_front();
    }
    if (reset) break;

    // Flush what the socket takes now.
    while (!s.out.empty()) {
      auto &c = s.out.front();
      if (c.bytewise) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      }
      size_t chunk = c.bytewise ? 1 : c.data.size();
      ssize_t n = send(fd, c.data.data(), chunk, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
        peer_eof = true;
        break;
      }
      c.data.erase(0, static_cast<size_t>(n));
      if (c.data.empty()) s.out.pop_front();
    }
    if (peer_eof) break;
    if (s.out.empty() && s.fin_after_flush && !s.fin_sent) {
      shutdown(fd, SHUT_WR);
      s.fin_sent = true;
    }

    int wait_ms = -1;
    if (opts_.heartbeat_ms > 0 && s.phase == Session::kFrames && !s.close_received) {
      auto now = std::chrono::steady_clock::now();
      if (now >= next_beat) {
        queue(text_frame("beat"));
        next_beat = now + std::chrono::milliseconds(opts_.heartbeat_ms);
        continue;
      }
      wait_ms = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(next_beat - now).count() + 1);
    }
    pollfd pfds[2] = {{wake_fd_, POLLIN, 0}, {fd, POLLIN, 0}};
    if (!s.out.empty()) pfds[1].events |= POLLOUT;
    if (poll(pfds, 2, wait_ms) < 0) continue;
    if (pfds[0].revents) drain_wake(wake_fd_);
    if (pfds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
      char buf[65536];
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n > 0) {
        s.in.append(buf, static_cast<size_t>(n));
        bool ok = true;
        if (s.phase == Session::kRequest) ok = parse_request();
        if (ok && s.phase == Session::kFrames) ok = parse_frames();
        if (s.phase == Session::kHold) s.in.clear();
        if (!ok) reset = true;
      } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        peer_eof = true;
      }
    }
  }
  if (reset) {
    struct linger lg = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  }
  close(fd);
  std::lock_guard<std::mutex> lk(mu_);
  connected_ = false;
  ++disconnects_;
  changed();
}

int RawPeer::connections() const {
  std::lock_guard<std::mutex> lk(mu_);
  return connections_;
}
std::vector<RawPeer::Request> RawPeer::requests() const {
  std::lock_guard<std::mutex> lk(mu_);
  return requests_;
}
std::optional<RawPeer::Request> RawPeer::last_request() const {
  std::lock_guard<std::mutex> lk(mu_);
  if (requests_.empty()) return std::nullopt;
  return requests_.back();
}
std::vector<RawPeer::Message> RawPeer::messages() const {
  std::lock_guard<std::mutex> lk(mu_);
  return messages_;
}
std::vector<RawPeer::Frame> RawPeer::frames() const {
  std::lock_guard<std::mutex> lk(mu_);
  return frames_;
}
int RawPeer::pings() const {
  std::lock_guard<std::mutex> lk(mu_);
  return static_cast<int>(ping_payloads_.size());
}
std::vector<std::string> RawPeer::ping_payloads() const {
  std::lock_guard<std::mutex> lk(mu_);
  return ping_payloads_;
}
std::vector<std::string> RawPeer::pong_payloads() const {
  std::lock_guard<std::mutex> lk(mu_);
  return pong_payloads_;
}
int RawPeer::pongs() const {
  std::lock_guard<std::mutex> lk(mu_);
  return pongs_;
}
std::vector<RawPeer::Close> RawPeer::closes() const {
  std::lock_guard<std::mutex> lk(mu_);
  return closes_;
}
int RawPeer::unmasked_frames() const {
  std::lock_guard<std::mutex> lk(mu_);
  return unmasked_;
}
bool RawPeer::connected() const {
  std::lock_guard<std::mutex> lk(mu_);
  return connected_;
}
int RawPeer::disconnects() const {
  std::lock_guard<std::mutex> lk(mu_);
  return disconnects_;
}

bool RawPeer::wait_handshake(std::chrono::milliseconds timeout, size_t n) const {
  return wait_for(
      [&] {
        std::lock_guard<std::mutex> lk(mu_);
        return requests_.size() >= n;
      },
      timeout);
}
bool RawPeer::wait_messages(size_t n, std::chrono::milliseconds timeout) const {
  return wait_for(
      [&] {
        std::lock_guard<std::mutex> lk(mu_);
        return messages_.size() >= n;
      },
      timeout);
}
bool RawPeer::wait_pings(int n, std::chrono::milliseconds timeout) const {
  return wait_for([&] { return pings() >= n; }, timeout);
}
bool RawPeer::wait_pongs(int n, std::chrono::milliseconds timeout) const {
  return wait_for([&] { return pongs() >= n; }, timeout);
}
bool RawPeer::wait_close(std::chrono::milliseconds timeout, size_t n) const {
  return wait_for([&] { return closes().size() >= n; }, timeout);
}
bool RawPeer::wait_disconnected(std::chrono::milliseconds timeout, int n) const {
  return wait_for([&] { return disconnects() >= n; }, timeout);
}

}  // namespace ywstest
