/* The record handed to the library's platform layer for each client
 * connection (context user pointer and connection user pointer). */
#ifndef YV_WS_PRIVATE_H
#define YV_WS_PRIVATE_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
  struct {
    uint8_t client_id;
    int32_t pdp_cid;
    int32_t ssl_ctx_id;
    bool subprot_en;
    int32_t linger_time_ms;
  } config;
  struct {
    int32_t ip_vsn;
  } record;
} lws_plat_user_info_t;

#ifdef __cplusplus
}
#endif

#endif
