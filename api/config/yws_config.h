/*
 * The configuration room: the three profiles with their option table, the
 * handshake request headers, the "+YWSCFG: " reports, the checks of URL and
 * sub-protocol, and the notification of a profile's callback.
 *
 * Profiles have no lock of their own for readers: once a client of a profile
 * exists, the busy rule keeps its fields and strings still, so the rooms
 * above read them through yws_profile() without locking. The header lists
 * change at any time and are reached only through the functions below.
 */
#ifndef YWS_CONFIG_H
#define YWS_CONFIG_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "yavo_linklist.h"
#include "yv_api_websocket.h"

struct lws;

typedef struct {
  char *name;
  char *value;
} http_head_list_node_t;

typedef struct {
  int32_t pdp_cid;
  int32_t ssl_ctx_id;
  char *url;
  bool subprot_en;
  char *subprot;
  bool extension_en;
  char *extension;
  char *method;
  uint8_t timeout;
  uint8_t deflate; /* window bits offered, 0 = no compression */
  linklist_handler_t head_linklist_hd;
} YWS_CFG_CONN_PARM_LIST;

typedef struct {
  uint8_t interval;
  uint8_t timeout; /* seconds without any arrival after a ping; 0 = off */
} YWS_CFG_PING_PARM_LIST;

typedef struct {
  uint32_t buffer_sz;
  uint8_t timeout;
  bool echo;
  bool message; /* each write one message */
} YWS_CFG_WRITE_PARM_LIST;

typedef struct {
  uint32_t buffer_sz;
  uint8_t timeout;
  uint8_t mode;
  ws_client_recv_cb_t recv_cb;
  uint32_t message; /* 0, or the piece size of message delivery */
} YWS_CFG_READ_PARM_LIST;

typedef struct {
  uint8_t waittime;
} YWS_CFG_CLOSE_PARM_LIST;

typedef struct {
  uint8_t attempts; /* 0 = off, 255 = without limit */
  uint32_t mindelay_ms;
  uint32_t maxdelay_ms;
} YWS_CFG_RECONN_PARM_LIST;

typedef struct {
  YWS_CFG_CONN_PARM_LIST conn;
  YWS_CFG_PING_PARM_LIST ping;
  YWS_CFG_WRITE_PARM_LIST write;
  YWS_CFG_READ_PARM_LIST read;
  YWS_CFG_CLOSE_PARM_LIST close;
  YWS_CFG_RECONN_PARM_LIST reconn;
} yws_cfg_t;

/* The smallest piece "read/message" takes. */
#define YWS_READ_MESSAGE_MIN 128

/* The smallest window "conn/deflate" offers: zlib cannot deflate with 8. */
#define YWS_DEFLATE_BITS_MIN 9

/* ---- handshake input bounds ----
 * The library builds the upgrade request in a 4096-byte buffer and cuts Host
 * and Origin near 128 bytes: every piece we hand it is bounded so that the
 * request always fits, with room for the library's own lines. */
#define YWS_URL_HOST_MAX 96   /* host without brackets */
#define YWS_URL_PATH_MAX 1024 /* path with query, leading '/' included */
#define YWS_SUBPROT_MAX 256
#define YWS_REQUEST_FIXED 320 /* request line, Host/Origin/Protocol names, lws's own headers */
#define YWS_REQUEST_MAX 3584

typedef struct {
  bool tls;
  bool ipv6; /* host is an IPv6 literal, kept here without its brackets */
  int port;
  char host[YWS_URL_HOST_MAX + 1];
  char host_port[YWS_URL_HOST_MAX + 9]; /* Host and Origin: "h:port" or "[h]:port" */
  char path[YWS_URL_PATH_MAX + 1];
} yws_url_t;

#ifdef __cplusplus
extern "C" {
#endif

/* The profile, NULL before anything named it. */
yws_cfg_t *yws_profile(int cfg_id);
/* The bytes a receive or transmit buffer of a configured size holds. */
int32_t yws_buffer_limit(uint32_t configured);
/* Calls the profile's callback with no lock held; nothing without one. */
void yws_notify(int client_id, uint8_t cfg_id, int32_t type, uint8_t *data, int32_t size,
                int32_t virt);

/* The profile lock (not recursive): held by an option set across its busy
 * check and change, by client creation across its reading of the profile
 * and the filling of the client slot, and by reports while they read profile
 * strings. Taken before the service lock, never inside it. */
void yws_cfg_lock(int cfg_id);
void yws_cfg_unlock(int cfg_id);
/* A string option of an existing profile; the caller holds the profile lock. */
char *yws_cfg_string_held(int cfg_id, int opt_tag);

/* yws_cfg_add_http_head and yws_cfg_remove_http_head for a caller that may
 * hold the profile lock (profile_held: it does, and the profile exists). */
int yws_cfg_head_add(int cfg_id, const char *header_name, const char *header_str,
                     bool profile_held);
int yws_cfg_head_remove(int cfg_id, const char *header_name, bool profile_held);
/* The longest header name and value a profile takes. */
#define YWS_HEADER_NAME_MAX 256
#define YWS_HEADER_VALUE_MAX 1024
/* A connect step's copy of the profile's headers: `count` pairs back to
 * back after the record, each a name and a value, NUL-ended. The loop
 * thread reads it without any lock: nothing inside a library pass takes
 * the profile or header lock. */
typedef struct {
  uint32_t count;
  uint32_t size; /* bytes of pairs after the record */
} yws_headers_t;
/* NULL when the profile has no headers, or with *no_mem when the copy
 * cannot be had. Free with yv_mem_free. */
yws_headers_t *yws_cfg_headers_copy(int cfg_id, bool *no_mem);
/* Walks a copy: *at starts at 0; the next pair, false after the last (or at
 * a pair that breaks the bounds headers are added with). Any thread. */
bool yws_headers_next(const yws_headers_t *h, uint32_t *at, const char **name, const char **value);
/* Bytes the profile's headers take in a request ("name: value\r\n" each). */
size_t yws_cfg_headers_wire_size(int cfg_id);
/* Appends s to the text of buf (len characters so far, cap bytes) with '"'
 * and '\\' written \\" and \\\\, cut to stay NUL-terminated; the new length. */
size_t yws_report_escape(char *buf, size_t cap, size_t len, const char *s);

/* The two strings are equal without regard to ASCII letter case. */
bool yws_str_ieq(const char *a, const char *b);
/* RFC 7230 tchar: the characters of a token (header names, sub-protocols). */
bool yws_is_tchar(char c);
/* YWS_OK and *out filled, or YWS_ERR_INVAL_URL; reads nothing beyond the NUL. */
yws_err_e yws_url_parse(const char *url, yws_url_t *out);
/* A comma-separated list of RFC 6455 tokens (spaces allowed after commas),
 * at most YWS_SUBPROT_MAX characters; "" is allowed (no sub-protocol). */
bool yws_subprot_is_valid(const char *s);
/* Upper estimate of the upgrade request's size for this URL, sub-protocol
 * and the profile's headers now. */
size_t yws_request_size(const yws_url_t *url, const char *subprot, int cfg_id);

#ifdef __cplusplus
}
#endif

#endif
