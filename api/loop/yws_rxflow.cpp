/*
 * Receive flow control: the one place where the library's delivery of
 * received data is paused and resumed, and where readers give credit back.
 *
 * Pause rule: buffered mode pauses once more than rx_high bytes (and marks)
 * wait unread, either mode once a batch the service task has not taken
 * reaches YWS_RX_BATCH_MAX. Resume rule: fewer than rx_resume wait and the
 * batch is under half its limit; evaluated on the loop thread after each
 * pass, which the readers and the service task wake when they cross it.
 *
 * Over TLS a pause is never made while the TLS layer holds decrypted bytes
 * the library has not taken: this library version then keeps handing the
 * paused connection its own cached bytes inside one pass, without end (the
 * pass never returns, the loop spins and every wait for it hangs). The
 * delivery goes on to the end of the TLS record instead, at most 16 KiB
 * more, and the pause is made at the first piece or pass end that finds the
 * layer empty. Buffered mode keeps such bytes back in the data room until
 * they fit the receive buffer, so none is dropped.
 */
#include <openssl/ssl.h>

#include "yws_loop_impl.h"

namespace {

bool yws_rxflow_over(const yws_loop *loop) {
  return (loop->buffered && loop->rx_pending.load() > loop->rx_high) ||
         loop->rx_batched.load() >= YWS_RX_BATCH_MAX;
}

/* Decrypted bytes the TLS layer holds for the library. */
bool yws_tls_holds(struct lws *wsi) {
  SSL *ssl = lws_get_ssl(wsi);
  return ssl && SSL_pending(ssl) > 0;
}

void yws_rxflow_pause(yws_loop *loop, struct lws *wsi) {
  if (loop->rx_paused.load() || loop->close_sent || !yws_rxflow_over(loop)) return;
  if (yws_tls_holds(wsi)) return; /* retried at the next piece and at pass end */
  loop->rx_paused = true;
  lws_rx_flow_control(wsi, LWS_RXFLOW_REASON_FLAG_PROCESS_NOW | 0);
  YWS_TRACE("rx disabled");
}

/* After our close frame the server's answer must be read, whatever waits
 * unread: what arrives meanwhile is not delivered (yws_rxflow_discard). */
bool yws_rxflow_resume_due(const yws_loop *loop) {
  return loop->close_sent || (loop->rx_pending.load() < loop->rx_resume &&
                              loop->rx_batched.load() < YWS_RX_BATCH_MAX / 2);
}

}  // namespace

void yws_rxflow_init(yws_loop *loop, int32_t rx_max) {
  /* The library delivers a piece of at most the protocol's 2048-byte rx
   * buffer, so every piece delivered below the high mark fits; the pause
   * stops its parser before the next byte. */
  loop->rx_high = rx_max - 2048;
  loop->rx_resume = loop->rx_high < YWS_RX_RESUME_MARK ? loop->rx_high : YWS_RX_RESUME_MARK;
}

void yws_rxflow_piece(yws_loop *loop, struct lws *wsi, size_t len) {
  if (loop->buffered) loop->rx_pending += static_cast<int32_t>(len);
  yws_rxflow_pause(loop, wsi);
}

void yws_rxflow_mark(yws_loop *loop) {
  if (loop->buffered) loop->rx_pending += YWS_RX_MARK_COST;
}

void yws_rxflow_pass_end(yws_loop *loop) {
  if (!loop->wsi) return;
  if (!loop->rx_paused.load()) {
    yws_rxflow_pause(loop, loop->wsi);
    return;
  }
  if (!yws_rxflow_resume_due(loop)) return;
  loop->rx_paused = false;
  loop->inflate_held = false;
  lws_rx_flow_control(loop->wsi, LWS_RXFLOW_REASON_FLAG_PROCESS_NOW | 1);
  YWS_TRACE("rx enabled");
}

void yws_rxflow_credit(yws_loop *loop, int32_t n) {
  if (n) loop->rx_pending -= n;
  if (loop->rx_paused.load() && yws_rxflow_resume_due(loop)) yws_loop_wake(loop);
}

bool yws_rxflow_discard(const yws_loop *loop) {
  return loop->close_sent;
}

bool yws_rxflow_paused(const yws_loop *loop) {
  return loop->rx_paused.load();
}
