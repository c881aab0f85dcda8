#include "bare_client.h"

#include <libwebsockets.h>

#include <algorithm>
#include <cstring>

namespace ywstest {

struct BareClient::Sul {
  lws_sorted_usec_list_t sul;
};

struct BareClient::Internal {
  static int callback(lws *wsi, lws_callback_reasons reason, void *, void *in, size_t len) {
    lws_context *ctx = lws_get_context(wsi);
    auto *self = ctx ? static_cast<BareClient *>(lws_context_user(ctx)) : nullptr;
    if (!self) return 0;
    return self->on_event(wsi, static_cast<int>(reason), in, len);
  }
  // Only there to make lws_service return by the deadline.
  static void on_deadline(lws_sorted_usec_list_t *) {}
};

BareClient::BareClient() : protocols_(new lws_protocols[2]), sul_(new Sul) {
  std::memset(protocols_.get(), 0, 2 * sizeof(lws_protocols));
  protocols_[0].name = "bare-client";
  protocols_[0].callback = &Internal::callback;
  protocols_[0].rx_buffer_size = 16384;
  std::memset(sul_.get(), 0, sizeof(Sul));
}

BareClient::~BareClient() {
  if (ctx_) {
    lws_sul_cancel(&sul_->sul);
    lws_context_destroy(ctx_);
  }
}

bool BareClient::connect(const std::string &url, const Options &opts) {
  if (ctx_) return false;
  opts_ = opts;
  std::string buf = url;
  const char *prot = nullptr, *ads = nullptr, *path = nullptr;
  int port = 0;
  if (lws_parse_uri(buf.data(), &prot, &ads, &port, &path)) return false;
  bool tls = !std::strcmp(prot, "wss") || !std::strcmp(prot, "https");
  url_host_ = ads;
  url_path_ = std::string("/") + path;
  host_hdr_ = opts.host.empty() ? url_host_ + ":" + std::to_string(port) : opts.host;
  origin_ = opts.origin.empty() ? host_hdr_ : opts.origin;
  ca_ = opts.ca_path;

  lws_context_creation_info info;
  std::memset(&info, 0, sizeof info);
  info.port = CONTEXT_PORT_NO_LISTEN;
  info.protocols = protocols_.get();
  info.user = this;
  info.gid = -1;
  info.uid = -1;
  info.timeout_secs = opts.timeout_secs;
  if (tls) {
    info.options |= LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
    if (!ca_.empty()) info.client_ssl_ca_filepath = ca_.c_str();
  }
  ctx_ = lws_create_context(&info);
  if (!ctx_) return false;

  lws_client_connect_info ci;
  std::memset(&ci, 0, sizeof ci);
  ci.context = ctx_;
  ci.address = url_host_.c_str();
  ci.port = port;
  ci.path = url_path_.c_str();
  ci.host = host_hdr_.c_str();
  ci.origin = origin_.c_str();
  ci.protocol = opts.subprotocol.empty() ? nullptr : opts.subprotocol.c_str();
  ci.local_protocol_name = protocols_[0].name;
  if (tls) {
    ci.ssl_connection = LCCSCF_USE_SSL;
    if (opts.allow_self_signed) ci.ssl_connection |= LCCSCF_ALLOW_SELFSIGNED;
    if (opts.skip_hostname_check) ci.ssl_connection |= LCCSCF_SKIP_SERVER_CERT_HOSTNAME_CHECK;
  }
  ci.pwsi = &wsi_;
  return lws_client_connect_via_info(&ci) != nullptr;
}

void BareClient::service_once(std::chrono::steady_clock::time_point deadline) {
  // Sliced so predicates on other threads' state (a server's counters) are re-checked.
  constexpr int64_t kSliceUs = 10000;
  auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                  deadline - std::chrono::steady_clock::now())
                  .count();
  lws_sul_schedule(ctx_, 0, &sul_->sul, &Internal::on_deadline,
                   std::clamp<int64_t>(left, 1, kSliceUs));
  lws_service(ctx_, 0);
}

bool BareClient::run_until(const std::function<bool()> &done, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (!ctx_ || std::chrono::steady_clock::now() >= deadline) return done();
    service_once(deadline);
  }
  return true;
}

bool BareClient::wait_established(std::chrono::milliseconds timeout) {
  run_until([&] { return established_ || failed_ || closed_; }, timeout);
  return established_ && !failed_ && !closed_;
}

bool BareClient::wait_finished(std::chrono::milliseconds timeout) {
  return run_until([&] { return failed_ || closed_; }, timeout);
}

bool BareClient::wait_messages(size_t n, std::chrono::milliseconds timeout) {
  return run_until([&] { return received_count_ >= n; }, timeout);
}

bool BareClient::wait_pongs(int n, std::chrono::milliseconds timeout) {
  return run_until([&] { return pongs_ >= n; }, timeout);
}

void BareClient::want_write() {
  if (wsi_ && established_) lws_callback_on_writable(wsi_);
}

void BareClient::send(bool binary, const std::string &data, size_t fragments) {
  int initial = binary ? LWS_WRITE_BINARY : LWS_WRITE_TEXT;
  fragments = std::max<size_t>(1, std::min(fragments, std::max<size_t>(1, data.size())));
  size_t chunk = (data.size() + fragments - 1) / fragments;
  for (size_t i = 0; i < fragments; ++i) {
    size_t off = std::min(data.size(), i * chunk);
    size_t n = std::min(chunk, data.size() - off);
    int flags = lws_write_ws_flags(initial, i == 0, i + 1 == fragments);
    out_.push_back(Out{flags, data.substr(off, n)});
  }
  want_write();
}

