/* Trace lines of the host layer: off, stderr (YWS_TRACE=1) or an installed sink. */
#include "yv_rtos.h"
#include "yv_rtos_test.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>

namespace {

struct SinkState {
  /* Held shared around each sink call, so a sink is never called once it was replaced. */
  std::shared_mutex mu;
  yv_trace_sink_t sink = nullptr;
  void *user = nullptr;
};

SinkState &sink_state() {
  static SinkState *s = new SinkState;
  return *s;
}

std::atomic<bool> g_sink_set{false};
std::atomic<int> g_env{-1}; /* -1: environment not read yet */

bool env_enabled() {
  int v = g_env.load(std::memory_order_relaxed);
  if (v < 0) {
    const char *e = getenv("YWS_TRACE");
    v = (e && strcmp(e, "1") == 0) ? 1 : 0;
    g_env.store(v, std::memory_order_relaxed);
  }
  return v == 1;
}

}  // namespace

extern "C" {

int yv_trace_enabled(void) {
  return (g_sink_set.load(std::memory_order_relaxed) || env_enabled()) ? 1 : 0;
}

void yv_trace_set_sink(yv_trace_sink_t sink, void *user) {
  SinkState &s = sink_state();
  std::unique_lock<std::shared_mutex> lk(s.mu);
  s.sink = sink;
  s.user = user;
  g_sink_set.store(sink != nullptr, std::memory_order_relaxed);
}

void osiTracePrintf(uint32_t tag, const char *format, ...) {
  (void)tag;
  if (!yv_trace_enabled() || !format) return;

  char line[512];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  if (n < 0) return;
  size_t len = strlen(line);
  while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r')) line[--len] = '\0';

  SinkState &s = sink_state();
  std::shared_lock<std::shared_mutex> lk(s.mu);
  if (s.sink) {
    s.sink(line, s.user);
  } else if (env_enabled()) {
    fprintf(stderr, "%s\n", line);
  }
}

}  // extern "C"
