/* Configuration of the host TLS context store, for the console and the tests.
 * Not part of the platform a port provides. */
#ifndef YV_SSL_STORE_CTL_H
#define YV_SSL_STORE_CTL_H

#include "yv_ssl_store.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Configures a context (copies the paths; NULL allowed) and sets its level:
 * 1 when a CA path is given, else 0. Returns 0, or -1 for a number outside
 * 0..4. */
int yavo_ssl_cfg_set(int ssl_ctx_id, const char *ca_path, const char *cert_path,
                     const char *key_path);
/* Changes the level (0..2) of a context, configured or not. Returns 0, or -1
 * for a context outside 0..4 or a level outside 0..2 (nothing changes). */
int yavo_ssl_cfg_set_level(int ssl_ctx_id, int level);
/* Back to nothing configured, level 0. Returns 0, or -1 outside 0..4. */
int yavo_ssl_cfg_clear(int ssl_ctx_id);

#ifdef __cplusplus
}
#endif

#endif
