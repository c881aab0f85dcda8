/*
 * yws-echo-example URL [MESSAGE]
 *
 * Opens a WebSocket client on URL, sends MESSAGE (default "Hello from C") as
 * text, prints the reply and closes. Every outcome arrives through the
 * profile's notification callback on the service task; main sleeps on a
 * condition variable until the outcome it needs is there (at most 10 s).
 * A reply longer than 2048 bytes arrives in several notifications: the
 * pieces that arrived first are printed.
 */
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "yv_api_websocket.h"

#define CLIENT 0
#define PROFILE 0
#define WAIT_S 10

static pthread_mutex_t g_mu = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_cv = PTHREAD_COND_INITIALIZER;
static int g_opened, g_closed, g_received; /* guarded by g_mu */
static int g_open_err, g_close_err;
static char g_reply[4096];
static size_t g_reply_len;

static int on_note(int client_id, yws_parm_t *p) {
  if (client_id != CLIENT || !p) return 0;
  pthread_mutex_lock(&g_mu);
  switch (p->type) {
    case YWS_CB_TYPE_OPEN:
      g_opened = 1;
      g_open_err = p->virtual;
      break;
    case YWS_CB_TYPE_CLOSE:
      g_closed = 1;
      g_close_err = p->virtual;
      break;
    case YWS_CB_TYPE_RECV:
      /* The data lives only during this call. */
      if (p->data && p->size > 0) {
        size_t n = (size_t)p->size;
        if (n > sizeof(g_reply) - g_reply_len) n = sizeof(g_reply) - g_reply_len;
        memcpy(g_reply + g_reply_len, p->data, n);
        g_reply_len += n;
        g_received = 1;
      }
      break;
    default:
      break;
  }
  pthread_cond_broadcast(&g_cv);
  pthread_mutex_unlock(&g_mu);
  return 0;
}

/* 0 once *flag is set, -1 when WAIT_S seconds passed first. */
static int wait_for(const int *flag) {
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += WAIT_S;
  int rc = 0;
  pthread_mutex_lock(&g_mu);
  while (!*flag && rc != ETIMEDOUT) rc = pthread_cond_timedwait(&g_cv, &g_mu, &deadline);
  int set = *flag;
  pthread_mutex_unlock(&g_mu);
  return set ? 0 : -1;
}

int main(int argc, char **argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: %s ws://host:port/path [message]\n", argv[0]);
    return 2;
  }
  const char *message = argc > 2 ? argv[2] : "Hello from C";

  int rc = yv_ws_cfg_set_opt(PROFILE, YWS_CFG_CONN_URL, argv[1]);
  if (rc == YWS_OK) rc = yv_ws_cfg_set_opt(PROFILE, YWS_CFG_RECV_CB, on_note);
  if (rc != YWS_OK) {
    fprintf(stderr, "configuration failed: %d\n", rc);
    return 1;
  }

  yws_open_t open_req = {CLIENT, PROFILE, NULL, 0};
  rc = yv_ws_open_proc(&open_req);
  if (rc != 0) {
    fprintf(stderr, "open refused: %d\n", rc);
    return 1;
  }
  if (wait_for(&g_opened) != 0) {
    fprintf(stderr, "no open notification\n");
    return 1;
  }
  if (g_open_err != YWS_OK) {
    fprintf(stderr, "open failed: %d\n", g_open_err);
    return 1;
  }
  printf("open: %s\n", argv[1]);

  yws_parm_t msg = {YWS_WRITE_PROT_TEXT, (uint8_t *)message, (int32_t)strlen(message), 0};
  int status = 0;
  rc = yv_ws_write_proc(CLIENT, &msg);
  if (rc != YWS_OK) {
    fprintf(stderr, "send failed: %d\n", rc);
    status = 1;
  } else if (wait_for(&g_received) != 0) {
    fprintf(stderr, "no reply\n");
    status = 1;
  } else {
    pthread_mutex_lock(&g_mu);
    printf("reply: %.*s\n", (int)g_reply_len, g_reply);
    pthread_mutex_unlock(&g_mu);
  }

  rc = yv_ws_close_proc(CLIENT);
  if (rc != YWS_OK || wait_for(&g_closed) != 0) {
    fprintf(stderr, "close failed: %d\n", rc);
    return 1;
  }
  printf("closed: %d\n", g_close_err);
  fflush(stdout);
  return status;
}
