/*
 * Runs hostile handshake input (URL, sub-protocol, extra headers) through the option checks
 * and the connect step (yws_client_do_connect) of a real client record.
 *
 * Input: a control byte, then length-prefixed pieces: the URL, the sub-protocol, and up to
 * four header name/value pairs. Every piece is offered through the option calls; what they
 * accept must be clean (tokens, no control characters), and a plainly valid URL must pass.
 *
 * Reaching the network from a fuzzer would be slow and not hermetic, so:
 * - Most inputs are stopped right after the checks: the first allocation that follows them (the
 *   client's loop) fails. The result then says whether the checks accepted the request
 *   (NO_MEM), refused the URL (INVAL_URL) or found the request too large (INVAL_PARM), which
 *   must agree with yws_url_parse and the request-size bound. The first control bit fails the
 *   step's first allocation instead.
 * - One input in eight goes all the way: its authority is replaced by 127.0.0.1 and a port that
 *   is bound but never listens, and the library thread cannot start. The step then builds the
 *   context and the connection and fails with TASK_CREATE; the loop is never serviced, so no
 *   byte leaves. The loop thread's lookup and connect call are then run on the fuzzer's thread.
 * Either way the record is released with yws_final_do, so a leak shows per input. The link wraps
 * the library's connect call to see the host, origin and path the step hands over.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "yv_mem_test.h"
#include "yv_rtos_test.h"
#include "yws_client.h"
#include "yws_loop_impl.h"

namespace {

/* What the step hands to the library: the fuzzer's link wraps the library's connect call. */
struct Seen {
  int calls = 0;
  std::string host, origin, path;
} g_seen;

}  // namespace

extern "C" {
struct lws *__real_lws_client_connect_via_info(const struct lws_client_connect_info *ci);
struct lws *__wrap_lws_client_connect_via_info(const struct lws_client_connect_info *ci) {
  g_seen.calls++;
  g_seen.host = ci->host ? ci->host : "";
  g_seen.origin = ci->origin ? ci->origin : "";
  g_seen.path = ci->path ? ci->path : "";
  return __real_lws_client_connect_via_info(ci);
}
}

namespace {

/* Fails the allocation numbered `at` made on the fuzzing thread (0: none). */
struct FailNth {
  pthread_t thread;
  int seen = 0;
  int at = 0;
} g_fail;

int fail_hook(size_t, const char *, void *) {
  if (!pthread_equal(pthread_self(), g_fail.thread)) return 0;
  return ++g_fail.seen == g_fail.at;
}

/* Kept bound and never listening for the life of the process. */
int closed_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
    __builtin_trap();
  return ntohs(a.sin_port);
}

bool setup() {
  /* The failure hook reaches the library's allocations as well. */
  yv_mem_install_lws_allocator();
  /* Release needs the service context; its task only waits on the queue. */
  check(yv_ws_app_start(0, 0) == 0);
  yv_ws_service_init(0, 0);
  lws_set_log_level(0, nullptr);
  check(yv_ws_cfg_set_opt(0, YWS_CFG_CONN_TIMEOUT, 5) == YWS_OK);
  g_fail.thread = pthread_self();
  return true;
}

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

/* The scheme as the parser sees it: the text before the first "://", or "" without one. */
std::string scheme_of(const std::string &url) {
  size_t at = url.find("://");
  return at == std::string::npos ? std::string() : url.substr(0, at);
}

bool ws_scheme(const std::string &url) {
  std::string s = lower(scheme_of(url));
  return s == "ws" || s == "wss";
}

/* ws[s]://host[:port][/path] with a host of letters (dot-separated labels, each starting
 * with a letter), a port of 1..9999 and a path of letters, digits and "/-._~". */
bool plainly_valid(const std::string &url) {
  if (!ws_scheme(url)) return false;
  size_t i = url.find("://") + 3, host = i;
  bool label_start = true;
  while (i < url.size() && (std::isalnum(static_cast<unsigned char>(url[i])) || url[i] == '.')) {
    if (label_start && !std::isalpha(static_cast<unsigned char>(url[i]))) return false;
    label_start = url[i] == '.';
    i++;
  }
  if (i == host || label_start || i - host > 60) return false;
  if (i < url.size() && url[i] == ':') {
    size_t digits = ++i;
    while (i < url.size() && std::isdigit(static_cast<unsigned char>(url[i]))) i++;
    if (i == digits || i - digits > 4 || std::stoi(url.substr(digits, i - digits)) == 0)
      return false;
  }
  if (i < url.size() && url[i] != '/') return false;
  if (url.size() - i > 1000) return false;
  for (; i < url.size(); i++)
    if (!std::isalnum(static_cast<unsigned char>(url[i])) && !std::strchr("/-._~", url[i]))
      return false;
  return true;
}

bool only(const std::string &s, bool (*ok)(char)) {
  for (char c : s)
    if (!ok(c)) return false;
  return true;
}

bool tchar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("!#$%&'*+-.^_`|~", c);
}

bool subprot_char(char c) {
  return tchar(c) || c == ',' || c == ' ';
}

bool visible(char c) {
  return static_cast<unsigned char>(c) >= 0x20 && c != 0x7f;
}

bool url_piece_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("-._~!$&'()*+,;=:@/?%[]", c);
}

/* An '@' in the authority (before the path, query or fragment) names a user;
 * one in the path does not. */
bool has_userinfo(const std::string &url) {
  size_t at = url.find("://");
  if (at == std::string::npos) return false;
  size_t end = url.find_first_of("/?#", at + 3);
  return url.substr(at + 3, end == std::string::npos ? std::string::npos : end - at - 3)
             .find('@') != std::string::npos;
}

/* What the step must answer for the profile as it stands, before any allocation fails. */
yws_err_e expected_result(const char *url) {
  yws_url_t u;
  if (yws_url_parse(url, &u) != YWS_OK) return YWS_ERR_INVAL_URL;
  check(u.port >= 1 && u.port <= 65535 && u.path[0] == '/' && u.host[0]);
  check(only(u.path, url_piece_char) && only(u.host_port, url_piece_char));
  check(std::strlen(u.path) <= YWS_URL_PATH_MAX && std::strlen(u.host) <= YWS_URL_HOST_MAX);
  const char *subprot = yws_rec(0)->part.loop->protocols[0].name;
  size_t request = yws_request_size(&u, subprot, 0);
  check(request == YWS_REQUEST_FIXED + std::strlen(u.path) + 2 * std::strlen(u.host_port) +
                       std::strlen(subprot) + yws_cfg_headers_wire_size(0));
  return request > YWS_REQUEST_MAX ? YWS_ERR_INVAL_PARM : YWS_OK;
}

/* Stops the step right after its checks. */
void run_checks_only(const std::string &url, bool fail_copy) {
  check(yws_client_service_new(0, 0) == YWS_OK);
  g_seen = Seen();
  g_fail.seen = 0;
  g_fail.at = fail_copy ? 1 : 2;
  yv_mem_set_fail_hook(fail_hook, nullptr);
  yws_err_e r = yws_client_do_connect(0);
  yv_mem_set_fail_hook(nullptr, nullptr);
  yws_client_t *rec = yws_rec(0);
  check(rec && !rec->part.loop->loop && g_seen.calls == 0);
  if (fail_copy) {
    check(r == YWS_ERR_NO_MEM);
  } else {
    yws_err_e want = expected_result(url.c_str());
    check(r == (want == YWS_OK ? YWS_ERR_NO_MEM : want));
    if (r == YWS_ERR_NO_MEM) check(ws_scheme(url) && !has_userinfo(url));
    if (plainly_valid(url) && yws_cfg_headers_wire_size(0) == 0) check(r == YWS_ERR_NO_MEM);
  }
  yws_final_do(0);
  check(!yws_rec(0));
}

