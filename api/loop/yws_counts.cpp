/*
 * What a connection counted, for the link queries and for the record that
 * folds them in when the connection ends. The loop thread counts; others
 * read or take through these, never the fields.
 */
#include "yws_loop_impl.h"

void yws_loop_counts(const yws_loop *loop, yws_loop_counts_t *out) {
  out->rx_bytes = loop->rx_bytes.load();
  out->rx_msgs = loop->rx_msgs.load();
  out->ping_rtt_ms = loop->ping_rtt_ms.load();
  out->wire_tx = loop->wire_tx.load();
  out->wire_rx = loop->wire_rx.load();
}

void yws_loop_take_counts(yws_loop *loop, yws_loop_counts_t *out) {
  out->rx_bytes = loop->rx_bytes.exchange(0);
  out->rx_msgs = loop->rx_msgs.exchange(0);
  out->wire_tx = loop->wire_tx.exchange(0);
  out->wire_rx = loop->wire_rx.exchange(0);
  out->ping_rtt_ms = loop->ping_rtt_ms.exchange(-1);
}
