/*
 * Message delivery ("read/message"): in direct mode a message's bytes are
 * gathered into pieces of the profile's size and notified with their flags;
 * in buffered mode the receive chain keeps a mark per message, so that reads
 * can stop at its end. Service task, except where a function says otherwise.
 */
#include <cstring>

#include "yws_data_part.h"

namespace {

uint8_t yws_msg_kind(uint32_t flags) {
  return static_cast<uint8_t>(flags & YWS_MSG_FLAG_BINARY);
}

yws_rx_mark_t *yws_mark_at(yws_client_t *rec, uint16_t i) {
  auto &m = rec->part.data->msg;
  return &m.marks[(m.mark_head + i) % m.mark_cap];
}

void yws_mark_pop(yws_client_t *rec) {
  auto &m = rec->part.data->msg;
  m.mark_head = static_cast<uint16_t>((m.mark_head + 1) % m.mark_cap);
  m.mark_count--;
}

}  // namespace

int yws_msg_open(yws_client_t *rec, uint32_t piece, bool buffered) {
  auto &m = rec->part.data->msg;
  m.piece = piece;
  if (!piece) return YWS_OK;
  if (!buffered) {
    m.gather = static_cast<uint8_t *>(yv_mem_alloc(piece));
    return m.gather ? YWS_OK : YWS_ERR_NO_MEM;
  }
  /* Flow control holds the library back once the bytes and marks waiting
   * pass the high mark: never more marks than this are needed. */
  m.mark_cap = static_cast<uint16_t>(rec->part.data->rx_max_size / YWS_RX_MARK_COST + 4);
  m.marks = static_cast<yws_rx_mark_t *>(yv_mem_alloc(sizeof(yws_rx_mark_t) * m.mark_cap));
  return m.marks ? YWS_OK : YWS_ERR_NO_MEM;
}

void yws_msg_release(yws_client_t *rec) {
  auto &m = rec->part.data->msg;
  yv_mem_free(m.gather);
  yv_mem_free(m.marks);
  m.gather = nullptr;
  m.marks = nullptr;
}

void yws_msg_deliver(int client_id, yws_client_t *rec, const char *data, uint32_t len,
                     uint32_t flags) {
  auto &m = rec->part.data->msg;
  uint8_t cfg_id = rec->cfg_id;
  if (flags & YWS_MSG_FLAG_FIRST) {
    m.gathered = 0;
    m.flags = static_cast<uint8_t>(yws_msg_kind(flags) | YWS_MSG_FLAG_FIRST);
  }
  while (len > 0) {
    /* A full piece goes only when more bytes follow: a message of exactly N
     * bytes still arrives whole, with FINAL. */
    if (m.gathered == m.piece) {
      yws_notify(client_id, cfg_id, YWS_CB_TYPE_MESSAGE, m.gather, static_cast<int32_t>(m.piece),
                 m.flags);
      m.flags = static_cast<uint8_t>(m.flags & ~YWS_MSG_FLAG_FIRST);
      m.gathered = 0;
    }
    uint32_t k = len < m.piece - m.gathered ? len : m.piece - m.gathered;
    std::memcpy(m.gather + m.gathered, data, k);
    m.gathered += k;
    data += k;
    len -= k;
  }
  if (flags & YWS_MSG_FLAG_FINAL) {
    uint32_t n = m.gathered;
    m.gathered = 0;
    yws_notify(client_id, cfg_id, YWS_CB_TYPE_MESSAGE, m.gather, static_cast<int32_t>(n),
               m.flags | YWS_MSG_FLAG_FINAL);
  }
}

bool yws_msg_waiting(yws_client_t *rec) {
  auto &m = rec->part.data->msg;
  if (m.mark_count == 0) return false;
  /* A message still arriving whose bytes so far were read has nothing to give. */
  const yws_rx_mark_t *k = yws_mark_at(rec, 0);
  return m.mark_count > 1 || k->avail > 0 || (k->flags & YWS_MSG_FLAG_FINAL);
}

bool yws_msg_mark_room(yws_client_t *rec, uint32_t flags) {
  auto &m = rec->part.data->msg;
  return !((flags & YWS_MSG_FLAG_FIRST) || m.mark_count == 0) || m.mark_count < m.mark_cap;
}

bool yws_msg_store(yws_client_t *rec, const char *data, int32_t size, uint32_t flags) {
  auto &m = rec->part.data->msg;
  if ((flags & YWS_MSG_FLAG_FIRST) || m.mark_count == 0) {
    if (m.mark_count == m.mark_cap) return false;
    *yws_mark_at(rec, m.mark_count) = {0, yws_msg_kind(flags), false};
    m.mark_count++;
  }
  if (size > 0 && yws_chain_append(&rec->part.data->rx_q, data, size) != 0) return false;
  yws_rx_mark_t *tail = yws_mark_at(rec, static_cast<uint16_t>(m.mark_count - 1));
  tail->avail += size;
  if (flags & YWS_MSG_FLAG_FINAL) tail->flags |= YWS_MSG_FLAG_FINAL;
  return true;
}

int32_t yws_msg_consumed(yws_client_t *rec, int32_t got) {
  auto &m = rec->part.data->msg;
  int32_t freed = 0;
  while (m.mark_count > 0) {
    yws_rx_mark_t *k = yws_mark_at(rec, 0);
    if (k->avail > 0) {
      if (got == 0) break;
      int32_t t = got < k->avail ? got : k->avail;
      k->avail -= t;
      got -= t;
      k->read_any = true;
      if (k->avail > 0) break;
    }
    if (!(k->flags & YWS_MSG_FLAG_FINAL)) break; /* the rest is still arriving */
    /* An empty message goes once a read passed it; otherwise it waits for
     * yv_ws_read_msg. */
    if (!k->read_any && got == 0) break;
    yws_mark_pop(rec);
    freed += YWS_RX_MARK_COST;
  }
  return freed;
}

int32_t yws_msg_pull(yws_client_t *rec, char *data, int32_t wanted, int32_t *got, int32_t *flags) {
  *got = 0;
  *flags = 0;
  if (rec->part.data->msg.mark_count == 0) return 0;
  yws_rx_mark_t *k = yws_mark_at(rec, 0);
  int32_t n = data && wanted > 0 ? (wanted < k->avail ? wanted : k->avail) : 0;
  if (n > 0) yws_chain_pull(&rec->part.data->rx_q, data, &n);
  bool done = k->avail == n && (k->flags & YWS_MSG_FLAG_FINAL);
  if (n == 0 && !done) return 0; /* its next bytes have not arrived */
  *got = n;
  *flags = (k->flags & YWS_MSG_FLAG_BINARY) | (k->read_any ? 0 : YWS_MSG_FLAG_FIRST) |
           (done ? YWS_MSG_FLAG_FINAL : 0);
  k->avail -= n;
  k->read_any = true;
  if (!done) return 0;
  yws_mark_pop(rec);
  return YWS_RX_MARK_COST;
}
