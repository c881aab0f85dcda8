/* Simulated modem data-call layer for host builds. */
#include "yv_datacall.h"
#include "yv_datacall_ctl.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxCid = 16;
constexpr uint32_t kRefusedErr = 0x86010003u;
constexpr auto kAnswerDelay = std::chrono::milliseconds(1);
constexpr uint32_t kResetIdleWaitMs = 2000;

struct Context {
  int status = YV_DATACALL_IDLE;
  YVW_DATACALL_RESPONSE_CB cb = nullptr;
  void *task_ref = nullptr;
  uint8_t sim = 0;
  bool has_mode = false; /* mode below applies instead of the layer's */
  yv_dc_act_mode_e mode = YV_DC_ACT_ANSWER_OK;
  /* Bumped whenever the context changes outside an answer, so stale answers are dropped. */
  uint64_t gen = 0;
};

enum JobKind { kActAnswer, kDeactInd };

struct Job {
  Clock::time_point due;
  JobKind kind;
  int cid;
  bool success;
  uint64_t gen;
  YVW_DATACALL_RESPONSE_CB cb;
  void *task_ref;
  uint8_t sim;
};

struct Sim {
  std::mutex mu;
  std::condition_variable work_cv;
  std::condition_variable idle_cv;
  std::condition_variable reg_cv;
  std::deque<Job> jobs;
  bool running = false;
  bool worker_started = false;
  std::thread::id worker_id;
  uint64_t reset_gen = 0;

  Context ctx[kMaxCid + 1];
  yv_dc_act_mode_e mode = YV_DC_ACT_ANSWER_OK;
  uint32_t reg_fail_count = 0;
  uint32_t reg_fail_wait_ms = 0;
  uint32_t reg_calls = 0;
  uint32_t act_requests = 0;
  bool fail_bind = false;
};

Sim &sim_state() {
  static Sim *s = new Sim;
  return *s;
}

bool valid_cid(int cid) {
  return cid >= 1 && cid <= kMaxCid;
}

void worker() {
  pthread_setname_np(pthread_self(), "yv_datacall");
  Sim &s = sim_state();
  std::unique_lock<std::mutex> lk(s.mu);
  for (;;) {
    if (s.jobs.empty()) {
      s.work_cv.wait(lk);
      continue;
    }
    Clock::time_point due = s.jobs.front().due;
    if (Clock::now() < due) {
      s.work_cv.wait_until(lk, due);
      continue;
    }
    Job job = s.jobs.front();
    s.jobs.pop_front();
    s.running = true;
    bool call = job.kind == kDeactInd;
    uint32_t ind = YAVO_DATACALL_DEACT_RSP_IND;
    if (job.kind == kActAnswer) {
      Context &c = s.ctx[job.cid];
      if (c.status == YV_DATACALL_ACTIVING && c.gen == job.gen) {
        c.status = job.success ? YV_DATACALL_ACTIVED : YV_DATACALL_IDLE;
        job.cb = c.cb;
        job.task_ref = c.task_ref;
        job.sim = c.sim;
        ind = YAVO_DATACALL_ACT_RSP_IND;
        call = true;
      }
    }
    /* Unlocked: the callback posts into the service queue and may block there. */
    lk.unlock();
    if (call && job.cb) job.cb(job.sim, ind, job.cid, job.success, job.task_ref);
    lk.lock();
    s.running = false;
    if (s.jobs.empty()) s.idle_cv.notify_all();
  }
}

/* Caller holds s.mu. */
void enqueue(Sim &s, Job job) {
  if (!s.worker_started) {
    std::thread t(worker);
    s.worker_id = t.get_id();
    t.detach();
    s.worker_started = true;
  }
  s.jobs.push_back(job);
  s.work_cv.notify_one();
}

Job make_job(JobKind kind, int cid, bool success, Clock::time_point due) {
  Job j{};
  j.due = due;
  j.kind = kind;
  j.cid = cid;
  j.success = success;
  return j;
}

}  // namespace

