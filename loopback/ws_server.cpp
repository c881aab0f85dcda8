#include <libwebsockets.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "certs.h"
#include "ws_test_server.h"

namespace ywstest {
namespace {

constexpr size_t kThrottleHigh = 8u << 20;  // queued echo bytes before we stop reading
constexpr size_t kThrottleLow = 1u << 20;
constexpr int kWritesPerCallback = 16;  // keeps one busy connection from starving the rest

std::string lower(std::string s) {
  for (auto &ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

std::string hdr(lws *wsi, lws_token_indexes t) {
  int n = lws_hdr_total_length(wsi, t);
  if (n <= 0) return {};
  std::string v(static_cast<size_t>(n) + 1, '\0');
  int got = lws_hdr_copy(wsi, v.data(), n + 1, t);
  v.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return v;
}

std::optional<std::string> custom_hdr(lws *wsi, std::string name) {
  name += ':';
  for (const std::string &cand : {name, lower(name)}) {
    int nlen = static_cast<int>(cand.size());
    int n = lws_hdr_custom_length(wsi, cand.c_str(), nlen);
    if (n < 0) continue;
    std::string v(static_cast<size_t>(n) + 1, '\0');
    int got = lws_hdr_custom_copy(wsi, v.data(), n + 1, cand.c_str(), nlen);
    v.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return v;
  }
  return std::nullopt;
}

bool parse_u64(const std::string &s, uint64_t &out) {
  if (s.empty() || s.size() > 19) return false;
  for (char ch : s)
    if (ch < '0' || ch > '9') return false;
  out = std::strtoull(s.c_str(), nullptr, 10);
  return true;
}

std::vector<std::string> split_path(const std::string &path) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i < path.size()) {
    if (path[i] == '/') {
      ++i;
      continue;
    }
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    parts.push_back(path.substr(i, j - i));
    i = j;
  }
  return parts;
}

// A reset rather than a FIN: the peer must see the stream die without any close frame.
void reset_socket(lws *wsi) {
  int fd = lws_get_socket_fd(wsi);
  if (fd < 0) return;
  struct linger lg = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  // connect(AF_UNSPEC) disconnects a TCP socket with an immediate RST, leaving the fd to lws.
  struct sockaddr sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_family = AF_UNSPEC;
  (void)connect(fd, &sa, sizeof sa);
}

}  // namespace

// A whole text message of n bytes: ASCII, or about half its bytes in 2- to
// 4-byte characters, padded with ASCII where a character would not fit.
void fill_text(unsigned char *p, size_t n, bool multibyte) {
  static const char kMixed[] = "h\xC3\xA9llo \xE2\x82\xAC w\xF0\x9D\x84\x9E ";
  static const unsigned char kLen[] = {1, 2, 0, 1, 1, 1, 1, 3, 0, 0, 1, 1, 4, 0, 0, 0, 1};
  size_t i = 0, j = 0;
  while (i < n) {
    size_t len = multibyte ? kLen[j] : 1;
    if (!multibyte || i + len > n) {
      p[i] = static_cast<unsigned char>('a' + i % 26);
      i++;
      continue;
    }
    std::memcpy(p + i, kMixed + j, len);
    i += len;
    j = (j + len) % (sizeof(kMixed) - 1);
  }
}

struct WsServer::Conn {
  enum Mode { kEcho, kCloseAfter, kDropAfter, kBurst, kStall };
  int id = 0;
  std::string path;
  Mode mode = kEcho;
  uint64_t limit = 0;
  uint64_t burst_total = 0, burst_sent = 0;
  size_t burst_size = 0;
  int burst_text = 0;           // 0 binary, 1 ASCII text, 2 text with multi-byte characters
  uint32_t prng = 0x9E3779B9u;  // same seed as burst_message_sizes()
  bool in_msg = false, rx_binary = false;
  std::string rx;
  uint64_t received = 0, sent = 0;
  std::deque<std::pair<bool, std::string>> out;
  size_t out_bytes = 0;
  bool stalled = false, throttled = false;
  bool close_pending = false, drop_pending = false;
  int close_code = LWS_CLOSE_STATUS_NORMAL;
  std::string close_reason = "bye";

