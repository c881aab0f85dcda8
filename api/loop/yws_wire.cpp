/*
 * What a connection's socket carried, for the wire statistics. The IP stack
 * counts; the socket is looked at by the loop thread, and by the query
 * under the loop's record lock while the loop publishes it (from the upgrade
 * answer until just before the library lets it go), so the query never waits
 * for a pass and the counts outlive the connection.
 */
#include "yws_loop_impl.h"
#include "yv_net.h"

namespace {

void yws_wire_take_fd(yws_loop *loop, int fd) {
  uint64_t tx = 0, rx = 0;
  if (fd < 0 || yv_socket_bytes(fd, &tx, &rx) != 0) return;
  loop->wire_tx.store(tx, std::memory_order_relaxed);
  loop->wire_rx.store(rx, std::memory_order_relaxed);
  loop->wire_counted.store(true, std::memory_order_relaxed);
}

}  // namespace

void yws_wire_socket(yws_loop *loop, int fd) {
  loop->sock_fd = fd;
}

void yws_wire_sample(yws_loop *loop, struct lws *wsi) {
  if (!wsi || wsi != loop->wsi) return;
  yws_wire_take_fd(loop, lws_get_socket_fd(wsi));
  /* The library closes the socket after this: nobody may look at it again. */
  loop->sock_fd = -1;
}

bool yws_wire_read(yws_loop *loop, uint64_t *tx, uint64_t *rx) {
  {
    /* Not a park: the loop thread holds this lock only inside a callback,
     * and the socket is published under it while the library keeps it. */
    yws_mutex_guard rl(loop->rec_m, YWS_RANK_RECORD);
    yws_wire_take_fd(loop, loop->sock_fd);
  }
  *tx = loop->wire_tx.load(std::memory_order_relaxed);
  *rx = loop->wire_rx.load(std::memory_order_relaxed);
  return loop->wire_counted.load(std::memory_order_relaxed);
}
