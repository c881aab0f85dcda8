/* The public headers must serve a C command layer as they are. */
#include <stddef.h>

#include "yv_api_websocket.h"
#include "yv_ws_msg.h"

int yws_c_fill_parm(yws_parm_t *p, int err) {
  p->type = YWS_CB_TYPE_OPEN;
  p->data = 0;
  p->size = 0;
  p->virtual = err;
  return p->virtual;
}

size_t yws_c_parm_size(void) {
  return sizeof(yws_parm_t);
}
size_t yws_c_virtual_offset(void) {
  return offsetof(yws_parm_t, virtual);
}
