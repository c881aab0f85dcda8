/*
 * Feeds the protocol callback (yws_client_prot_callback) random reasons and payloads for a
 * client record in each state: connecting, connected or closing; record attached to the loop,
 * detached from it, or absent; loop of another or an impossible client id; buffered or direct;
 * events dropped or not; and a context without a loop block.
 *
 * The connection is real: a context whose user pointer is the loop block, and a client
 * connection to a port that is bound but never listens, made once and never serviced, so the
 * library never acts on it by itself.
 *
 * Reasons: every reason the callback handles, plus any other value (which must change nothing).
 * Left out, because they make the library act on the connection in ways this harness cannot
 * stand behind:
 * - LWS_CALLBACK_CLIENT_WRITEABLE while a close is requested: the callback writes the close
 *   frame on a connection that never connected; the close request is cleared for that reason
 *   (and nothing is sent before the service task has seen the connection open).
 *
 * LWS_CALLBACK_CLIENT_RECEIVE arrives here on a connection that never saw a text frame, so
 * its UTF-8 check (tested against real servers) lets every payload through as binary.
 *
 * Traps when a call stages anything other than exactly the event its reason maps to, with the
 * right record tag, and batches anything but one exact copy of the payload for a receive reason;
 * when it returns other than the library expects; when flow control or the writable flag do not
 * follow; or when appended handshake headers are anything but whole stored "name: value" lines
 * within the room given.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "yv_rtos_test.h"
#include "yws_client.h"
#include "yws_data_part.h"
#include "yws_loop_impl.h"

namespace {

void quiet_sink(const char *, void *) {}

struct Harness {
  yws_client_t *rec = nullptr;
  yws_loop *loop = nullptr;
  lws_context *ctx = nullptr;       // user pointer: the loop
  lws_context *bare_ctx = nullptr;  // user pointer: none
  lws *wsi = nullptr;
  lws *bare_wsi = nullptr;
  int listen_fd = -1;
};

lws *connect_to(lws_context *ctx, int port, const char *protocol) {
  lws_client_connect_info ci;
  std::memset(&ci, 0, sizeof(ci));
  ci.context = ctx;
  ci.address = ci.host = ci.origin = "127.0.0.1";
  ci.port = port;
  ci.path = "/";
  ci.protocol = protocol;
  return lws_client_connect_via_info(&ci);
}

lws_context *context_for(yws_loop *user, lws_protocols *protocols) {
  lws_context_creation_info info;
  std::memset(&info, 0, sizeof(info));
  info.port = CONTEXT_PORT_NO_LISTEN;
  info.protocols = protocols;
  info.user = user;
  info.gid = -1;
  info.uid = -1;
  return lws_create_context(&info);
}

struct Staged {
  std::vector<yv_event_t> events;
  std::vector<std::pair<uint32_t, std::string>> pieces;  // kind, bytes
};

/* What the callbacks staged and batched; empties both. */
Staged take_staged(yws_loop *loop) {
  Staged out;
  yv_event_t evs[YWS_STAGE_MAX];
  int n = yws_loop_take_staged(loop, evs, YWS_STAGE_MAX);
  out.events.assign(evs, evs + n);
  yws_rx_block_t *blocks = yws_loop_rx_take(loop);
  for (yws_rx_block_t *b = blocks; b; b = b->next) {
    uint32_t off = 0;
    const char *data;
    while (const yws_rx_piece_t *p = yws_rx_next_piece(b, &off, &data)) {
      check(data[p->len] == '\0');
      out.pieces.emplace_back(p->id, std::string(data, p->len));
    }
  }
  yws_loop_rx_recycle(loop, blocks);
  return out;
}