void BareClient::send_ping(const std::string &payload) {
  out_.push_back(Out{LWS_WRITE_PING, payload});
  want_write();
}

void BareClient::close(int code, const std::string &reason) {
  close_requested_ = true;
  close_code_ = code;
  close_reason_ = reason;
  want_write();
}

int BareClient::on_event(lws *wsi, int reason_int, void *in, size_t len) {
  switch (static_cast<lws_callback_reasons>(reason_int)) {
    case LWS_CALLBACK_CLIENT_APPEND_HANDSHAKE_HEADER: {
      auto **p = static_cast<unsigned char **>(in);
      unsigned char *end = *p + len;
      for (const auto &h : opts_.headers) {
        std::string name = h.first + ":";
        if (lws_add_http_header_by_name(wsi, reinterpret_cast<const unsigned char *>(name.c_str()),
                                        reinterpret_cast<const unsigned char *>(h.second.data()),
                                        static_cast<int>(h.second.size()), p, end))
          return -1;
      }
      return 0;
    }
    case LWS_CALLBACK_ESTABLISHED_CLIENT_HTTP:
      http_status_ = static_cast<int>(lws_http_client_http_response(wsi));
      return 0;
    case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
      // lws runs due timers (timeouts) before it polls; without a wake-up the loop would sit
      // in poll() after the failure until the next slice.
      lws_cancel_service(lws_get_context(wsi));
      failed_ = true;
      error_ = in ? std::string(static_cast<const char *>(in),
                                len ? len : std::strlen(static_cast<const char *>(in)))
                  : "";
      if (!http_status_) http_status_ = static_cast<int>(lws_http_client_http_response(wsi));
      return 0;
    case LWS_CALLBACK_CLIENT_FILTER_PRE_ESTABLISH: {
      // The response headers are gone by CLIENT_ESTABLISHED.
      char buf[128];
      int n = lws_hdr_copy(wsi, buf, sizeof buf, WSI_TOKEN_PROTOCOL);
      if (n > 0) accepted_protocol_.assign(buf, static_cast<size_t>(n));
      return 0;
    }
    case LWS_CALLBACK_CLIENT_ESTABLISHED: {
      established_ = true;
      if (!out_.empty() || close_requested_) lws_callback_on_writable(wsi);
      return 0;
    }
    case LWS_CALLBACK_CLIENT_RECEIVE: {
      if (!in_msg_) {
        in_msg_ = true;
        rx_binary_ = lws_frame_is_binary(wsi) != 0;
        rx_.clear();
      }
      if (len) rx_.append(static_cast<const char *>(in), len);
      received_bytes_ += len;
      if (lws_is_final_fragment(wsi) && !lws_remaining_packet_payload(wsi)) {
        in_msg_ = false;
        ++received_count_;
        if (opts_.keep_messages) messages_.push_back(Message{rx_binary_, std::move(rx_)});
        rx_.clear();
      }
      return 0;
    }
    case LWS_CALLBACK_CLIENT_RECEIVE_PONG:
      ++pongs_;
      return 0;
    case LWS_CALLBACK_WS_PEER_INITIATED_CLOSE: {
      const auto *p = static_cast<const unsigned char *>(in);
      if (p && len >= 2) {
        peer_close_code_ = (p[0] << 8) | p[1];
        peer_close_reason_.assign(reinterpret_cast<const char *>(p + 2), len - 2);
      }
      return 0;
    }
    case LWS_CALLBACK_CLIENT_WRITEABLE: {
      std::vector<unsigned char> buf;
      while (!out_.empty()) {
        Out &o = out_.front();
        buf.resize(LWS_PRE + o.data.size());
        if (!o.data.empty()) std::memcpy(buf.data() + LWS_PRE, o.data.data(), o.data.size());
        if (lws_write(wsi, buf.data() + LWS_PRE, o.data.size(),
                      static_cast<lws_write_protocol>(o.flags)) < 0)
          return -1;
        out_.pop_front();
        if (lws_send_pipe_choked(wsi)) break;
      }
      if (!out_.empty()) {
        lws_callback_on_writable(wsi);
        return 0;
      }
      if (close_requested_) {
        lws_close_reason(wsi, static_cast<lws_close_status>(close_code_),
                         reinterpret_cast<unsigned char *>(close_reason_.data()),
                         close_reason_.size());
        return -1;
      }
      return 0;
    }
    case LWS_CALLBACK_CLIENT_CLOSED:
      lws_cancel_service(lws_get_context(wsi));
      closed_ = true;
      return 0;
    case LWS_CALLBACK_CLOSED_CLIENT_HTTP:
      // A handshake timeout ends here, with no CLIENT_CONNECTION_ERROR.
      lws_cancel_service(lws_get_context(wsi));
      if (!established_ && !failed_) {
        failed_ = true;
        error_ = "closed before the handshake completed";
      }
      return 0;
    case LWS_CALLBACK_WSI_DESTROY:
      if (wsi == wsi_) wsi_ = nullptr;
      if (established_) {
        closed_ = true;
      } else if (!failed_) {
        failed_ = true;
        error_ = "destroyed before the handshake completed";
      }
      return 0;
    default:
      return 0;
  }
}

}  // namespace ywstest
