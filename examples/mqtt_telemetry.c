/*
 * yws-mqtt-telemetry URL [SECONDS [DEVICE]]
 *
 * An MQTT 3.1.1 client over the WebSocket client service, with nothing but the
 * public API: sub-protocol "mqtt", one binary message per MQTT packet (message
 * mode both ways), reconnect on. Every second it publishes a JSON telemetry
 * message at QoS 1 to yws/DEVICE/telemetry; it subscribes to
 * yws/DEVICE/command and prints what arrives there. Each successful OPEN,
 * the first and every reconnect, starts a new MQTT session (CONNECT, then
 * SUBSCRIBE), from the notification callback.
 *
 * SECONDS: how long to run (default 0: until SIGINT or SIGTERM). DEVICE:
 * default "demo". wss:// URLs use the profile's TLS context (0), which the
 * module's AT layer configures.
 *
 * The MQTT part is deliberately small: the six packets a telemetry client
 * sends, and a decoder that checks every length the broker sends before using
 * it (a broker's bytes are hostile input like any other).
 */
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "yv_api_websocket.h"

#define CLIENT 0
#define PROFILE 0
#define KEEPALIVE_S 10
#define MAX_PACKET 1024 /* what we send, and the largest packet we keep */

static const char *g_device = "demo";
static char g_topic_telemetry[128], g_topic_command[128];

/* State shared by main and the notification callback (service task). */
static pthread_mutex_t g_mu = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_cv = PTHREAD_COND_INITIALIZER;
static int g_session_up; /* CONNACK accepted on the current connection */
static int g_closed;     /* the final CLOSE arrived */
static uint16_t g_next_id = 1;
static unsigned g_published, g_acked, g_commands;

static volatile sig_atomic_t g_stop;

static void on_signal(int sig) {
  (void)sig;
  g_stop = 1;
}

/* ---- encoder ---- */

/* The remaining length: 7 bits per byte, low first, high bit = more follows. */
static size_t put_varint(uint8_t *out, size_t n) {
  size_t i = 0;
  do {
    uint8_t b = (uint8_t)(n % 128);
    n /= 128;
    out[i++] = n ? (uint8_t)(b | 0x80) : b;
  } while (n && i < 4);
  return i;
}

static size_t put_u16(uint8_t *out, unsigned v) {
  out[0] = (uint8_t)(v >> 8);
  out[1] = (uint8_t)v;
  return 2;
}

static size_t put_str(uint8_t *out, const char *s) {
  size_t n = strlen(s);
  put_u16(out, (unsigned)n);
  memcpy(out + 2, s, n);
  return n + 2;
}

/* Sends fixed header + body as one binary message. The service copies it. */
static int send_packet(uint8_t first, const uint8_t *body, size_t len) {
  uint8_t buf[MAX_PACKET + 5];
  if (len > MAX_PACKET) return -1;
  size_t n = 0;
  buf[n++] = first;
  n += put_varint(buf + n, len);
  if (len) memcpy(buf + n, body, len);
  yws_parm_t msg = {YWS_WRITE_PROT_BIN, buf, (int32_t)(n + len), 0};
  return yv_ws_write_proc(CLIENT, &msg) == YWS_OK ? 0 : -1;
}

static int mqtt_connect(const char *client_id) {
  uint8_t b[MAX_PACKET];
  if (strlen(client_id) > 64) return -1;
  size_t n = put_str(b, "MQTT");
  b[n++] = 4;    /* protocol level 3.1.1 */
  b[n++] = 0x02; /* clean session */
  n += put_u16(b + n, KEEPALIVE_S);
  n += put_str(b + n, client_id);
  return send_packet(0x10, b, n);
}

static int mqtt_subscribe(uint16_t id, const char *topic) {
  uint8_t b[MAX_PACKET];
  if (strlen(topic) > 200) return -1;
  size_t n = put_u16(b, id);
  n += put_str(b + n, topic);
  b[n++] = 1; /* QoS 1 */
  return send_packet(0x82, b, n);
}

static int mqtt_publish_qos1(uint16_t id, const char *topic, const char *payload) {
  uint8_t b[MAX_PACKET];
  size_t tn = strlen(topic), pn = strlen(payload);
  if (tn > 200 || tn + pn + 4 > sizeof b) return -1;
  size_t n = put_str(b, topic);
  n += put_u16(b + n, id);
  memcpy(b + n, payload, pn);
  return send_packet(0x32, b, n + pn);
}

static int mqtt_puback(uint16_t id) {
  uint8_t b[2];
  put_u16(b, id);
  return send_packet(0x40, b, 2);
}

static int mqtt_pingreq(void) {
  return send_packet(0xC0, NULL, 0);
}

static int mqtt_disconnect(void) {
  return send_packet(0xE0, NULL, 0);
}

/* ---- decoder (service task only) ---- */

static uint8_t g_rx[MAX_PACKET + 5];
static size_t g_rx_len;
static size_t g_skip;   /* bytes still to drop of a packet larger than g_rx */
static int g_rx_broken; /* a malformed length: nothing more is read on this connection */

static unsigned get_u16(const uint8_t *p) {
  return (unsigned)(p[0] << 8 | p[1]);
}

