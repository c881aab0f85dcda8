/*
 * The lock-order checker. Each task keeps the ranks it holds in its own
 * platform block; a take whose rank is not above all of them is a cycle
 * waiting to happen, found on the first run that makes it rather than on
 * the run that deadlocks. Like lockdep's and Abseil's checks it looks at
 * the order, not at whether a deadlock occurred, but with ranks fixed by
 * hand instead of an order learnt at run time: the table is the design.
 */
#include <cstdio>
#include <cstring>

#include "yws_core.h"

namespace {

struct rank_desc_t {
  yws_rank_e rank;
  const char *name;
};

/* In rank order; the names appear in the checker's report. */
constexpr rank_desc_t k_ranks[] = {
    {YWS_RANK_NONE, "?"},
    {YWS_RANK_NAP, "retry nap"},
    {YWS_RANK_QUEUE, "queue-full wait"},
    {YWS_RANK_PROFILE, "profile lock"},
    {YWS_RANK_SERVICE, "service lock"},
    {YWS_RANK_START, "start lock"},
    {static_cast<yws_rank_e>(YWS_RANK_PASS + 0), "pass of loop 0"},
    {static_cast<yws_rank_e>(YWS_RANK_PASS + 1), "pass of loop 1"},
    {static_cast<yws_rank_e>(YWS_RANK_PASS + 2), "pass of loop 2"},
    {YWS_RANK_RECORD, "loop's record lock"},
    {YWS_RANK_GATE, "loop gate"},
    {YWS_RANK_TX, "transmit lock"},
    {YWS_RANK_STATUS, "status mutex"},
    {YWS_RANK_HEADERS, "header lock"},
    {YWS_RANK_STAGE, "stage lock"},
    {YWS_RANK_CAUSE, "cause lock"},
};
static_assert(sizeof(k_ranks) / sizeof(k_ranks[0]) == YWS_RANK_MAX, "one name per rank");

constexpr bool k_ranks_ascend() {
  for (size_t i = 0; i < YWS_RANK_MAX; i++)
    if (k_ranks[i].rank != static_cast<yws_rank_e>(i)) return false;
  return true;
}
static_assert(k_ranks_ascend(), "the table is indexed by rank");

constexpr yws_rank_e k_glock_ranks[YWS_GLOCK_MAX] = {YWS_RANK_START, YWS_RANK_PROFILE,
                                                     YWS_RANK_HEADERS, YWS_RANK_CAUSE};

#ifdef YWS_LOCK_ORDER
/* What one task holds, in its platform block. */
typedef struct {
  uint8_t n;
  uint8_t lost; /* takes past the list's end, still counted */
  uint8_t ranks[YV_TASK_LOCAL_SIZE - 2];
} yws_held_t;
static_assert(sizeof(yws_held_t) <= YV_TASK_LOCAL_SIZE, "fits the task's block");

yws_held_t *yws_held(void) {
  return static_cast<yws_held_t *>(yv_rtos_task_local());
}

[[noreturn]] void yws_rank_fail(const char *what, yws_rank_e rank, uint8_t held) {
  char task[32];
  yv_rtos_task_name(task, sizeof(task));
  char text[192];
  std::snprintf(text, sizeof(text),
                "lock order: task \"%s\" %s %s (rank %d) while holding %s (rank %d)", task, what,
                yws_rank_name(rank), static_cast<int>(rank),
                yws_rank_name(static_cast<yws_rank_e>(held)), static_cast<int>(held));
  yv_rtos_panic(text);
}

void yws_rank_check(const yws_held_t *h, const char *what, yws_rank_e rank) {
  for (uint8_t i = 0; i < h->n; i++)
    if (h->ranks[i] >= rank) yws_rank_fail(what, rank, h->ranks[i]);
}
#endif

}  // namespace

const char *yws_rank_name(yws_rank_e rank) {
  return rank > YWS_RANK_NONE && rank < YWS_RANK_MAX ? k_ranks[rank].name : "?";
}

yws_rank_e yws_glock_rank(yws_glock_e which) {
  return which >= 0 && which < YWS_GLOCK_MAX ? k_glock_ranks[which] : YWS_RANK_NONE;
}

#ifdef YWS_LOCK_ORDER

bool yws_rank_checking(void) {
  return true;
}

void yws_rank_take(yws_rank_e rank) {
  yws_held_t *h = yws_held();
  if (!h) return;
  yws_rank_check(h, "takes", rank);
  if (h->n < sizeof(h->ranks))
    h->ranks[h->n++] = static_cast<uint8_t>(rank);
  else
    h->lost++;
}

void yws_rank_drop(yws_rank_e rank) {
  yws_held_t *h = yws_held();
  if (!h) return;
  /* Locks may be let go in any order: the newest of that rank goes. */
  for (uint8_t i = h->n; i-- > 0;) {
    if (h->ranks[i] != rank) continue;
    std::memmove(&h->ranks[i], &h->ranks[i + 1], static_cast<size_t>(h->n - i - 1));
    h->n--;
    return;
  }
  if (h->lost) h->lost--;
}

void yws_rank_wait(yws_rank_e rank) {
  if (yws_held_t *h = yws_held()) yws_rank_check(h, "waits on", rank);
}

#else

bool yws_rank_checking(void) {
  return false;
}
void yws_rank_take(yws_rank_e) {}
void yws_rank_drop(yws_rank_e) {}
void yws_rank_wait(yws_rank_e) {}

#endif

void yws_lock(yv_mutex_t m, yws_rank_e rank) {
  yws_rank_take(rank);
  yv_rtos_mutex_lock(m, YV_WAIT_FOREVER);
}

void yws_unlock(yv_mutex_t m, yws_rank_e rank) {
  yv_rtos_mutex_unlock(m);
  yws_rank_drop(rank);
}