extern "C" {

int yv_network_register_wait(uint8_t sim, uint32_t timeout) {
  (void)sim;
  (void)timeout;
  Sim &s = sim_state();
  std::unique_lock<std::mutex> lk(s.mu);
  s.reg_calls++;
  if (s.reg_fail_count == 0) return 0;
  s.reg_fail_count--;
  uint64_t gen = s.reset_gen;
  s.reg_cv.wait_for(lk, std::chrono::milliseconds(s.reg_fail_wait_ms),
                    [&] { return s.reset_gen != gen; });
  return -1;
}

int yavo_get_datacall_status(uint8_t sim, int cid) {
  (void)sim;
  if (!valid_cid(cid)) return -1;
  Sim &s = sim_state();
  std::lock_guard<std::mutex> lk(s.mu);
  return s.ctx[cid].status;
}

uint32_t yv_datacall_pdp_active(uint8_t sim, int cid, YVW_DATACALL_RESPONSE_CB cb, void *task_ref) {
  if (!valid_cid(cid)) return kRefusedErr;
  Sim &s = sim_state();
  std::lock_guard<std::mutex> lk(s.mu);
  s.act_requests++;
  Context &c = s.ctx[cid];
  yv_dc_act_mode_e mode = c.has_mode ? c.mode : s.mode;
  if (mode == YV_DC_ACT_REFUSE && c.status == YV_DATACALL_IDLE) return kRefusedErr;
  c.cb = cb;
  c.task_ref = task_ref;
  c.sim = sim;
  if (c.status != YV_DATACALL_IDLE) return YV_DATACALL_REPEAT_ACTIVE_ERR;

  c.status = YV_DATACALL_ACTIVING;
  c.gen++;
  switch (mode) {
    case YV_DC_ACT_ANSWER_OK:
    case YV_DC_ACT_ANSWER_FAIL: {
      Job j = make_job(kActAnswer, cid, mode == YV_DC_ACT_ANSWER_OK, Clock::now() + kAnswerDelay);
      j.gen = c.gen;
      enqueue(s, j);
      return 0;
    }
    case YV_DC_ACT_UNDER_WAY:
      return YV_DATACALL_REPEAT_ACTIVE_ERR;
    default:
      return 0;
  }
}

int yv_bind_sim_and_profile(uint8_t sim, int cid, uint16_t *word) {
  if (!word || !valid_cid(cid)) return -1;
  Sim &s = sim_state();
  std::lock_guard<std::mutex> lk(s.mu);
  if (s.fail_bind) return -1;
  *word = uint16_t((unsigned(sim) << 8) | unsigned(cid));
  return 0;
}

int yv_get_data_call_info(uint8_t sim, int cid, yv_data_call_info_s *info) {
  (void)sim;
  if (!info || !valid_cid(cid)) return -1;
  Sim &s = sim_state();
  std::lock_guard<std::mutex> lk(s.mu);
  if (s.ctx[cid].status != YV_DATACALL_ACTIVED) return -1;
  memset(info, 0, sizeof *info);
  info->profile_idx = cid;
  info->ip_version = 4;
  info->v4.state = 1;
  info->v4.addr.ip = htonl(INADDR_LOOPBACK);
  return 0;
}

const char *lwip_inet_ntop(int af, const void *src, char *dst, uint32_t size) {
  return inet_ntop(af, src, dst, socklen_t(size));
}

/* ---- simulation controls ---- */

int yv_dc_ctl_wait_idle(uint32_t timeout_ms) {
  Sim &s = sim_state();
  std::unique_lock<std::mutex> lk(s.mu);
  /* The worker would wait for itself. */
  if (s.worker_started && std::this_thread::get_id() == s.worker_id) return -1;
  bool ok = s.idle_cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                               [&] { return s.jobs.empty() && !s.running; });
  return ok ? 0 : -1;
}

