/*
 * The loop room's part of a client record: the library's tables of the
 * client, its loop while one exists and the transmit chain, made with the
 * record and freed with it.
 */
#include <cstring>

#include "yws_loop_impl.h"

namespace {

/* Ours with the sub-protocol's name: the library sends it in the upgrade. */
struct lws_protocols *yws_protocols_new(int client_id, const char *subprot) {
  size_t name_size = std::strlen(subprot) + 1;
  auto *prots = static_cast<lws_protocols *>(yv_mem_alloc(2 * sizeof(lws_protocols) + name_size));
  if (!prots) return nullptr;
  char *name = reinterpret_cast<char *>(prots + 2);
  std::memcpy(name, subprot, name_size);
  prots[0].name = name;
  prots[0].callback = yws_client_prot_callback;
  prots[0].per_session_data_size = 0;
  prots[0].rx_buffer_size = 2048;
  prots[0].id = static_cast<unsigned int>(client_id);
  prots[0].user = nullptr;
  prots[0].tx_packet_size = 2048 + YWS_LWS_PRE;
  return prots;
}

}  // namespace

bool yws_loop_part_new(yws_client_t *rec, int client_id, const yws_cfg_t *cfg) {
  auto *lp = static_cast<yws_loop_part *>(yv_mem_alloc(sizeof(yws_loop_part)));
  if (!lp) return false;
  rec->part.loop = lp;
  yws_chain_init(&lp->write.tx_q);
  /* The sub-protocol's name is sent only when enabled. */
  lp->protocols = yws_protocols_new(
      client_id, cfg->conn.subprot_en && cfg->conn.subprot ? cfg->conn.subprot : "");
  if (cfg->conn.extension_en)
    lp->exts = static_cast<lws_extension *>(yv_mem_alloc(2 * sizeof(lws_extension)));
  if (!lp->protocols || (cfg->conn.extension_en && !lp->exts)) return false;
  if (yv_rtos_mutex_create(&lp->tx_lock) != YV_OSI_SUCCESS || !lp->tx_lock) {
    lp->tx_lock = 0;
    YWS_TRACE("mutex failed");
    return false;
  }
  lp->rx_max = yws_buffer_limit(cfg->read.buffer_sz);
  lp->msg_mode = cfg->read.message > 0;
  lp->write.tx_max_size = yws_buffer_limit(cfg->write.buffer_sz);
  lp->write.message = cfg->write.message;
  return true;
}

void yws_loop_part_free(yws_client_t *rec) {
  yws_loop_part *lp = rec->part.loop;
  if (!lp) return;
  yws_chain_release(&lp->write.tx_q);
  if (lp->tx_lock) yv_rtos_mutex_delete(lp->tx_lock);
  yv_mem_free(lp->exts);
  yv_mem_free(lp->protocols);
  std::memset(lp, 0, sizeof(*lp));
  yv_mem_free(lp);
  rec->part.loop = nullptr;
}

yws_loop *yws_loop_of(const yws_client_t *rec) {
  return rec->part.loop ? rec->part.loop->loop : nullptr;
}

bool yws_loop_started(const yws_client_t *rec) {
  return rec->part.loop && rec->part.loop->thread_started;
}

void yws_loop_release(yws_client_t *rec) {
  yws_loop_part *lp = rec->part.loop;
  if (!lp) return;
  if (lp->loop && !yws_loop_orphan(lp->loop)) yws_loop_free(lp->loop);
  lp->loop = nullptr;
  lp->thread_started = false;
}

void yws_tx_counts(yws_client_t *rec, yws_tx_counts_t *out) {
  const auto &w = rec->part.loop->write;
  yws_mutex_guard tl(rec->part.loop->tx_lock, YWS_RANK_TX);
  out->total = w.tx_total_size;
  out->sent = w.tx_send_size;
  out->lost = w.tx_lost;
  out->msgs = w.tx_msgs;
}
