/* Test controls of the simulated data-call layer. Not for production code. */
#ifndef YV_DATACALL_CTL_H
#define YV_DATACALL_CTL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  YV_DC_ACT_ANSWER_OK = 0,    /* accepted, answered with success shortly after (default) */
  YV_DC_ACT_ANSWER_FAIL = 1,  /* accepted, answered with failure shortly after */
  YV_DC_ACT_REFUSE = 2,       /* refused at once */
  YV_DC_ACT_NEVER_ANSWER = 3, /* accepted, never answered */
  YV_DC_ACT_UNDER_WAY = 4     /* status ACTIVING, request answered REPEAT_ACTIVE_ERR;
                                 yv_dc_ctl_answer_pending() completes it */
} yv_dc_act_mode_e;

/* Back to defaults: registered, every context idle, activation answered OK,
 * bind works, answers after 1 ms. */
void yv_dc_ctl_reset(void);
/* The next `count` registration waits fail, each after `wait_ms`. */
void yv_dc_ctl_fail_registration(uint32_t count, uint32_t wait_ms);
uint32_t yv_dc_ctl_registration_calls(void);
void yv_dc_ctl_set_act_mode(yv_dc_act_mode_e mode);
/* The mode of context cid alone, ahead of the one above; reset clears it. */
void yv_dc_ctl_set_cid_act_mode(int cid, yv_dc_act_mode_e mode);
uint32_t yv_dc_ctl_activation_requests(void);
/* Make context cid active (or idle) without any callback. */
void yv_dc_ctl_set_active(int cid, int active);
/* Answer pending activations now (success or failure) from the layer's thread. */
void yv_dc_ctl_answer_pending(int success);
/* The same for context cid only. */
void yv_dc_ctl_answer_cid(int cid, int success);
/* Deactivate cid and indicate it through the callback of its activation, from
 * the layer's thread. Returns 0 if a callback was known for cid. */
int yv_dc_ctl_deactivate(int cid);
void yv_dc_ctl_fail_bind(int fail);
/* Waits until every callback the layer started has returned; 0 on success. */
int yv_dc_ctl_wait_idle(uint32_t timeout_ms);

#ifdef __cplusplus
}
#endif

#endif
