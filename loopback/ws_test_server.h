// Real WebSocket peers for the integration tests, the console demo and the benchmark.
//
// WsServer   libwebsockets server on its own thread; behaviour chosen by request path.
// StallServer TCP listener that accepts and never answers.
// RawPeer    hand-written WebSocket server for hostile-peer tests and exact wire observation.
//
// All servers listen on 127.0.0.1 with an ephemeral port, are safe to query from any thread and
// stop (threads joined, sockets closed) in their destructors.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct lws;
struct lws_context;
struct lws_protocols;

namespace ywstest {

using Headers = std::vector<std::pair<std::string, std::string>>;

// Byte at offset k of a /burst stream.
inline uint8_t burst_byte(uint64_t k) {
  return static_cast<uint8_t>(k % 251);
}

// Message sizes a /burst/TOTAL/SIZE connection sends (SIZE 0: deterministic PRNG in 1..2048).
std::vector<size_t> burst_message_sizes(uint64_t total, size_t size);

// Unique temporary directory, removed with its content on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Waiting on observations: every change bumps a version under the mutex, so a predicate that
// takes the same mutex can be evaluated without holding it and no wake-up is lost.
class Observable {
 public:
  bool wait_for(const std::function<bool()> &pred, std::chrono::milliseconds timeout) const;

 protected:
  void changed();  // caller holds mu_
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  uint64_t version_ = 0;
};

// Behaviour by request path (query strings ignored):
//   /refuse             upgrade answered with HTTP 403
//   /close-after/N      echo; after the Nth message (echoed) a close frame 1000 "bye"
//   /drop-after/N       echo messages 1..N-1; on the Nth (not echoed) a TCP reset, no close frame
//   /burst/TOTAL/SIZE   right after the handshake TOTAL bytes as binary messages of SIZE bytes
//                       (0: burst_message_sizes()), byte k = burst_byte(k); then echo
//   /burst/TOTAL/SIZE/ascii, .../utf8  the same as text messages: ASCII, or about half the
//                       bytes in 2- to 4-byte characters
//   /stall-read         stop reading after the handshake until resume_reading(); then echo
//   anything else       echo every whole message with its type
// N of 0 acts right after the handshake. A requested sub-protocol must be one of
// accepted_subprotocols(), otherwise lws drops the connection without an HTTP answer.
class WsServer : public Observable {
 public:
  enum class Tls {
    kNone,
    kSelfSigned,  // self-signed leaf; ca_path() == cert_path()
    kCaSigned,    // leaf signed by a generated CA; ca_path() is that CA
    kFiles,       // Options::cert_file and key_file as given (e.g. from make_test_pki)
  };
  struct Options {
    Tls tls = Tls::kNone;
    // Sub-protocols accepted besides the defaults ("chat", "yws.test", kDefaultProtocol).
    std::vector<std::string> extra_subprotocols;
    // Non-standard request headers to capture, e.g. "X-Token" (looked up by name: lws 4.1
    // cannot enumerate unknown headers).
    std::vector<std::string> capture_headers;
    // Tls::kFiles: the served certificate (with any chain after it) and its key.
    std::string cert_file, key_file;
    // Non-empty: a client certificate issued by this CA is required (mutual TLS).
    std::string client_ca;
    // Text messages must be valid UTF-8: otherwise the server closes with 1007.
    bool validate_utf8 = false;
    // Accept per-message deflate (the library's own, answering the client's windows).
    bool deflate = false;
  };
  static constexpr const char *kDefaultProtocol = "ywstest-default";

  struct Handshake {
    int conn_id = -1;  // -1 when the upgrade was refused or failed
    std::string path;
    std::string host;
    std::string origin;
    std::string protocol;           // Sec-WebSocket-Protocol as requested
    std::string accepted_protocol;  // name answered (empty when the client asked for none)
    // Headers lws knows (lower-case, in lws's table order, not wire order), then the
    // Options::capture_headers found. RawPeer shows the wire order.
    Headers headers;
    std::optional<std::string> header(const std::string &name) const;  // case-insensitive
  };
  struct Message {
    int conn_id;
    bool binary;
    std::string data;
  };
  struct PeerClose {
    int conn_id;
    int code;  // -1 when the close frame had no status code
    std::string reason;
  };
  struct ConnInfo {
    int id;
    std::string path;
    bool open;
    uint64_t bytes_sent;  // payload bytes of the /burst stream
    uint64_t messages_received;
    uint64_t messages_sent;
  };

  WsServer();
  explicit WsServer(Options opts);
  ~WsServer();
  WsServer(const WsServer &) = delete;
  WsServer &operator=(const WsServer &) = delete;

