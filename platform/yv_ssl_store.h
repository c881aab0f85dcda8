/*
 * TLS context store: certificate and key paths of a numbered TLS context
 * (0..4) and its security level.
 *
 * Levels:
 *   0  encrypted, server not authenticated: any certificate is accepted and
 *      the host name is not compared. A context with nothing configured is
 *      at level 0.
 *   1  server authenticated: the chain must lead to the context's own CA
 *      (ca_cert_path[0]; the machine's trust store is not consulted), the
 *      URL's host name or address must match the certificate, and expired or
 *      not yet valid certificates are refused. No client certificate is sent.
 *   2  level 1, and the client certificate and key of the context are
 *      presented (mutual TLS).
 * The service reads the record and the level when a wss client connects, on
 * the service task; files are read then, not when they are set.
 *
 * yavo_ssl_cfg_get_by_id returns NULL for a context without configuration;
 * the record stays valid until that context is set or cleared again. All
 * calls may be made from any task. The service only reads the store: how
 * contexts are configured is the module's business (on a host:
 * yv_ssl_store_ctl.h).
 */
#ifndef YV_SSL_STORE_H
#define YV_SSL_STORE_H

#ifdef __cplusplus
extern "C" {
#endif

#define YV_SSL_CA_NUM 10
#define YV_SSL_CTX_NUM 5
#define YV_SSL_LEVEL_MAX 2

typedef struct yv_ssl_config {
  const char *ca_cert_path[YV_SSL_CA_NUM];
  const char *own_cert_path;
  const char *own_key_path;
} yv_ssl_config;

yv_ssl_config *yavo_ssl_cfg_get_by_id(int ssl_ctx_id);

/* The level of a context, or -1 for a number outside 0..4. */
int yavo_ssl_cfg_get_level(int ssl_ctx_id);

#ifdef __cplusplus
}
#endif

#endif