/* Prints the bytes, printable ASCII only. */
static void print_safe(const uint8_t *p, size_t n) {
  for (size_t i = 0; i < n; i++) putchar(p[i] >= 0x20 && p[i] < 0x7F ? p[i] : '.');
}

/* On the service task, with g_mu held. */
static void handle_packet(uint8_t first, const uint8_t *body, size_t len) {
  switch (first >> 4) {
    case 2: /* CONNACK: flags, return code */
      if (len < 2) break;
      g_session_up = body[1] == 0;
      if (g_session_up) {
        printf("mqtt: connected\n");
        mqtt_subscribe(g_next_id++, g_topic_command);
      } else {
        printf("mqtt: refused, return code %u\n", body[1]);
      }
      break;
    case 9: /* SUBACK: id, granted QoS (0x80: refused) */
      if (len >= 3)
        printf("mqtt: subscribed %s (%s)\n", g_topic_command,
               body[2] == 0x80 ? "refused" : "granted");
      break;
    case 4: /* PUBACK: id */
      if (len >= 2) {
        g_acked++;
        printf("puback %u\n", get_u16(body));
      }
      break;
    case 3: { /* PUBLISH: topic, [id], payload */
      unsigned qos = (first >> 1) & 3;
      if (len < 2 || qos > 1) break; /* we subscribed at QoS 1: nothing higher is due */
      size_t tlen = get_u16(body), at = 2 + tlen;
      if (at + (qos ? 2 : 0) > len) break;
      unsigned id = qos ? get_u16(body + at) : 0;
      at += qos ? 2 : 0;
      printf("command ");
      print_safe(body + 2, tlen);
      printf(": ");
      print_safe(body + at, len - at);
      printf("\n");
      g_commands++;
      if (qos) mqtt_puback((uint16_t)id);
      break;
    }
    default: /* PINGRESP and anything else: nothing to do */
      break;
  }
}

/* Takes bytes of the broker's stream; packets may span or share messages. */
static void rx_bytes(const uint8_t *p, size_t n) {
  while (n > 0 && !g_rx_broken) {
    if (g_skip) {
      size_t k = n < g_skip ? n : g_skip;
      p += k, n -= k, g_skip -= k;
      continue;
    }
    size_t k = sizeof g_rx - g_rx_len;
    if (k > n) k = n;
    memcpy(g_rx + g_rx_len, p, k);
    g_rx_len += k, p += k, n -= k;
    size_t at = 0;
    for (;;) {
      size_t avail = g_rx_len - at, len = 0, hdr = 1;
      int whole = 0;
      while (hdr < avail && hdr <= 4) {
        uint8_t b = g_rx[at + hdr];
        len |= (size_t)(b & 0x7F) << (7 * (hdr - 1));
        hdr++;
        if (!(b & 0x80)) {
          whole = 1;
          break;
        }
      }
      if (!whole) {
        if (hdr > 4) {
          printf("mqtt: malformed length from the broker, ignoring this connection\n");
          g_rx_broken = 1;
        }
        break;
      }
      if (hdr + len > sizeof g_rx) { /* too large to keep: drop it */
        g_skip = hdr + len - avail;
        at = g_rx_len;
        break;
      }
      if (avail < hdr + len) break;
      handle_packet(g_rx[at], g_rx + at + hdr, len);
      at += hdr + len;
    }
    memmove(g_rx, g_rx + at, g_rx_len - at);
    g_rx_len -= at;
  }
}

/* ---- the service's notifications ---- */

static int on_note(int client_id, yws_parm_t *p) {
  if (client_id != CLIENT || !p) return 0;
  pthread_mutex_lock(&g_mu);
  switch (p->type) {
    case YWS_CB_TYPE_OPEN:
      g_session_up = 0;
      if (p->virtual == YWS_OK) {
        /* A new connection: a new MQTT session, from its first byte. */
        g_rx_len = g_skip = 0;
        g_rx_broken = 0;
        printf("open: connected\n");
        mqtt_connect(g_device);
      } else {
        printf("open: failed, %d\n", (int)p->virtual);
      }
      break;
    case YWS_CB_TYPE_MESSAGE:
      if (p->data && p->size > 0) rx_bytes(p->data, (size_t)p->size);
      break;
    case YWS_CB_TYPE_RECONNECT:
      g_session_up = 0;
      printf("reconnect: attempt %d in %d ms\n", (int)p->size, (int)p->virtual);
      break;
    case YWS_CB_TYPE_CLOSE:
      g_session_up = 0;
      printf("closed: %d\n", (int)p->virtual);
      /* With reconnect on, a CLOSE is final only when no RECONNECT follows; main knows when it
       * asked for the close. */
      g_closed = 1;
      break;
    default:
      break;
  }
  pthread_cond_broadcast(&g_cv);
  pthread_mutex_unlock(&g_mu);
  return 0;
}

/* ---- main ---- */