  size_t next_burst_size() {
    size_t n = burst_size;
    if (n == 0) {
      prng ^= prng << 13;
      prng ^= prng >> 17;
      prng ^= prng << 5;
      n = 1 + prng % 2048;
    }
    return static_cast<size_t>(std::min<uint64_t>(n, burst_total - burst_sent));
  }
};

struct WsServer::Internal {
  static int callback(lws *wsi, lws_callback_reasons reason, void *, void *in, size_t len) {
    auto *self = static_cast<WsServer *>(lws_context_user(lws_get_context(wsi)));
    return self->on_event(wsi, static_cast<int>(reason), in, len);
  }
};

std::optional<std::string> WsServer::Handshake::header(const std::string &name) const {
  std::string want = lower(name);
  for (const auto &h : headers)
    if (lower(h.first) == want) return h.second;
  return std::nullopt;
}

WsServer::WsServer() : WsServer(Options{}) {}

WsServer::WsServer(Options opts) : opts_(std::move(opts)) {
  if (opts_.tls == Tls::kFiles) {
    cert_path_ = opts_.cert_file;
    key_path_ = opts_.key_file;
  } else if (opts_.tls != Tls::kNone) {
    dir_ = std::make_unique<TempDir>();
    CertFiles f = make_cert_files(dir_->path(), opts_.tls == Tls::kCaSigned);
    cert_path_ = f.cert;
    key_path_ = f.key;
    ca_path_ = f.ca;
    other_ca_path_ = f.other_ca;
  }
  // Protocol 0 serves upgrades without a sub-protocol; lws 4.1 refuses a requested
  // sub-protocol that has no table entry of the same name.
  protocol_names_ = {kDefaultProtocol, "chat", "yws.test"};
  for (const auto &p : opts_.extra_subprotocols)
    if (std::find(protocol_names_.begin(), protocol_names_.end(), p) == protocol_names_.end())
      protocol_names_.push_back(p);
  for (const auto &name : protocol_names_) {
    lws_protocols p;
    std::memset(&p, 0, sizeof p);
    p.name = name.c_str();
    p.callback = &Internal::callback;
    p.rx_buffer_size = 16384;
    protocols_.push_back(p);
  }
  lws_protocols end;
  std::memset(&end, 0, sizeof end);
  protocols_.push_back(end);

  thread_ = std::thread([this] { run(); });
  std::unique_lock<std::mutex> lk(mu_);
  cv_.wait(lk, [this] { return started_ || !start_error_.empty(); });
  if (!start_error_.empty()) {
    std::string err = start_error_;
    lk.unlock();
    thread_.join();
    throw std::runtime_error(err);
  }
}

WsServer::~WsServer() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
    if (ctx_) lws_cancel_service(ctx_);
  }
  if (thread_.joinable()) thread_.join();
}

void WsServer::run() {
  lws_context_creation_info info;
  std::memset(&info, 0, sizeof info);
  info.port = 0;  // ephemeral; read back with lws_get_vhost_listen_port
  info.iface = "127.0.0.1";
  info.protocols = protocols_.data();
  info.user = this;
  info.gid = -1;
  info.uid = -1;
  info.max_http_header_data = 8192;
  info.options = LWS_SERVER_OPTION_DISABLE_IPV6;
  if (opts_.validate_utf8) info.options |= LWS_SERVER_OPTION_VALIDATE_UTF8;
  if (opts_.deflate) {
    exts_.assign(2 * sizeof(lws_extension), 0);
    auto *ext = reinterpret_cast<lws_extension *>(exts_.data());
    ext[0].name = "permessage-deflate";
    ext[0].callback = lws_extension_callback_pm_deflate;
    ext[0].client_offer = "permessage-deflate";
    info.extensions = ext;
  }
  // lws 4.1 keys its cached client SSL_CTX by an ex_data index that every later context
  // creation replaces, so a context that is not the newest one leaks that SSL_CTX on
  // destruction. The server never dials out: hand it a client SSL_CTX we free ourselves.
  SSL_CTX *client_ctx = nullptr;
  if (opts_.tls != Tls::kNone) {
    info.options |= LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
    info.ssl_cert_filepath = cert_path_.c_str();
    info.ssl_private_key_filepath = key_path_.c_str();
    client_ctx = SSL_CTX_new(TLS_client_method());
    info.provided_client_ssl_ctx = client_ctx;
    if (!opts_.client_ca.empty()) {
      info.ssl_ca_filepath = opts_.client_ca.c_str();
      info.options |= LWS_SERVER_OPTION_REQUIRE_VALID_OPENSSL_CLIENT_CERT;
    }
  }
  // Context creation in this library version is not safe on two threads at once
  // (its global TLS set-up, its log buffer): servers of one process take turns.
  static std::mutex creating;
  lws_context *ctx;
  {
    std::lock_guard<std::mutex> lk(creating);
    ctx = lws_create_context(&info);
  }
  int port = -1;
  if (ctx) {
    lws_vhost *vh = lws_get_vhost_by_name(ctx, "default");
    port = vh ? lws_get_vhost_listen_port(vh) : -1;
  }
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (!ctx || port <= 0) {
      start_error_ = ctx ? "WsServer: no listen port" : "WsServer: lws_create_context failed";
    } else {
      ctx_ = ctx;
      port_ = port;
      started_ = true;
    }
    changed();
  }
  if (ctx && port > 0) {
    for (;;) {
      if (lws_service(ctx, 0) < 0) break;
      // Under the lock: the destructor's lws_cancel_service must not race the destroy below.
      std::lock_guard<std::mutex> lk(mu_);
      if (stop_) break;
    }
  }
  {
    std::lock_guard<std::mutex> lk(mu_);
    ctx_ = nullptr;  // commands posted from now on are dropped
  }
  if (ctx) lws_context_destroy(ctx);
  if (client_ctx) SSL_CTX_free(client_ctx);
}

