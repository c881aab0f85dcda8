/*
 * Cellular data-call layer, as the service uses it. On a host it is simulated;
 * yv_datacall_ctl.h steers the simulation.
 *
 * Relied on: yv_network_register_wait returns 0 once registered;
 * yv_datacall_pdp_active returns 0 when an activation was started and then
 * calls cb(sim, YAVO_DATACALL_ACT_RSP_IND, cid, result, task_ref) once, from
 * the layer's own thread; a later cb call with YAVO_DATACALL_DEACT_RSP_IND
 * (or a failure result) means the bearer was lost.
 */
#ifndef YV_DATACALL_H
#define YV_DATACALL_H

#include <stdint.h>

#include "yv_api_websocket.h"

#ifdef __cplusplus
extern "C" {
#endif

#define YAVO_TCPIP_APP_PDP_EVT_IND 0x85000001u
#define YAVO_DATACALL_ACT_RSP_IND 0x86010001u
#define YAVO_DATACALL_DEACT_RSP_IND 0x86010002u
#define YV_DATACALL_REPEAT_ACTIVE_ERR 0x86010006u

typedef enum {
  YV_DATACALL_IDLE = 0,
  YV_DATACALL_ACTIVING = 1,
  YV_MODEM_ACTIVING = 2,
  YV_DATACALL_ACTIVED = 3,
  YV_DATACALL_DEACTIVING = 4,
  YV_MODEM_DEACTIVING = 5
} yv_datacall_status_e;

typedef struct {
  uint32_t ip;
  uint32_t pri_dns;
  uint32_t sec_dns;
} yv_ip4_addr_s;

typedef struct {
  int state;
  yv_ip4_addr_s addr;
} yv_v4_info_s;

typedef struct {
  int state;
  uint8_t ip[16];
} yv_v6_info_s;

typedef struct {
  int profile_idx;
  int ip_version;
  yv_v4_info_s v4;
  yv_v6_info_s v6;
} yv_data_call_info_s;

/* Blocks until registered or the timeout (seconds on a host) ends; 0 = registered. */
int yv_network_register_wait(uint8_t sim, uint32_t timeout);
int yavo_get_datacall_status(uint8_t sim, int cid);
/* 0 = started (cb follows), YV_DATACALL_REPEAT_ACTIVE_ERR = already requested
 * or active, other = refused. cb may be NULL. */
uint32_t yv_datacall_pdp_active(uint8_t sim, int cid, YVW_DATACALL_RESPONSE_CB cb, void *task_ref);
/* 0 = success; *word holds the SIM/context binding, which names the context
 * an indication is for: bits 0-7 the context id (1..16), bits 8-15 the SIM.
 * The service reads the context from the low byte of the word it is given
 * back with each indication; a port must keep that byte. */
int yv_bind_sim_and_profile(uint8_t sim, int cid, uint16_t *word);
/* 0 = success; info filled (v4.addr.ip in network byte order). */
int yv_get_data_call_info(uint8_t sim, int cid, yv_data_call_info_s *info);
const char *lwip_inet_ntop(int af, const void *src, char *dst, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif
