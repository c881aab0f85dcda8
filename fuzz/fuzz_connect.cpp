/*
 * Runs URLs through the connect step (yws_client_do_connect) of a real client record.
 *
 * The step copies and checks the URL before it creates anything. Reaching the network from a
 * fuzzer would be slow and not hermetic (host names resolve synchronously), so:
 * - Most inputs are stopped right after the checks: the first allocation that follows them (the
 *   host string) fails. The result then says whether the checks accepted the URL (NO_MEM) or not
 *   (INVAL_URL), nothing beyond the checks runs, and the step's clean-up of its partial
 *   allocations is exercised. The first control bit fails the URL copy instead.
 * - One input in eight goes all the way: its authority is replaced by 127.0.0.1 and a port that
 *   is bound but never listens, and the library thread cannot start. The step then builds the
 *   context and the connection (scheme, path and query still from the input) and fails with
 *   TASK_CREATE; the loop is never serviced, so no byte leaves.
 * Either way the record is released with yws_final_do, so a leak shows per input.
 *
 * Traps on: an accepted URL whose scheme is not ws/wss or whose host is empty; a plain
 * ws://host[:port][/path] URL refused; a host or path that differs from the URL's.
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
#include "yv_rtos_test.h"
#include "yv_websocket_inc.h"

namespace {

/* The step's own trace lines tell the host and path it hands to the library. */
struct Seen {
  std::string host, path;
} g_seen;

/* A line is "<address> <line number> <message>"; only the message counts, since the URL itself
 * is traced as well and may contain anything. */
void sink(const char *line, void *) {
  const char *msg = std::strchr(line, ' ');
  msg = msg ? std::strchr(msg + 1, ' ') : nullptr;
  if (!msg) return;
  msg++;
  if (std::strncmp(msg, "yws url host: ", 14) == 0) g_seen.host = msg + 14;
  if (std::strncmp(msg, "yws url path: ", 14) == 0) g_seen.path = msg + 14;
}

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
  yv_trace_set_sink(sink, nullptr);
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

/* ws[s]://host[:port][/anything] with a plain host and at most four port digits. The library
 * knows the default port of the lower-case schemes only. */
bool plainly_valid(const std::string &url) {
  if (!ws_scheme(url)) return false;
  bool default_port = scheme_of(url) == "ws" || scheme_of(url) == "wss";
  size_t i = url.find("://") + 3, host = i;
  while (i < url.size() &&
         (std::isalnum(static_cast<unsigned char>(url[i])) || url[i] == '.' || url[i] == '-'))
    i++;
  if (i == host) return false;
  if (i < url.size() && url[i] == ':') {
    size_t digits = ++i;
    while (i < url.size() && std::isdigit(static_cast<unsigned char>(url[i]))) i++;
    if (i == digits || i - digits > 4) return false;
  } else if (!default_port) {
    return false;
  }
  return i == url.size() || url[i] == '/';
}

/* Stops the step right after its checks. */
void run_checks_only(const std::string &url, bool fail_copy) {
  check(yws_client_service_new(0, 0) == YWS_OK);
  g_fail.seen = 0;
  g_fail.at = fail_copy ? 1 : 2;
  yv_mem_set_fail_hook(fail_hook, nullptr);
  yws_err_e r = yws_client_do_connect(0);
  yv_mem_set_fail_hook(nullptr, nullptr);
  yws_client_t *rec = yws_client[0];
  check(rec && !rec->prot_ctxt.loop && !rec->prot_ctxt.context);
  if (fail_copy) {
    check(r == YWS_ERR_NO_MEM);
  } else {
    check(r == YWS_ERR_NO_MEM || r == YWS_ERR_INVAL_URL);
    bool accepted = r == YWS_ERR_NO_MEM;
    size_t host = scheme_of(url).size() + 3;
    if (accepted)
      check(ws_scheme(url) && host < url.size() && url[host] != ':' && url[host] != '/');
    if (plainly_valid(url)) check(accepted);
  }
  yws_final_do(0);
  check(!yws_client[0]);
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
  yws_err_e r = yws_client_do_connect(0);
  yv_rtos_test_fail_next(YV_RTOS_FAIL_TASK_CREATE, 0, 0);
  yv_rtos_test_fail_task_name(nullptr);
  if (ws_scheme(local)) {
    check(r == YWS_ERR_TASK_CREATE);
    check(g_seen.host == "127.0.0.1:" + std::to_string(port));
    /* The parser takes the path without its leading '/'; the step puts it back. */
    std::string path = tail.size() > 1 ? tail : "/";
    // Trace lines lose their trailing line breaks.
    while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
    check(g_seen.path == path);
  } else {
    check(r == YWS_ERR_INVAL_URL);
  }
  yws_final_do(0);
  check(!yws_client[0]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool ready = setup();
  static const int port = closed_port();
  (void)ready;
  if (size < 1) return 0;
  uint8_t ctl = data[0];
  std::string url(reinterpret_cast<const char *>(data + 1), size - 1);
  url.resize(std::strlen(url.c_str())); /* the profile keeps a C string */
  if (yv_ws_cfg_set_opt(0, YWS_CFG_CONN_URL, url.c_str()) != YWS_OK) return 0;
  if ((ctl & 0x0E) == 0 && url.find("://") != std::string::npos)
    run_full(url, port);
  else
    run_checks_only(url, ctl & 1);
  return 0;
}