static int configure(const char *url) {
  int rc = yv_ws_cfg_set_opt(PROFILE, YWS_CFG_CONN_URL, url);
  if (rc == YWS_OK) rc = yv_ws_cfg_set_opt(PROFILE, YWS_CFG_RECV_CB, on_note);
  if (rc == YWS_OK) rc = yv_ws_cfg_set_opt(PROFILE, YWS_CFG_CONN_SUBPROT, "mqtt");
  if (rc == YWS_OK) rc = yv_ws_cfg_set_opt(PROFILE, YWS_CFG_CONN_SUBPROT_EN, 1);
  if (rc == YWS_OK) rc = yv_ws_cfg_set_opt(PROFILE, YWS_CFG_WRITE_MESSAGE, 1);
  if (rc == YWS_OK) rc = yv_ws_cfg_set_opt(PROFILE, YWS_CFG_READ_MESSAGE, 4096);
  /* MQTT's own PINGREQ keeps the session alive; the broker ends it after 1.5 x keepalive. */
  if (rc == YWS_OK) rc = yv_ws_cfg_set_opt(PROFILE, YWS_CFG_PING_INTERVAL, 0);
  if (rc == YWS_OK) rc = yv_ws_cfg_set_opt(PROFILE, YWS_CFG_RECONN_ATTEMPTS, 255);
  if (rc == YWS_OK) rc = yv_ws_cfg_set_opt(PROFILE, YWS_CFG_RECONN_MINDELAY, 500);
  if (rc == YWS_OK) rc = yv_ws_cfg_set_opt(PROFILE, YWS_CFG_RECONN_MAXDELAY, 30000);
  return rc;
}

/* One telemetry message. The service is called without g_mu held: the callback takes g_mu on
 * the service task, and nothing of ours waits for the service holding it. */
static void publish_telemetry(unsigned seq, long uptime_s) {
  yws_link_stats_t st;
  memset(&st, 0, sizeof st);
  yv_ws_client_get_opt(CLIENT, YWS_CLIENT_GET_LINK_STATS, &st);
  char json[256];
  snprintf(json, sizeof json,
           "{\"device\":\"%s\",\"seq\":%u,\"uptime_s\":%ld,\"reconnects\":%u,"
           "\"tx_bytes\":%llu,\"rx_bytes\":%llu}",
           g_device, seq, uptime_s, (unsigned)st.reconnects, (unsigned long long)st.tx_bytes,
           (unsigned long long)st.rx_bytes);
  pthread_mutex_lock(&g_mu);
  if (g_next_id == 0) g_next_id = 1; /* 0 is not a packet id */
  uint16_t id = g_next_id++;
  pthread_mutex_unlock(&g_mu);
  if (mqtt_publish_qos1(id, g_topic_telemetry, json) != 0) return;
  pthread_mutex_lock(&g_mu);
  g_published++;
  pthread_mutex_unlock(&g_mu);
  printf("publish %s\n", json);
}

int main(int argc, char **argv) {
  if (argc < 2 || argc > 4) {
    fprintf(stderr, "usage: %s ws://host:port/path [seconds [device]]\n", argv[0]);
    return 2;
  }
  long seconds = argc > 2 ? strtol(argv[2], NULL, 10) : 0;
  if (argc > 3) g_device = argv[3];
  if (strlen(g_device) > 64 || seconds < 0) {
    fprintf(stderr, "device name too long or seconds negative\n");
    return 2;
  }
  snprintf(g_topic_telemetry, sizeof g_topic_telemetry, "yws/%s/telemetry", g_device);
  snprintf(g_topic_command, sizeof g_topic_command, "yws/%s/command", g_device);
  setvbuf(stdout, NULL, _IOLBF, 0); /* a log: each line as it happens, also into a pipe */
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);

  int rc = configure(argv[1]);
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

  struct timespec start, tick;
  clock_gettime(CLOCK_MONOTONIC, &start);
  tick = start;
  for (unsigned seq = 1; !g_stop && (seconds == 0 || (long)seq <= seconds); seq++) {
    tick.tv_sec += 1;
    /* EINTR on a signal ends the wait early; the loop condition then stops. */
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &tick, NULL);
    if (g_stop) break;
    pthread_mutex_lock(&g_mu);
    int up = g_session_up;
    pthread_mutex_unlock(&g_mu);
    if (!up) continue; /* no session (yet, or between connections): skip this second */
    publish_telemetry(seq, (long)(tick.tv_sec - start.tv_sec));
    if (seq % (KEEPALIVE_S / 2) == 0) mqtt_pingreq();
  }

  pthread_mutex_lock(&g_mu);
  int up = g_session_up;
  g_closed = 0;
  pthread_mutex_unlock(&g_mu);
  if (up) mqtt_disconnect();
  /* Sends what is queued (the DISCONNECT too), then the close frame; stops any reconnect. */
  yv_ws_close_proc(CLIENT);
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += 15;
  pthread_mutex_lock(&g_mu);
  while (!g_closed && yv_ws_get_client_conn_state(CLIENT) != YWS_CONN_STA_IDLE)
    if (pthread_cond_timedwait(&g_cv, &g_mu, &deadline) != 0) break;
  printf("published %u, acknowledged %u, commands %u\n", g_published, g_acked, g_commands);
  pthread_mutex_unlock(&g_mu);
  return 0;
}
