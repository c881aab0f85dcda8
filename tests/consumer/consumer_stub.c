/* The service on the stub platform: configuration works, and an open comes
 * back with the platform's own status once the service asked it for its task. */
#include <stdio.h>
#include <string.h>

#include "stub_platform.h"
#include "yv_api_websocket.h"
#include "yv_rtos.h"

static int fail(const char *what, int got) {
  fprintf(stderr, "consumer_stub: %s (%d)\n", what, got);
  return 1;
}

int main(void) {
  const char *url = "ws://127.0.0.1:9/stub";
  int rc = yv_ws_cfg_set_opt(0, YWS_CFG_CONN_URL, url);
  if (rc != YWS_OK) return fail("configuration refused", rc);
  char *back = NULL;
  rc = yv_ws_cfg_get_opt(0, YWS_CFG_CONN_URL, &back);
  if (rc != YWS_OK || !back || strcmp(back, url) != 0) return fail("URL not read back", rc);
  if (stub_blocks_held <= 0) return fail("the profile was not allocated by the stub", 0);

  yws_open_t req = {0, 0, NULL, 0};
  rc = yv_ws_open_proc(&req);
  if (rc != YV_OSI_TASK_CREATE_FAIL) return fail("open did not pass on the task status", rc);
  if (stub_tasks_asked != 1 || strcmp(stub_last_task, "wsclient") != 0)
    return fail("the service task was not asked of the stub", stub_tasks_asked);
  printf("consumer_stub: service linked with its own platform; open answered %d\n", rc);
  return 0;
}