  int port() const { return port_; }
  std::string url(const std::string &path = "/") const;
  bool tls() const { return opts_.tls != Tls::kNone; }
  std::string cert_path() const { return cert_path_; }
  std::string key_path() const { return key_path_; }
  std::string ca_path() const { return ca_path_; }
  std::string other_ca_path() const { return other_ca_path_; }  // did not sign the served cert
  std::vector<std::string> accepted_subprotocols() const;

  // Commands run on the server thread.
  void resume_reading();  // every /stall-read connection stalled now
  void send_to_all(bool binary, const std::string &data);
  void close_all(int code, const std::string &reason);
  void drop_all();  // TCP reset, no close frame

  std::vector<Handshake> handshakes() const;
  std::vector<Message> messages() const;
  size_t message_count() const;
  std::vector<PeerClose> peer_closes() const;
  std::vector<int> close_codes() const;
  std::vector<ConnInfo> connections() const;
  std::optional<ConnInfo> connection(int id) const;
  uint64_t bytes_sent(int conn_id) const;
  int open_connections() const;
  int total_connections() const;
  int closed_connections() const;

  bool wait_handshakes(size_t n, std::chrono::milliseconds timeout) const;
  bool wait_messages(size_t n, std::chrono::milliseconds timeout) const;
  bool wait_open(int n, std::chrono::milliseconds timeout) const;
  bool wait_closed(int n, std::chrono::milliseconds timeout) const;
  bool wait_peer_closes(size_t n, std::chrono::milliseconds timeout) const;

  struct Conn;      // server-thread state of one connection
  struct Internal;  // lws callback glue

 private:
  friend struct Internal;
  struct Command {
    enum Kind { kResume, kSend, kClose, kDrop } kind;
    bool binary = false;
    std::string data;
    int code = 0;
  };
  int on_event(lws *wsi, int reason, void *in, size_t len);
  void run();
  void post(Command c);
  void run_commands();
  void start_conn(lws *wsi);
  void established(lws *wsi, Conn &c);
  void end_conn(lws *wsi);
  void on_receive(lws *wsi, Conn &c, const void *in, size_t len);
  int on_writeable(lws *wsi, Conn &c);
  void record_handshake(lws *wsi);
  void update_conn(const Conn &c);

  Options opts_;
  std::unique_ptr<TempDir> dir_;
  std::string cert_path_, key_path_, ca_path_, other_ca_path_;
  std::vector<std::string> protocol_names_;
  std::vector<lws_protocols> protocols_;
  std::vector<unsigned char> exts_;  // lws_extension table when Options::deflate
  int port_ = 0;
  lws_context *ctx_ = nullptr;
  std::thread thread_;
  bool stop_ = false;  // guarded by mu_

  // Server thread only.
  std::map<lws *, std::unique_ptr<Conn>> conns_;
  std::map<lws *, size_t> pending_handshake_;
  int next_id_ = 1;

  // Guarded by mu_.
  std::deque<Command> commands_;
  std::vector<Handshake> handshakes_;
  std::vector<Message> messages_;
  std::vector<PeerClose> closes_;
  std::map<int, ConnInfo> infos_;
  int open_ = 0, total_ = 0, closed_ = 0;
  bool started_ = false;
  std::string start_error_;
};

class StallServer : public Observable {
 public:
  StallServer();
  ~StallServer();
  StallServer(const StallServer &) = delete;
  StallServer &operator=(const StallServer &) = delete;

  int port() const { return port_; }
  std::string url(const std::string &path = "/", bool tls = false) const;
  int accepted() const;
  uint64_t bytes_received() const;  // read and ignored
  bool wait_accepted(int n, std::chrono::milliseconds timeout) const;

 private:
  void run();
  int listen_fd_ = -1;
  int wake_fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::vector<int> clients_;  // I/O thread only
  int accepted_ = 0;          // guarded by mu_
  uint64_t bytes_ = 0;        // guarded by mu_
};

class RawPeer : public Observable {
 public:
  enum class Answer {
    kCorrect,      // 101 with the right accept key, echoes the first requested sub-protocol
    kWrongAccept,  // 101 with a wrong Sec-WebSocket-Accept
    kTruncated,    // "HTTP/1.1 101 Switching" then FIN
    kEmpty,        // FIN right after the request
    kNever,        // read the request, answer nothing, hold the connection
    kCustom,       // Options::custom_response verbatim, then frames as after kCorrect
  };
  struct Step {
    enum Kind {
      kSend,          // bytes in one write
      kSendBytewise,  // one write per byte, TCP_NODELAY
      kWaitMessages,  // until this connection received `count` data messages
      kWaitPings,     // until this connection received `count` pings
      kWaitClose,     // until a close frame arrived on this connection
      kCloseTcp,      // FIN
      kResetTcp,      // RST
    } kind;
    std::string bytes;
    size_t count = 0;
  };
  struct Options {
    Answer answer = Answer::kCorrect;
    bool echo = false;        // echo data messages back, unmasked, same opcode
    bool auto_pong = true;    // answer pings
    bool reply_close = true;  // answer a close frame with the same code, then FIN
    // Every this many ms after the handshake a text frame "beat" (0: none): a server that
    // talks without answering pings when auto_pong is false.
    int heartbeat_ms = 0;
    // Sub-protocol to answer instead of the client's first choice; "" omits the header.
    std::optional<std::string> answer_protocol;
    Headers extra_response_headers;
    std::string custom_response;
    std::vector<Step> script;  // run after the handshake answer on every connection
    // Non-zero: inflate compressed (RSV1) messages with this window and echo compressed with
    // it, both with context takeover (zlib, independent of the library). The answer header
    // itself goes in extra_response_headers.
    int deflate_bits = 0;
  };

  struct Request {
    std::string raw;  // up to and including the blank line
    std::string request_line;
    Headers headers;                                                   // in order, as sent
    std::optional<std::string> header(const std::string &name) const;  // case-insensitive
  };
  struct Frame {
    bool fin;
    int opcode;
    bool masked;
    int rsv;
    uint64_t length;
  };
  struct Message {
    bool binary;
    std::string data;
  };
  struct Close {
    int code;  // -1 when absent
    std::string reason;
  };

  RawPeer();
  explicit RawPeer(Options opts);
  ~RawPeer();
  RawPeer(const RawPeer &) = delete;
  RawPeer &operator=(const RawPeer &) = delete;

  int port() const { return port_; }
  std::string url(const std::string &path = "/") const;

  // Queued behind the script; executed on the I/O thread for the current connection (or the
  // next one). send_raw is one send() unless the socket takes less, so two frames given
  // together leave in one TCP write.
  void send_raw(const std::string &bytes);
  void send_bytewise(const std::string &bytes);
  void close_tcp();
  void reset_tcp();

  // Frame builders (server frames are unmasked unless asked).
  static std::string frame(int opcode, const std::string &payload, bool fin = true,
                           bool mask = false, int rsv = 0);
  static std::string text_frame(const std::string &s) { return frame(0x1, s); }
  // One message compressed on its own (raw deflate, trailing 00 00 ff ff removed).
  static std::string deflate_message(const std::string &s, int bits = 15);
  static std::string binary_frame(const std::string &s) { return frame(0x2, s); }
  static std::string ping_frame(const std::string &s = "") { return frame(0x9, s); }
  static std::string pong_frame(const std::string &s = "") { return frame(0xA, s); }
  static std::string close_frame(int code, const std::string &reason = "");
  // `parts` frames (first with opcode, the rest continuation); a ping between the first two.
  static std::string fragmented(int opcode, const std::string &payload, size_t parts,
                                bool ping_between = false);
  static std::string big_message(size_t size = 1u << 20);  // binary, burst_byte pattern
  static std::string unknown_opcode_frame(int opcode = 0x3, const std::string &payload = "x");
  static std::string masked_frame(int opcode, const std::string &payload) {
    return frame(opcode, payload, true, true);
  }
  static std::string accept_key(const std::string &client_key);

  int connections() const;  // accepted so far
  std::vector<Request> requests() const;
  std::optional<Request> last_request() const;
  std::vector<Message> messages() const;
  std::vector<Frame> frames() const;  // every frame received, control frames included
  int pings() const;
  std::vector<std::string> ping_payloads() const;
  int pongs() const;
  std::vector<std::string> pong_payloads() const;
  std::vector<Close> closes() const;
  int unmasked_frames() const;
  bool connected() const;  // a client is connected now
  int disconnects() const;

  bool wait_handshake(std::chrono::milliseconds timeout, size_t n = 1) const;
  bool wait_messages(size_t n, std::chrono::milliseconds timeout) const;
  bool wait_pings(int n, std::chrono::milliseconds timeout) const;
  bool wait_pongs(int n, std::chrono::milliseconds timeout) const;
  bool wait_close(std::chrono::milliseconds timeout, size_t n = 1) const;
  bool wait_disconnected(std::chrono::milliseconds timeout, int n = 1) const;

 private:
  struct Session;
  void run();
  void wake();
  void push(Step s);
  void serve(int fd);

  Options opts_;
  int listen_fd_ = -1;
  int wake_fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};

  // Guarded by mu_.
  std::deque<Step> queued_;
  int connections_ = 0;
  std::vector<Request> requests_;
  std::vector<Message> messages_;
  std::vector<Frame> frames_;
  std::vector<std::string> ping_payloads_;
  int pongs_ = 0;
  std::vector<std::string> pong_payloads_;
  std::vector<Close> closes_;
  int unmasked_ = 0;
  bool connected_ = false;
  int disconnects_ = 0;
};

}  // namespace ywstest
