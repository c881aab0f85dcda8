/* Counted allocation points with a test failure hook. */
#include "yv_mem_test.h"

#include <libwebsockets.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr const char *kAllocReason = "yv_mem_alloc";
constexpr const char *kChunkReason = "yv_mem_chunk";

std::atomic<size_t> g_in_use{0};
std::atomic<size_t> g_peak{0};

/* Lets allocations skip the hook lock when no hook is installed. */
std::atomic<bool> g_hook_set{false};
std::atomic<bool> g_lws_installed{false};

struct HookState {
  std::mutex mu;
  yv_mem_fail_hook_t hook = nullptr;
  void *user = nullptr;
};

HookState &hook_state() {
  static HookState *s = new HookState;
  return *s;
}

bool should_fail(size_t size, const char *reason) {
  if (!g_hook_set.load(std::memory_order_acquire)) return false;
  yv_mem_fail_hook_t hook;
  void *user;
  {
    HookState &s = hook_state();
    std::lock_guard<std::mutex> lk(s.mu);
    hook = s.hook;
    user = s.user;
  }
  /* Called unlocked: a hook may allocate. */
  return hook && hook(size, reason, user) != 0;
}

void count_add(size_t n) {
  size_t now = g_in_use.fetch_add(n, std::memory_order_relaxed) + n;
  size_t peak = g_peak.load(std::memory_order_relaxed);
  while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
}

/* Blocks from before counting began may be released here: never wrap below zero. */
void count_sub(size_t n) {
  size_t cur = g_in_use.load(std::memory_order_relaxed);
  size_t next;
  do {
    next = cur > n ? cur - n : 0;
  } while (!g_in_use.compare_exchange_weak(cur, next, std::memory_order_relaxed));
}

void *counted_realloc(void *ptr, size_t size, const char *reason) {
  if (size == 0) {
    if (ptr) {
      count_sub(malloc_usable_size(ptr));
      free(ptr);
    }
    return nullptr;
  }
  if (should_fail(size, reason)) return nullptr;
  size_t old = ptr ? malloc_usable_size(ptr) : 0;
  void *v = realloc(ptr, size);
  if (!v) return nullptr;
  count_sub(old);
  count_add(malloc_usable_size(v));
  return v;
}

}  // namespace

extern "C" {

void *yv_mem_alloc(size_t size) {
  if (size == 0) size = 1;
  /* Once installed, the library allocator does the hook and the counting itself. */
  bool installed = g_lws_installed.load(std::memory_order_acquire);
  if (!installed && should_fail(size, kAllocReason)) return nullptr;
  void *p = lws_realloc(nullptr, size, kAllocReason);
  if (!p) return nullptr;
  if (!installed) count_add(malloc_usable_size(p));
  memset(p, 0, size);
  return p;
}

void yv_mem_free(void *p) {
  if (!p) return;
  if (!g_lws_installed.load(std::memory_order_acquire)) count_sub(malloc_usable_size(p));
  lws_realloc(p, 0, "lws_free");
}

void *yv_mem_chunk_alloc(size_t size) {
  if (should_fail(size, kChunkReason)) return nullptr;
  void *p = malloc(size);
  if (p) count_add(malloc_usable_size(p));
  return p;
}

void yv_mem_chunk_free(void *p) {
  if (!p) return;
  count_sub(malloc_usable_size(p));
  free(p);
}

void yv_mem_set_fail_hook(yv_mem_fail_hook_t hook, void *user) {
  HookState &s = hook_state();
  std::lock_guard<std::mutex> lk(s.mu);
  s.hook = hook;
  s.user = user;
  g_hook_set.store(hook != nullptr, std::memory_order_release);
}

void yv_mem_install_lws_allocator(void) {
  static std::once_flag once;
  std::call_once(once, [] {
    lws_set_allocator(counted_realloc);
    g_lws_installed.store(true, std::memory_order_release);
  });
}

size_t yv_mem_bytes_in_use(void) {
  return g_in_use.load(std::memory_order_relaxed);
}

size_t yv_mem_peak_bytes(void) {
  return g_peak.load(std::memory_order_relaxed);
}

void yv_mem_reset_peak(void) {
  g_peak.store(g_in_use.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

}  // extern "C"