std::string WsServer::url(const std::string &path) const {
  std::string p = path.empty() || path[0] != '/' ? "/" + path : path;
  return std::string(tls() ? "wss" : "ws") + "://127.0.0.1:" + std::to_string(port_) + p;
}

std::vector<std::string> WsServer::accepted_subprotocols() const {
  return protocol_names_;
}

void WsServer::post(Command c) {
  std::lock_guard<std::mutex> lk(mu_);
  if (!ctx_) return;
  commands_.push_back(std::move(c));
  lws_cancel_service(ctx_);
}

void WsServer::resume_reading() {
  post(Command{Command::kResume, false, {}, 0});
}
void WsServer::send_to_all(bool binary, const std::string &data) {
  post(Command{Command::kSend, binary, data, 0});
}
void WsServer::close_all(int code, const std::string &reason) {
  post(Command{Command::kClose, false, reason, code});
}
void WsServer::drop_all() {
  post(Command{Command::kDrop, false, {}, 0});
}

void WsServer::run_commands() {
  std::deque<Command> cmds;
  {
    std::lock_guard<std::mutex> lk(mu_);
    cmds.swap(commands_);
  }
  for (auto &cmd : cmds) {
    for (auto &entry : conns_) {
      lws *wsi = entry.first;
      Conn &c = *entry.second;
      switch (cmd.kind) {
        case Command::kResume:
          if (c.stalled) {
            c.stalled = false;
            if (!c.throttled) lws_rx_flow_control(wsi, 1);
          }
          break;
        case Command::kSend:
          c.out.emplace_back(cmd.binary, cmd.data);
          c.out_bytes += cmd.data.size();
          lws_callback_on_writable(wsi);
          break;
        case Command::kClose:
          c.close_pending = true;
          c.close_code = cmd.code;
          c.close_reason = cmd.data;
          lws_callback_on_writable(wsi);
          break;
        case Command::kDrop:
          c.drop_pending = true;
          c.out.clear();
          c.out_bytes = 0;
          lws_callback_on_writable(wsi);
          break;
      }
    }
  }
}

void WsServer::record_handshake(lws *wsi) {
  Handshake h;
  h.path = hdr(wsi, WSI_TOKEN_GET_URI);
  h.host = hdr(wsi, WSI_TOKEN_HOST);
  h.origin = hdr(wsi, WSI_TOKEN_ORIGIN);
  h.protocol = hdr(wsi, WSI_TOKEN_PROTOCOL);
  for (int t = 0; t < static_cast<int>(WSI_TOKEN_COUNT); ++t) {
    auto tok = static_cast<lws_token_indexes>(t);
    const unsigned char *name = lws_token_to_string(tok);
    if (!name) continue;
    std::string n(reinterpret_cast<const char *>(name));
    // Request-line pseudo tokens ("get " ...) carry no colon.
    if (n.size() < 2 || n.back() != ':' || n[0] == ':') continue;
    if (lws_hdr_total_length(wsi, tok) <= 0) continue;
    n.pop_back();
    h.headers.emplace_back(n, hdr(wsi, tok));
  }
  for (const auto &name : opts_.capture_headers)
    if (auto v = custom_hdr(wsi, name)) h.headers.emplace_back(name, *v);
  std::lock_guard<std::mutex> lk(mu_);
  pending_handshake_[wsi] = handshakes_.size();
  handshakes_.push_back(std::move(h));
  changed();
}

