/*
 * TLS context store: certificate and key paths of a numbered TLS context.
 * yavo_ssl_cfg_get_by_id returns NULL for a context without configuration;
 * the record stays valid until that context is set or cleared again.
 */
#ifndef YV_SSL_STORE_H
#define YV_SSL_STORE_H

#ifdef __cplusplus
extern "C" {
#endif

#define YV_SSL_CA_NUM 10
#define YV_SSL_CTX_NUM 5

typedef struct yv_ssl_config {
  const char *ca_cert_path[YV_SSL_CA_NUM];
  const char *own_cert_path;
  const char *own_key_path;
} yv_ssl_config;

yv_ssl_config *yavo_ssl_cfg_get_by_id(int ssl_ctx_id);

/* Test and command-layer control: configure (copies the paths; NULL allowed)
 * or clear a context. Returns 0, or -1 for a number outside 0..4. */
int yavo_ssl_cfg_set(int ssl_ctx_id, const char *ca_path, const char *cert_path,
                     const char *key_path);
int yavo_ssl_cfg_clear(int ssl_ctx_id);

#ifdef __cplusplus
}
#endif

#endif