/* The whole step up to the library thread, which cannot start. */
void run_full(const std::string &url, int port) {
  size_t at = url.find("://");
  size_t slash = url.find('/', at + 3);
  std::string tail = slash == std::string::npos ? std::string() : url.substr(slash);
  std::string local = url.substr(0, at) + "://127.0.0.1:" + std::to_string(port) + tail;
  check(yv_ws_cfg_set_opt(0, YWS_CFG_CONN_URL, local.c_str()) == YWS_OK);
  check(yws_client_service_new(0, 0) == YWS_OK);
  g_seen = Seen();
  yv_rtos_test_fail_task_name("wsservice");
  yv_rtos_test_fail_next(YV_RTOS_FAIL_TASK_CREATE, 0, 1);
  yws_err_e want = expected_result(local.c_str());
  yws_err_e r = yws_client_do_connect(0);
  yv_rtos_test_fail_next(YV_RTOS_FAIL_TASK_CREATE, 0, 0);
  yv_rtos_test_fail_task_name(nullptr);
  /* The loop thread's own first steps, run here since it could not start: the
   * library's connect call sees what the step handed over. */
  yws_client_t *rec = yws_rec(0);
  if (r == YWS_ERR_TASK_CREATE && rec && rec->part.loop->loop) {
    yws_loop_resolve(rec->part.loop->loop);
    (void)yws_loop_connect(rec->part.loop->loop);
  }
  if (want == YWS_OK) {
    check(r == YWS_ERR_TASK_CREATE && g_seen.calls == 1);
    check(g_seen.host == "127.0.0.1:" + std::to_string(port) && g_seen.origin == g_seen.host);
    check(g_seen.path == (tail.empty() || tail[0] != '/' ? "/" + tail : tail));
  } else {
    check(r == want && g_seen.calls == 0);
  }
  yws_final_do(0);
  check(!yws_rec(0));
}

/* A length-prefixed piece as a C string (the option calls take C strings). */
std::string piece(input_t *in, bool wide) {
  size_t n = byte(in);
  if (wide) n |= static_cast<size_t>(byte(in)) << 8;
  std::string s = bytes(in, n % 1400);
  s.resize(std::strlen(s.c_str()));
  return s;
}

/* Offers the sub-protocol and headers; what is accepted must be clean. */
void offer(input_t *in, uint8_t ctl) {
  check(yv_ws_cfg_set_opt(0, YWS_CFG_REQHEAD_REMOVE, nullptr) == YWS_OK);
  std::string subprot = piece(in, false) + piece(in, false);
  yws_err_e rc = yv_ws_cfg_set_opt(0, YWS_CFG_CONN_SUBPROT, subprot.c_str());
  check(rc == (yws_subprot_is_valid(subprot.c_str()) ? YWS_OK : YWS_ERR_INVAL_PARM));
  if (rc == YWS_OK)
    check(subprot.size() <= YWS_SUBPROT_MAX && only(subprot, subprot_char) &&
          (subprot.empty() || tchar(subprot.back())));
  check(yv_ws_cfg_set_opt(0, YWS_CFG_CONN_SUBPROT_EN, (ctl >> 4) & 1) == YWS_OK);
  for (int i = 0; i < ((ctl >> 5) & 3) + 1 && in->n; i++) {
    std::string name = piece(in, false), value = piece(in, true);
    rc = yv_ws_cfg_set_opt(0, YWS_CFG_REQHEAD_ADD, name.c_str(), value.c_str());
    check(rc == YWS_OK || rc == YWS_ERR_INVAL_PARM);
    if (rc != YWS_OK || name[0] == '"') continue;
    check(only(name, tchar) && only(value, visible));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool ready = setup();
  static const int port = closed_port();
  (void)ready;
  if (size < 1) return 0;
  input_t in = {data, size};
  uint8_t ctl = byte(&in);
  std::string url = piece(&in, true);
  offer(&in, ctl);
  if (yv_ws_cfg_set_opt(0, YWS_CFG_CONN_URL, url.c_str()) != YWS_OK) return 0;
  if ((ctl & 0x0E) == 0 && url.find("://") != std::string::npos)
    run_full(url, port);
  else
    run_checks_only(url, ctl & 1);
  return 0;
}