void WsServer::update_conn(const Conn &c) {
  ConnInfo &i = infos_[c.id];
  i.bytes_sent = c.burst_sent;
  i.messages_received = c.received;
  i.messages_sent = c.sent;
  changed();
}

// Runs before the 101 goes out, so a client never sees its connection established before the
// server counts it.
void WsServer::start_conn(lws *wsi) {
  auto c = std::make_unique<Conn>();
  c->id = next_id_++;
  c->path = hdr(wsi, WSI_TOKEN_GET_URI);
  auto parts = split_path(c->path);
  uint64_t a = 0, b = 0;
  if (parts.size() == 2 && parts[0] == "close-after" && parse_u64(parts[1], a)) {
    c->mode = Conn::kCloseAfter;
    c->limit = a;
  } else if (parts.size() == 2 && parts[0] == "drop-after" && parse_u64(parts[1], a)) {
    c->mode = Conn::kDropAfter;
    c->limit = a;
  } else if ((parts.size() == 3 || parts.size() == 4) && parts[0] == "burst" &&
             parse_u64(parts[1], a) && parse_u64(parts[2], b)) {
    c->mode = Conn::kBurst;
    c->burst_total = a;
    c->burst_size = static_cast<size_t>(b);
    if (parts.size() == 4) c->burst_text = parts[3] == "utf8" ? 2 : 1;
  } else if (parts.size() == 1 && parts[0] == "stall-read") {
    c->mode = Conn::kStall;
    c->stalled = true;
  }
  // A limit of 0 acts at once, before any message.
  if (c->mode == Conn::kCloseAfter && c->limit == 0) c->close_pending = true;
  if (c->mode == Conn::kDropAfter && c->limit == 0) c->drop_pending = true;

  {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = pending_handshake_.find(wsi);
    if (it != pending_handshake_.end()) {
      Handshake &h = handshakes_[it->second];
      h.conn_id = c->id;
      const lws_protocols *p = lws_get_protocol(wsi);
      if (!h.protocol.empty() && p && p->name) h.accepted_protocol = p->name;
      pending_handshake_.erase(it);
    }
    infos_[c->id] = ConnInfo{c->id, c->path, true, 0, 0, 0};
    ++open_;
    ++total_;
    changed();
  }
  conns_[wsi] = std::move(c);
}

void WsServer::established(lws *wsi, Conn &c) {
  if (c.stalled) lws_rx_flow_control(wsi, 0);
  if (c.mode == Conn::kBurst || c.close_pending || c.drop_pending) lws_callback_on_writable(wsi);
}

void WsServer::end_conn(lws *wsi) {
  auto it = conns_.find(wsi);
  std::lock_guard<std::mutex> lk(mu_);
  pending_handshake_.erase(wsi);  // a refused upgrade leaves one behind
  if (it == conns_.end()) return;
  update_conn(*it->second);
  infos_[it->second->id].open = false;
  --open_;
  ++closed_;
  changed();
  conns_.erase(it);
}

void WsServer::on_receive(lws *wsi, Conn &c, const void *in, size_t len) {
  if (!c.in_msg) {
    c.in_msg = true;
    c.rx_binary = lws_frame_is_binary(wsi) != 0;
    c.rx.clear();
  }
  if (len) c.rx.append(static_cast<const char *>(in), len);
  if (!lws_is_final_fragment(wsi) || lws_remaining_packet_payload(wsi) != 0) return;
  c.in_msg = false;
  std::string data;
  data.swap(c.rx);
  bool finishing = c.close_pending || c.drop_pending;
  ++c.received;
  {
    std::lock_guard<std::mutex> lk(mu_);
    messages_.push_back(Message{c.id, c.rx_binary, data});
    update_conn(c);
  }
  if (finishing) return;
  if (c.mode == Conn::kDropAfter && c.received >= c.limit) {
    c.drop_pending = true;  // the Nth message is not echoed
  } else {
    c.out_bytes += data.size();
    c.out.emplace_back(c.rx_binary, std::move(data));
    if (c.mode == Conn::kCloseAfter && c.received >= c.limit) c.close_pending = true;
  }
  if (c.out_bytes > kThrottleHigh && !c.throttled) {
    c.throttled = true;
    lws_rx_flow_control(wsi, 0);
  }
  lws_callback_on_writable(wsi);
}

