/*
 * Runs the input as a sequence of configuration calls (key parsing, option
 * sets and reads, header changes, reports) and traps when a result breaks a
 * promise the calls make: a value set is the value read, a report stays within
 * its buffer, no stored header can break a request line.
 */
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "yv_api_websocket.h"
#include "yv_rtos_test.h"

namespace {

int32_t word(input_t *in) {
  uint32_t v = 0;
  for (int i = 0; i < 4; i++) v = v << 8 | byte(in);
  return static_cast<int32_t>(v);
}

/* Lengths reach past the header limits (256 and 1024) and the 2047-character
 * report on purpose. */
std::string text(input_t *in) {
  return bytes(in, static_cast<size_t>(byte(in) << 8 | byte(in)) % 2400);
}

/* Formats every trace line, so a bad trace argument shows, without output. */
void quiet_sink(const char *, void *) {}

int recv_cb(int, yws_parm_t *) {
  return 0;
}

bool is_string_option(int id) {
  return id == YWS_CFG_CONN_URL || id == YWS_CFG_CONN_SUBPROT || id == YWS_CFG_CONN_EXTENSION ||
         id == YWS_CFG_CONN_METHOD;
}

/* Each option gets the argument type it reads. */
void set_any(uint8_t cfg, int id, int32_t v, const char *s, const char *s2) {
  if (is_string_option(id) || id == YWS_CFG_REQHEAD_REMOVE) {
    yv_ws_cfg_set_opt(cfg, id, s);
  } else if (id == YWS_CFG_RECV_CB) {
    yv_ws_cfg_set_opt(cfg, id, (v & 1) ? recv_cb : static_cast<ws_client_recv_cb_t>(nullptr));
  } else if (id == YWS_CFG_REQHEAD_ADD) {
    yv_ws_cfg_set_opt(cfg, id, s, s2);
  } else if (yv_ws_cfg_set_opt(cfg, id, static_cast<int>(v)) == YWS_OK) {
    int back = ~v;
    check(yv_ws_cfg_get_opt(cfg, id, &back) == YWS_OK);
    check(back == v);
  }
}

void read_any(uint8_t cfg, int id) {
  if (is_string_option(id)) {
    char *s = nullptr;
    if (yv_ws_cfg_get_opt(cfg, id, &s) == YWS_OK && s) check(strlen(s) < (1u << 20));
  } else {
    int v = 0;
    yv_ws_cfg_get_opt(cfg, id, &v);
  }
}

void report(uint8_t cfg, int type, const char *key, const char *name) {
  char *line = nullptr;
  if (yws_cfg_get_opt_with_fmt(&line, type, cfg, key, name) != YWS_OK || !line) return;
  check(strlen(line) <= 2047 && strncmp(line, "+YWSCFG: \"", 10) == 0);
  yv_ws_mem_free(line);
}

/* The line must stop at len_max, and no stored header may carry a line break. */
void head_report(int cfg, int len_max, const char *name) {
  char buf[300];
  len_max = std::max(1, len_max % static_cast<int>(sizeof(buf)));
  memset(buf, 0x5A, sizeof(buf));
  if (yws_cfg_get_http_head(buf, len_max, cfg, "h", name) < 0) return;
  size_t cap = static_cast<size_t>(len_max);
  check(strnlen(buf, cap) < cap);
  check(!strpbrk(buf, "\r\n"));
  for (size_t i = cap; i < sizeof(buf); i++) check(buf[i] == 0x5A);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool sink_installed = (yv_trace_set_sink(quiet_sink, nullptr), true);
  (void)sink_installed;

  input_t in = {data, size};
  while (in.n > 0) {
    uint8_t op = byte(&in);
    uint8_t cfg = byte(&in) % 4; /* profile 3 does not exist */
    int id = static_cast<int8_t>(byte(&in));
    uint8_t flags = byte(&in);
    std::string a = text(&in), b = text(&in);
    if (flags & 2) a = '"' + a + '"';
    if (flags & 4) b = '"' + b + '"';
    const char *s = (flags & 8) ? nullptr : a.c_str();
    const char *s2 = (flags & 16) ? nullptr : b.c_str();

    switch (op % 7) {
      case 0: {
        int type = -1;
        if (yws_cfg_type_parse(s, &type) == YWS_OK)
          check(type >= YWS_CFG_CONN_PDPCID && type < YWS_CFG_WRITE_MAX);
        break;
      }
      case 1:
        set_any(cfg, id, word(&in), s, s2);
        break;
      case 2:
        read_any(cfg, id);
        break;
      case 3:
        yws_cfg_add_http_head(cfg, s, s2);
        break;
      case 4:
        yws_cfg_remove_http_head(cfg, s);
        break;
      case 5:
        report(cfg, id, s, s2);
        break;
      default:
        head_report(cfg, word(&in), s);
        break;
    }
  }
  for (int cfg = 0; cfg < YWS_CFG_NUM; cfg++) {
    head_report(cfg, 299, nullptr);
    yws_cfg_remove_http_head(cfg, nullptr); /* keeps the lists small across inputs */
  }
  return 0;
}
