/*
 * Ids of the events the WebSocket client service task consumes: the id word
 * of a yv_event_t handed to yv_ws_task_send_message. The service posts them
 * itself (from callers' tasks, timers and library threads); a caller has no
 * need to, and an id the service does not expect is traced and dropped.
 * Kept apart from yv_api_websocket.h so a command layer that never posts
 * events does not see these names.
 */
#ifndef YV_WS_MSG_H
#define YV_WS_MSG_H

typedef enum {
  YWS_MSG_TYPE_NULL = 0,
  YWS_MSG_TYPE_TO_KILL_MSG_PROC_THREAD = 1,
  YWS_MSG_TYPE_TO_NET_ACT = 2, /* unused: ignored when posted */
  YWS_MSG_TYPE_TO_OPEN_CLIENT = 3,
  YWS_MSG_TYPE_TO_PING = 4,
  YWS_MSG_TYPE_TO_WRITE_DATA = 5, /* unused: ignored when posted */
  YWS_MSG_TYPE_TO_READ_DATA = 6,
  YWS_MSG_TYPE_TO_CLOSE_CLIENT = 7,
  YWS_MSG_TYPE_OPEN_TIMEDOUT = 8,
  YWS_MSG_TYPE_LWS_WSI_DESTROY = 9,
  YWS_MSG_TYPE_LWS_CLIENT_ESTABLISHED = 10,
  YWS_MSG_TYPE_LWS_CLIENT_CONNECTION_ERROR = 11,
  YWS_MSG_TYPE_LWS_CLIENT_CLOSED = 12,
  YWS_MSG_TYPE_LWS_CLIENT_DROP_PROTOCOL = 13,
  YWS_MSG_TYPE_LWS_CLIENT_WRITEABLE = 14, /* unused: ignored when posted */
  YWS_MSG_TYPE_LWS_CLIENT_RECEIVE = 15,
  YWS_MSG_TYPE_LWS_CLIENT_RECEIVE_PONG = 16, /* unused: ignored when posted */
  YWS_MSG_TYPE_LWS_ESTABLISHED_CLIENT_HTTP = 17,
  YWS_MSG_TYPE_LWS_CLOSED_CLIENT_HTTP = 18,
  YWS_MSG_TYPE_LWS_CLIENT_HTTP_DROP_PROTOCOL = 19,
  YWS_MSG_TYPE_LWS_CLIENT_HTTP_WRITEABLE = 20,
  YWS_MSG_TYPE_LWS_CLIENT_HTTP_RECEIVE = 21,
  YWS_MSG_TYPE_LWS_RAW_CONNECTED = 22,
  YWS_MSG_TYPE_LWS_RAW_CLOSED = 23,
  YWS_MSG_TYPE_LWS_RAW_SKT_DROP_PROTOCOL = 24,
  YWS_MSG_TYPE_LWS_RAW_WRITEABLE = 25,
  YWS_MSG_TYPE_LWS_RAW_RECEIVE = 26,
  YWS_MSG_TYPE_LWS_PROTOCOL_DESTROY = 27,
  /* A loop thread ended; param2 YWS_END_DEADLINE (1): the bound of an end
   * ran out first. */
  YWS_MSG_TYPE_LWS_THREAD_EXIT = 28,
  /* An attempt's open failed on the task that runs it (param2: the error). */
  YWS_MSG_TYPE_OPEN_FAILED = 29,
  YWS_MSG_TYPE_MAX = 30
} yws_msg_type_e;

#endif /* YV_WS_MSG_H */