int WsServer::on_writeable(lws *wsi, Conn &c) {
  if (c.drop_pending && c.out.empty()) {
    reset_socket(wsi);
    return -1;
  }
  if (c.burst_sent < c.burst_total) {
    std::vector<unsigned char> buf;
    // A compressed write may leave output for the library to drain: one per callback then.
    const int writes = opts_.deflate ? 1 : kWritesPerCallback;
    for (int i = 0; i < writes && c.burst_sent < c.burst_total; ++i) {
      size_t n = c.next_burst_size();
      buf.resize(LWS_PRE + n);
      if (c.burst_text)
        fill_text(buf.data() + LWS_PRE, n, c.burst_text == 2);
      else
        for (size_t k = 0; k < n; ++k) buf[LWS_PRE + k] = burst_byte(c.burst_sent + k);
      if (lws_write(wsi, buf.data() + LWS_PRE, n,
                    c.burst_text ? LWS_WRITE_TEXT : LWS_WRITE_BINARY) < 0)
        return -1;
      c.burst_sent += n;
      ++c.sent;
      if (lws_send_pipe_choked(wsi)) break;
    }
    {
      std::lock_guard<std::mutex> lk(mu_);
      update_conn(c);
    }
    lws_callback_on_writable(wsi);
    return 0;
  }
  if (!c.out.empty()) {
    std::vector<unsigned char> buf;
    const int writes = opts_.deflate ? 1 : kWritesPerCallback;
    for (int i = 0; i < writes && !c.out.empty(); ++i) {
      auto &m = c.out.front();
      buf.resize(LWS_PRE + m.second.size());
      if (!m.second.empty()) std::memcpy(buf.data() + LWS_PRE, m.second.data(), m.second.size());
      auto type = m.first ? LWS_WRITE_BINARY : LWS_WRITE_TEXT;
      if (lws_write(wsi, buf.data() + LWS_PRE, m.second.size(), type) < 0) return -1;
      c.out_bytes -= m.second.size();
      c.out.pop_front();
      ++c.sent;
      if (lws_send_pipe_choked(wsi)) break;
    }
    {
      std::lock_guard<std::mutex> lk(mu_);
      update_conn(c);
    }
    if (c.throttled && c.out_bytes < kThrottleLow) {
      c.throttled = false;
      if (!c.stalled) lws_rx_flow_control(wsi, 1);
    }
    if (!c.out.empty() || c.close_pending || c.drop_pending) lws_callback_on_writable(wsi);
    return 0;
  }
  if (c.close_pending) {
    lws_close_reason(wsi, static_cast<lws_close_status>(c.close_code),
                     reinterpret_cast<unsigned char *>(c.close_reason.data()),
                     c.close_reason.size());
    return -1;
  }
  return 0;
}