void yv_dc_ctl_reset(void) {
  yv_dc_ctl_wait_idle(kResetIdleWaitMs);
  Sim &s = sim_state();
  std::lock_guard<std::mutex> lk(s.mu);
  s.jobs.clear();
  for (Context &c : s.ctx) {
    uint64_t gen = c.gen + 1;
    c = Context();
    c.gen = gen;
  }
  s.mode = YV_DC_ACT_ANSWER_OK;
  s.reg_fail_count = 0;
  s.reg_fail_wait_ms = 0;
  s.reg_calls = 0;
  s.act_requests = 0;
  s.fail_bind = false;
  s.reset_gen++;
  s.reg_cv.notify_all();
}

void yv_dc_ctl_fail_registration(uint32_t count, uint32_t wait_ms) {
  Sim &s = sim_state();
  std::lock_guard<std::mutex> lk(s.mu);
  s.reg_fail_count = count;
  s.reg_fail_wait_ms = wait_ms;
}

uint32_t yv_dc_ctl_registration_calls(void) {
  Sim &s = sim_state();
  std::lock_guard<std::mutex> lk(s.mu);
  return s.reg_calls;
}

void yv_dc_ctl_set_act_mode(yv_dc_act_mode_e mode) {
  Sim &s = sim_state();
  std::lock_guard<std::mutex> lk(s.mu);
  s.mode = mode;
}

uint32_t yv_dc_ctl_activation_requests(void) {
  Sim &s = sim_state();
  std::lock_guard<std::mutex> lk(s.mu);
  return s.act_requests;
}

void yv_dc_ctl_set_cid_act_mode(int cid, yv_dc_act_mode_e mode) {
  if (!valid_cid(cid)) return;
  Sim &s = sim_state();
  std::lock_guard<std::mutex> lk(s.mu);
  s.ctx[cid].has_mode = true;
  s.ctx[cid].mode = mode;
}

void yv_dc_ctl_set_active(int cid, int active) {
  if (!valid_cid(cid)) return;
  Sim &s = sim_state();
  std::lock_guard<std::mutex> lk(s.mu);
  Context &c = s.ctx[cid];
  c.status = active ? YV_DATACALL_ACTIVED : YV_DATACALL_IDLE;
  c.cb = nullptr;
  c.task_ref = nullptr;
  c.gen++;
}

namespace {

/* Caller holds s.mu; cid 0 answers every context. */
void answer_pending(Sim &s, int only_cid, int success) {
  Clock::time_point now = Clock::now();
  for (int cid = 1; cid <= kMaxCid; cid++) {
    Context &c = s.ctx[cid];
    if (c.status != YV_DATACALL_ACTIVING || (only_cid && cid != only_cid)) continue;
    /* Supersedes an answer already scheduled for this activation. */
    c.gen++;
    Job j = make_job(kActAnswer, cid, success != 0, now);
    j.gen = c.gen;
    enqueue(s, j);
  }
}

}  // namespace

void yv_dc_ctl_answer_pending(int success) {
  Sim &s = sim_state();
  std::lock_guard<std::mutex> lk(s.mu);
  answer_pending(s, 0, success);
}

void yv_dc_ctl_answer_cid(int cid, int success) {
  if (!valid_cid(cid)) return;
  Sim &s = sim_state();
  std::lock_guard<std::mutex> lk(s.mu);
  answer_pending(s, cid, success);
}

int yv_dc_ctl_deactivate(int cid) {
  if (!valid_cid(cid)) return -1;
  Sim &s = sim_state();
  std::lock_guard<std::mutex> lk(s.mu);
  Context &c = s.ctx[cid];
  c.status = YV_DATACALL_IDLE;
  c.gen++;
  if (!c.cb) return -1;
  Job j = make_job(kDeactInd, cid, true, Clock::now());
  j.cb = c.cb;
  j.task_ref = c.task_ref;
  j.sim = c.sim;
  enqueue(s, j);
  return 0;
}

void yv_dc_ctl_fail_bind(int fail) {
  Sim &s = sim_state();
  std::lock_guard<std::mutex> lk(s.mu);
  s.fail_bind = fail != 0;
}

}  // extern "C"
