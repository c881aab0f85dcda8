/* The service with the host platform through yws::yws, as before the split. */
#include <stdio.h>
#include <string.h>

#include "yv_api_websocket.h"

int main(void) {
  const char *url = "ws://127.0.0.1:9/host";
  char *back = NULL;
  int rc = yv_ws_cfg_set_opt(1, YWS_CFG_CONN_URL, url);
  if (rc == YWS_OK) rc = yv_ws_cfg_get_opt(1, YWS_CFG_CONN_URL, &back);
  if (rc != YWS_OK || !back || strcmp(back, url) != 0) {
    fprintf(stderr, "consumer_host: profile not kept (%d)\n", rc);
    return 1;
  }
  printf("consumer_host: profile kept on the host platform\n");
  return 0;
}