Harness &harness() {
  static Harness *h = [] {
    auto *s = new Harness;
    yv_trace_set_sink(quiet_sink, nullptr);
    lws_set_log_level(0, nullptr);
    check(yv_ws_cfg_set_opt(0, YWS_CFG_CONN_URL, "ws://127.0.0.1/") == YWS_OK);
    check(yws_client_service_new(0, 0) == YWS_OK);
    s->rec = yws_rec(0);
    s->loop = yws_loop_new(0, s->rec->serial);
    check(s->loop != nullptr);
    s->rec->part.loop->loop = s->loop;
    s->loop->rx_high = s->rec->part.data->rx_max_size - 2048;
    s->loop->rx_resume = YWS_RX_RESUME_MARK;

    s->listen_fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    check(bind(s->listen_fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0);
    check(getsockname(s->listen_fd, reinterpret_cast<sockaddr *>(&a), &len) == 0);

    lws_protocols *prots = s->rec->part.loop->protocols;
    s->ctx = context_for(s->loop, prots);
    s->bare_ctx = context_for(nullptr, prots);
    check(s->ctx && s->bare_ctx);
    s->loop->context = s->ctx;
    s->wsi = connect_to(s->ctx, ntohs(a.sin_port), prots[0].name);
    s->bare_wsi = connect_to(s->bare_ctx, ntohs(a.sin_port), prots[0].name);
    check(s->wsi && s->bare_wsi);
    s->loop->wsi = s->wsi;
    take_staged(s->loop);  // what context and connection creation staged
    return s;
  }();
  return *h;
}

/* The kind of piece a reason batches, 0 for none. */
uint32_t piece_for(int reason, bool has_data) {
  switch (reason) {
    case LWS_CALLBACK_CLIENT_RECEIVE:
      return has_data ? YWS_MSG_TYPE_LWS_CLIENT_RECEIVE : 0;
    case LWS_CALLBACK_CLIENT_RECEIVE_PONG:
      return YWS_MSG_TYPE_LWS_CLIENT_RECEIVE_PONG;
    default:
      return 0;
  }
}

/* The event a reason becomes, 0 for none (the writable callback only sets the flag); a batched
 * piece announces its batch with one receive event. */
uint32_t event_for(int reason, bool has_data) {
  if (piece_for(reason, has_data)) return YWS_MSG_TYPE_LWS_CLIENT_RECEIVE;
  switch (reason) {
    case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
      return YWS_MSG_TYPE_LWS_CLIENT_CONNECTION_ERROR;
    case LWS_CALLBACK_CLIENT_ESTABLISHED:
      return YWS_MSG_TYPE_LWS_CLIENT_ESTABLISHED;
    case LWS_CALLBACK_CLIENT_RECEIVE:
      return has_data ? YWS_MSG_TYPE_LWS_CLIENT_RECEIVE : 0;
    case LWS_CALLBACK_CLIENT_RECEIVE_PONG:
      return YWS_MSG_TYPE_LWS_CLIENT_RECEIVE_PONG;
    case LWS_CALLBACK_PROTOCOL_DESTROY:
      return YWS_MSG_TYPE_LWS_PROTOCOL_DESTROY;
    case LWS_CALLBACK_WSI_DESTROY:
      return YWS_MSG_TYPE_LWS_WSI_DESTROY;
    case LWS_CALLBACK_CLOSED_CLIENT_HTTP:
      return YWS_MSG_TYPE_LWS_CLOSED_CLIENT_HTTP;
    case LWS_CALLBACK_CLIENT_CLOSED:
      return YWS_MSG_TYPE_LWS_CLIENT_CLOSED;
    case LWS_CALLBACK_CLIENT_HTTP_DROP_PROTOCOL:
      return YWS_MSG_TYPE_LWS_CLIENT_HTTP_DROP_PROTOCOL;
    case LWS_CALLBACK_WS_CLIENT_DROP_PROTOCOL:
      return YWS_MSG_TYPE_LWS_CLIENT_DROP_PROTOCOL;
    default:
      /* ESTABLISHED_CLIENT_HTTP without a 101 answer (never here), header append, WSI_CREATE
       * and every reason the callback does not handle stage nothing. */
      return 0;
  }
}

const int kHandled[] = {
    LWS_CALLBACK_CLIENT_CONNECTION_ERROR,
    LWS_CALLBACK_CLIENT_ESTABLISHED,
    LWS_CALLBACK_CLIENT_RECEIVE,
    LWS_CALLBACK_CLIENT_RECEIVE_PONG,
    LWS_CALLBACK_CLIENT_WRITEABLE,
    LWS_CALLBACK_CLIENT_APPEND_HANDSHAKE_HEADER,
    LWS_CALLBACK_PROTOCOL_DESTROY,
    LWS_CALLBACK_WSI_CREATE,
    LWS_CALLBACK_WSI_DESTROY,
    LWS_CALLBACK_ESTABLISHED_CLIENT_HTTP,
    LWS_CALLBACK_CLOSED_CLIENT_HTTP,
    LWS_CALLBACK_CLIENT_CLOSED,
    LWS_CALLBACK_CLIENT_HTTP_DROP_PROTOCOL,
    LWS_CALLBACK_WS_CLIENT_DROP_PROTOCOL,
};

/* The profile's headers as the writer will see them. */
std::vector<std::pair<std::string, std::string>> stored_headers() {
  std::vector<std::pair<std::string, std::string>> out;
  linklist_handler_t *list = &yws_profile(0)->conn.head_linklist_hd;
  uint32_t n = 0;
  if (!*list || linklist_get_node_cnt(list, &n) != 0) return out;
  for (uint32_t i = 0; i < n; i++) {
    linklist *node = nullptr;
    http_head_list_node_t h;
    check(linklist_node_find(list, i, &node) == 0 && node->size >= sizeof(h));
    std::memcpy(&h, node->data, sizeof(h));
    out.emplace_back(h.name, h.value);
  }
  return out;
}

/* Appended text: whole "name: value" lines of stored headers, nothing else. */
void check_headers(const unsigned char *start, const unsigned char *end, size_t room) {
  std::vector<std::pair<std::string, std::string>> stored = stored_headers();
  check(end >= start && static_cast<size_t>(end - start) <= room);
  std::string text(reinterpret_cast<const char *>(start), static_cast<size_t>(end - start));
  size_t at = 0;
  while (at < text.size()) {
    size_t eol = text.find("\r\n", at);
    check(eol != std::string::npos);
    std::string line = text.substr(at, eol - at);
    bool known = false;
    for (const auto &h : stored) known = known || line == h.first + ": " + h.second;
    check(known);
    at = eol + 2;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Harness &h = harness();
  input_t in = {data, size};
  uint8_t flags = byte(&in);
  uint8_t state = byte(&in);

  /* Which record the callback will find, and how the loop is set up. */
  int record_mode = flags & 3;  // 0, 3: attached; 1: detached; 2: slot empty
  if (record_mode == 1) h.rec->part.loop->loop = nullptr;
  if (record_mode == 2) yws_slot_clear(0);
  h.loop->buffered = flags & 4;
  h.loop->drop_events = (flags & 8) != 0;
  h.loop->close_requested = (flags & 16) != 0;
  bool bare = flags & 32;
  h.loop->client_id = static_cast<uint8_t>((flags >> 6) & 3);  // 1, 2: no record; 3: invalid
  static const uint8_t kStates[] = {YWS_CONN_STA_CONNECTING, YWS_CONN_STA_CONNECTED,
                                    YWS_CONN_STA_CLOSING};
  h.rec->status.conn.cur_sta = kStates[(state & 3) % 3];
  h.rec->status.write.curr_is_writable = state & 4;

  while (in.n > 0) {
    uint8_t op = byte(&in);
    size_t len = static_cast<size_t>(byte(&in)) << 4 | (byte(&in) & 0x0F);
    std::string payload = bytes(&in, len);

    if ((op & 0xC0) == 0xC0) {
      /* A stored handshake header, as the command layer adds them. */
      std::string name = payload.substr(0, payload.size() / 2);
      std::string value = payload.substr(payload.size() / 2);
      yws_cfg_add_http_head(0, name.c_str(), value.c_str());
      continue;
    }
    int reason = (op & 0x80) ? op & 0x7F : kHandled[op % (sizeof(kHandled) / sizeof(kHandled[0]))];
    if (reason == LWS_CALLBACK_RECEIVE_CLIENT_HTTP) continue;
    if (reason == LWS_CALLBACK_CLIENT_WRITEABLE) h.loop->close_requested = false;
    lws *wsi = bare ? h.bare_wsi : h.wsi;
    bool no_wsi = (op & 0x40) && !(op & 0x80) && len == 0;

    /* The argument each reason carries from the library. */
    std::vector<unsigned char> room_buf;
    unsigned char *cursor = nullptr;
    std::vector<char> copy(payload.begin(), payload.end());
    void *arg = copy.empty() ? nullptr : copy.data();
    size_t arg_len = copy.size();
    if (reason == LWS_CALLBACK_CLIENT_CONNECTION_ERROR) {
      copy.push_back('\0');  // a message string
      arg = copy.data();
      arg_len = payload.size();
    } else if (reason == LWS_CALLBACK_CLIENT_APPEND_HANDSHAKE_HEADER) {
      room_buf.assign(len + 1, 0);  // exact room: an overrun shows
      cursor = room_buf.data();
      arg = &cursor;
      arg_len = len + 1;
    }

    /* The writable flag belongs to whichever record holds the loop's client id. */
    bool rec_exists = h.loop->client_id == 0 && record_mode != 2;
    int32_t pending = h.loop->rx_pending.load();
    int r = yws_client_prot_callback(
        no_wsi ? nullptr : wsi, static_cast<lws_callback_reasons>(reason), nullptr, arg, arg_len);
    Staged staged = take_staged(h.loop);

    bool invalid_id = h.loop->client_id >= YWS_CLIENT_NUM;
    bool active = !no_wsi && !bare && !invalid_id;
    if (active && !h.loop->drop_events && reason == LWS_CALLBACK_WS_PEER_INITIATED_CLOSE) {
      /* A close frame that breaks the protocol drops the connection (-1). */
      int code = arg_len >= 2
                     ? (static_cast<uint8_t>(payload[0]) << 8) | static_cast<uint8_t>(payload[1])
                     : 0;
      bool code_ok = (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
                     (code >= 3000 && code <= 4999);
      check(r == 0 || r == -1);
      if (arg_len == 1 || (arg_len >= 2 && !code_ok)) check(r == -1);
      if (arg_len == 0) check(r == 0);
    } else {
      check(r == (no_wsi ? 1 : (!bare && invalid_id) ? 3 : 0));
    }
    bool dispatched = active && !h.loop->drop_events;
    uint32_t want = dispatched ? event_for(reason, arg && arg_len) : 0;
    uint32_t kind = dispatched ? piece_for(reason, arg && arg_len) : 0;
    check(staged.events.size() == (want ? 1u : 0u));
    for (const yv_event_t &ev : staged.events) {
      check(ev.id == want);
      check(ev.param1 == yws_tag(h.loop->client_id, h.loop->serial));
    }
    check(staged.pieces.size() == (kind ? 1u : 0u));
    for (const auto &p : staged.pieces) {
      check(p.first == kind);
      check(p.second == (arg ? payload : std::string()));
    }
    bool writable_reason = reason == LWS_CALLBACK_CLIENT_WRITEABLE;
    if (dispatched && rec_exists && writable_reason) check(h.rec->status.write.curr_is_writable);
    if (dispatched && reason == LWS_CALLBACK_CLIENT_RECEIVE && arg && arg_len) {
      int32_t now = h.loop->rx_pending.load();
      check(now == (h.loop->buffered ? pending + static_cast<int32_t>(arg_len) : pending));
      if (h.loop->buffered && now >= h.loop->rx_high) check(h.loop->rx_paused.load());
    }
    if (active && reason == LWS_CALLBACK_WSI_DESTROY) check(h.loop->wsi == nullptr);
    if (reason == LWS_CALLBACK_CLIENT_APPEND_HANDSHAKE_HEADER)
      check_headers(room_buf.data(), cursor, len + 1);
  }

  /* Back to the starting point for the next input. */
  if (h.loop->rx_paused.load()) lws_rx_flow_control(h.wsi, 0x1001);
  h.loop->rx_paused = false;
  h.loop->rx_pending = 0;
  h.loop->wsi = h.wsi;
  h.loop->client_id = 0;
  h.loop->drop_events = false;
  h.loop->close_requested = false;
  if (!yws_rec(0)) yws_slot_fill(0, h.rec);
  h.rec->part.loop->loop = h.loop;
  yws_cfg_remove_http_head(0, nullptr);
  return 0;
}
