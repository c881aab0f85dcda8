/*
 * What a connection's socket carried, for the wire statistics. The IP stack
 * counts; the socket is looked at only by whoever holds the loop still (its
 * own thread, or a task parking it), and once more just before the library
 * lets it go, so the counts outlive the connection.
 */
#include "yws_loop.h"
#include "yv_net.h"

namespace {

void yws_wire_take(yws_loop *loop, struct lws *wsi) {
  int fd = wsi ? lws_get_socket_fd(wsi) : -1;
  uint64_t tx = 0, rx = 0;
  if (fd < 0 || yv_socket_bytes(fd, &tx, &rx) != 0) return;
  loop->wire_tx.store(tx, std::memory_order_relaxed);
  loop->wire_rx.store(rx, std::memory_order_relaxed);
  loop->wire_counted.store(true, std::memory_order_relaxed);
}

}  // namespace

void yws_wire_sample(yws_loop *loop, struct lws *wsi) {
  if (wsi && wsi == loop->wsi) yws_wire_take(loop, wsi);
}

bool yws_wire_read(yws_loop *loop, uint64_t *tx, uint64_t *rx) {
  {
    yws_loop_guard guard(loop);
    if (loop->wsi) yws_wire_take(loop, loop->wsi);
  }
  *tx = loop->wire_tx.load(std::memory_order_relaxed);
  *rx = loop->wire_rx.load(std::memory_order_relaxed);
  return loop->wire_counted.load(std::memory_order_relaxed);
}
