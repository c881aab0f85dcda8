/* Test controls of the host resolver: lookups made slow, failing or held.
 * Not part of the platform a port provides. */
#ifndef YV_NET_CTL_H
#define YV_NET_CTL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A delay that ends only at yv_net_ctl_reset. */
#define YV_NET_CTL_FOREVER 0xFFFFFFFFu

/* Lookups of `host` (exact name) wait delay_ms, then answer `answer` (a
 * numeric address) or fail when it is NULL; without a rule a name goes to the
 * system's resolver. 0, or -1 when the table (8 names) is full or an argument
 * is too long. */
int yv_net_ctl_set_host(const char *host, uint32_t delay_ms, const char *answer);
/* Every rule goes and every waiting lookup ends now, failing. */
void yv_net_ctl_reset(void);
/* Lookups inside yv_net_resolve now, and made in all. */
uint32_t yv_net_ctl_lookups_running(void);
uint32_t yv_net_ctl_lookups(void);

#ifdef __cplusplus
}
#endif

#endif
