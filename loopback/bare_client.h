// Minimal single-threaded libwebsockets client: drives the test servers in smoke tests and is
// the benchmark's "bare libwebsockets client" reference. Everything runs on the caller's
// thread; the loop turns only inside run_until() and the helpers built on it.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ws_test_server.h"

struct lws;
struct lws_context;
struct lws_protocols;

namespace ywstest {

class BareClient {
 public:
  struct Options {
    std::string subprotocol;  // Sec-WebSocket-Protocol to request; empty: none
    Headers headers;          // extra request headers
    std::string origin;       // lws 4.1 sends "http://" + this (default: the Host value)
    std::string host;         // Host header; empty: the URL's host:port
    std::string ca_path;      // trust anchor for wss://
    bool allow_self_signed = false;
    bool skip_hostname_check = false;
    unsigned timeout_secs = 0;  // lws per-state timeouts; 0: lws default (20 s)
    bool keep_messages = true;  // false: only count (benchmarks)
  };
  struct Message {
    bool binary;
    std::string data;
  };
  BareClient();
  ~BareClient();
  BareClient(const BareClient &) = delete;
  BareClient &operator=(const BareClient &) = delete;

  // Starts one connection (once per object). False if the URL is bad or lws refused at once
  // (e.g. a host name that does not resolve).
  bool connect(const std::string &url, const Options &opts);
  bool connect(const std::string &url) { return connect(url, Options{}); }

  // Services the loop until done() or the deadline; returns done().
  bool run_until(const std::function<bool()> &done, std::chrono::milliseconds timeout);
  bool wait_established(std::chrono::milliseconds timeout);  // false on error/close/timeout
  bool wait_finished(std::chrono::milliseconds timeout);     // connection error or closed
  bool wait_messages(size_t n, std::chrono::milliseconds timeout);
  bool wait_pongs(int n, std::chrono::milliseconds timeout);

  // Queued; written from the writeable callback while run_until() turns the loop.
  void send_text(const std::string &s) { send(false, s); }
  void send_binary(const std::string &s) { send(true, s); }
  void send(bool binary, const std::string &data, size_t fragments = 1);
  void send_ping(const std::string &payload = "");
  void close(int code = 1000, const std::string &reason = "");  // clean close frame

  bool established() const { return established_; }
  bool failed() const { return failed_; }  // CLIENT_CONNECTION_ERROR seen
  const std::string &error() const { return error_; }
  int http_status() const { return http_status_; }  // 0 when none was parsed
  bool closed() const { return closed_; }
  int peer_close_code() const { return peer_close_code_; }  // -1: no close frame received
  const std::string &peer_close_reason() const { return peer_close_reason_; }
  const std::string &accepted_protocol() const { return accepted_protocol_; }
  const std::vector<Message> &messages() const { return messages_; }
  size_t received_count() const { return received_count_; }
  uint64_t received_bytes() const { return received_bytes_; }
  int pongs() const { return pongs_; }

  struct Internal;  // lws callback glue

 private:
  friend struct Internal;
  struct Sul;  // deadline timer that wakes lws_service
  struct Out {
    int flags;  // lws_write_protocol
    std::string data;
  };
  int on_event(lws *wsi, int reason, void *in, size_t len);
  void service_once(std::chrono::steady_clock::time_point deadline);
  void want_write();

  Options opts_;
  std::unique_ptr<lws_protocols[]> protocols_;
  std::unique_ptr<Sul> sul_;
  lws_context *ctx_ = nullptr;
  lws *wsi_ = nullptr;
  std::string url_host_, url_path_, origin_, host_hdr_, ca_;
  std::deque<Out> out_;
  bool close_requested_ = false;
  int close_code_ = 1000;
  std::string close_reason_;

  bool established_ = false, failed_ = false, closed_ = false;
  std::string error_;
  int http_status_ = 0;
  int peer_close_code_ = -1;
  std::string peer_close_reason_;
  std::string accepted_protocol_;
  bool in_msg_ = false, rx_binary_ = false;
  std::string rx_;
  std::vector<Message> messages_;
  size_t received_count_ = 0;
  uint64_t received_bytes_ = 0;
  int pongs_ = 0;
};

}  // namespace ywstest