int WsServer::on_event(lws *wsi, int reason_int, void *in, size_t len) {
  auto reason = static_cast<lws_callback_reasons>(reason_int);
  switch (reason) {
    case LWS_CALLBACK_OPENSSL_PERFORM_CLIENT_CERT_VERIFICATION:
      // len carries OpenSSL's preverify result; 0 from here would accept any certificate.
      return len ? 0 : 1;
    case LWS_CALLBACK_HTTP_CONFIRM_UPGRADE:
      record_handshake(wsi);
      if (hdr(wsi, WSI_TOKEN_GET_URI) == "/refuse") {
        // >0 tells lws we answered the request ourselves.
        lws_return_http_status(wsi, HTTP_STATUS_FORBIDDEN, nullptr);
        return 1;
      }
      return 0;
    case LWS_CALLBACK_HTTP:
      // Plain HTTP is not served.
      if (lws_return_http_status(wsi, HTTP_STATUS_NOT_FOUND, nullptr)) return -1;
      return lws_http_transaction_completed(wsi) ? -1 : 0;
    case LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION:
      start_conn(wsi);
      return 0;
    case LWS_CALLBACK_ESTABLISHED: {
      auto it = conns_.find(wsi);
      if (it != conns_.end()) established(wsi, *it->second);
      return 0;
    }
    case LWS_CALLBACK_RECEIVE: {
      auto it = conns_.find(wsi);
      if (it != conns_.end()) on_receive(wsi, *it->second, in, len);
      return 0;
    }
    case LWS_CALLBACK_SERVER_WRITEABLE: {
      auto it = conns_.find(wsi);
      return it == conns_.end() ? 0 : on_writeable(wsi, *it->second);
    }
    case LWS_CALLBACK_WS_PEER_INITIATED_CLOSE: {
      auto it = conns_.find(wsi);
      PeerClose pc{it == conns_.end() ? -1 : it->second->id, -1, {}};
      const auto *p = static_cast<const unsigned char *>(in);
      if (p && len >= 2) {
        pc.code = (p[0] << 8) | p[1];
        pc.reason.assign(reinterpret_cast<const char *>(p + 2), len - 2);
      }
      std::lock_guard<std::mutex> lk(mu_);
      closes_.push_back(std::move(pc));
      changed();
      return 0;
    }
    case LWS_CALLBACK_CLOSED:
    case LWS_CALLBACK_WSI_DESTROY:  // covers an upgrade that failed after the filter
      end_conn(wsi);
      return 0;
    case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
      run_commands();
      return 0;
    default:
      return lws_callback_http_dummy(wsi, reason, nullptr, in, len);
  }
}

std::vector<WsServer::Handshake> WsServer::handshakes() const {
  std::lock_guard<std::mutex> lk(mu_);
  return handshakes_;
}
std::vector<WsServer::Message> WsServer::messages() const {
  std::lock_guard<std::mutex> lk(mu_);
  return messages_;
}
size_t WsServer::message_count() const {
  std::lock_guard<std::mutex> lk(mu_);
  return messages_.size();
}
std::vector<WsServer::PeerClose> WsServer::peer_closes() const {
  std::lock_guard<std::mutex> lk(mu_);
  return closes_;
}
std::vector<int> WsServer::close_codes() const {
  std::lock_guard<std::mutex> lk(mu_);
  std::vector<int> out;
  for (const auto &c : closes_) out.push_back(c.code);
  return out;
}
std::vector<WsServer::ConnInfo> WsServer::connections() const {
  std::lock_guard<std::mutex> lk(mu_);
  std::vector<ConnInfo> out;
  for (const auto &e : infos_) out.push_back(e.second);
  return out;
}
std::optional<WsServer::ConnInfo> WsServer::connection(int id) const {
  std::lock_guard<std::mutex> lk(mu_);
  auto it = infos_.find(id);
  if (it == infos_.end()) return std::nullopt;
  return it->second;
}
uint64_t WsServer::bytes_sent(int conn_id) const {
  auto c = connection(conn_id);
  return c ? c->bytes_sent : 0;
}
int WsServer::open_connections() const {
  std::lock_guard<std::mutex> lk(mu_);
  return open_;
}
int WsServer::total_connections() const {
  std::lock_guard<std::mutex> lk(mu_);
  return total_;
}
int WsServer::closed_connections() const {
  std::lock_guard<std::mutex> lk(mu_);
  return closed_;
}

bool WsServer::wait_handshakes(size_t n, std::chrono::milliseconds timeout) const {
  return wait_for([&] { return handshakes().size() >= n; }, timeout);
}
bool WsServer::wait_messages(size_t n, std::chrono::milliseconds timeout) const {
  return wait_for([&] { return message_count() >= n; }, timeout);
}
bool WsServer::wait_open(int n, std::chrono::milliseconds timeout) const {
  return wait_for([&] { return open_connections() >= n; }, timeout);
}
bool WsServer::wait_closed(int n, std::chrono::milliseconds timeout) const {
  return wait_for([&] { return closed_connections() >= n; }, timeout);
}
bool WsServer::wait_peer_closes(size_t n, std::chrono::milliseconds timeout) const {
  return wait_for([&] { return peer_closes().size() >= n; }, timeout);
}

}  // namespace ywstest
