/* The IP stack and socket checks the service needs beyond the library: a
 * port answers them from its own stack (lwIP on the module). */
#ifndef YV_NET_H
#define YV_NET_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Address families as the IP stack numbers them. */
#define YV_AF_INET 2
#define YV_AF_INET6 10

/* 1 when src is a numeric address of that family in its usual text form
 * (dst, 4 or 16 bytes, filled), 0 when it is not, -1 for another family.
 * Any thread; never blocks. */
int lwip_inet_pton(int af, const char *src, void *dst);

/* Resolves a host name to one numeric address in its usual text form (dotted
 * IPv4 or IPv6 without brackets; IPv4 when the name has both) into addr, NUL
 * ended. 0 on success; -1 when the name does not resolve, the answer does not
 * fit, or no answer came within timeout_ms (0: the resolver's own limit).
 * Called on a client's library thread (its stack: 6 KiB asked), never on
 * the service task, and may block it for as long as the lookup takes: a port
 * may use the modem's resolver. The service ends an open whose lookup outlives its connect
 * timeout without waiting for this call, which may return later. Numeric
 * addresses never reach it. */
int yv_net_resolve(const char *host, char *addr, size_t addr_size, uint32_t timeout_ms);

/* Checks of a connected socket the library owns, made on the library thread
 * of its connection; they never block and change nothing. */
/* 1 when neither an end of stream nor an error is waiting on the socket
 * (unread bytes do not count); 0 otherwise or when unknown. */
int yv_socket_peer_open(int fd);
/* 1 when the peer reset the connection (no orderly end), 0 when it did not,
 * -1 when the stack cannot tell. */
int yv_socket_reset(int fd);
/* 1 when bytes are waiting to be read on the socket; 0 otherwise. */
int yv_socket_readable(int fd);
/* Milliseconds since the socket last received anything, or -1 when the stack
 * cannot tell. It sees what the library consumes on its own (server pings). */
int64_t yv_socket_quiet_ms(int fd);
/* What the socket carried since it was made: bytes put on the link (sent,
 * retransmissions included) and bytes received, TLS records and WebSocket
 * framing included, as the IP stack counts them. 0 when both are filled,
 * -1 when the stack cannot tell. */
int yv_socket_bytes(int fd, uint64_t *sent, uint64_t *received);

#ifdef __cplusplus
}
#endif

#endif
