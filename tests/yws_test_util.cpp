#include "yws_test_util.h"

#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "yv_rtos.h"
#include "yv_rtos_test.h"

namespace ywst {

Notes &Notes::get() {
  // Never destroyed: the service task outlives main() and may still call back.
  static Notes *n = new Notes;
  return *n;
}

void Notes::add(const Note &n) {
  {
    std::lock_guard<std::mutex> lk(m_);
    notes_.push_back(n);
  }
  cv_.notify_all();
}

std::vector<Note> Notes::all() {
  std::lock_guard<std::mutex> lk(m_);
  return notes_;
}

size_t Notes::count(int client, int type) {
  std::lock_guard<std::mutex> lk(m_);
  size_t n = 0;
  for (const Note &x : notes_) n += (x.client == client && x.type == type) ? 1 : 0;
  return n;
}

bool Notes::wait(const std::function<bool(const std::vector<Note> &)> &pred, milliseconds t) {
  std::unique_lock<std::mutex> lk(m_);
  return cv_.wait_for(lk, t, [&] { return pred(notes_); });
}

bool Notes::wait_count(int client, int type, size_t n, milliseconds t) {
  return wait(
      [&](const std::vector<Note> &v) {
        size_t c = 0;
        for (const Note &x : v) c += (x.client == client && x.type == type) ? 1 : 0;
        return c >= n;
      },
      t);
}

void Notes::set_hook(std::function<void(int, const yws_parm_t *)> hook) {
  std::lock_guard<std::mutex> lk(m_);
  hook_ = std::move(hook);
}

void Notes::run_hook(int client, const yws_parm_t *p) {
  std::function<void(int, const yws_parm_t *)> h;
  {
    std::lock_guard<std::mutex> lk(m_);
    h = hook_;
  }
  if (h) h(client, p);
}

extern "C" int notes_cb(int client_id, yws_parm_t *parm) {
  Note n{client_id, parm->type, parm->size, parm->virtual_, std::string(), parm->data != nullptr};
  if (parm->data && parm->size > 0)
    n.data.assign(reinterpret_cast<const char *>(parm->data), static_cast<size_t>(parm->size));
  Notes::get().run_hook(client_id, parm);
  Notes::get().add(n);
  return 0;
}

bool eventually(const std::function<bool()> &pred, milliseconds t) {
  auto deadline = std::chrono::steady_clock::now() + t;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(2));
  }
  return true;
}

int last(int client, int type) {
  int v = -100;
  for (const Note &n : Notes::get().all())
    if (n.client == client && n.type == type) v = n.virt;
  return v;
}

void profile(int cfg, const std::string &url) {
  yv_ws_cfg_set_opt(static_cast<uint8_t>(cfg), YWS_CFG_CONN_URL, url.c_str());
  yv_ws_cfg_set_opt(static_cast<uint8_t>(cfg), YWS_CFG_RECV_CB, &notes_cb);
}

void profile_on(int cfg, const std::string &url, int cid, int timeout) {
  auto id = static_cast<uint8_t>(cfg);
  profile(cfg, url);
  yv_ws_cfg_set_opt(id, YWS_CFG_CONN_PDPCID, cid);
  yv_ws_cfg_set_opt(id, YWS_CFG_CONN_TIMEOUT, timeout);
  yv_ws_cfg_set_opt(id, YWS_CFG_PING_INTERVAL, 0);
}

int open_client(int client, int cfg, int sys_mode) {
  size_t before = Notes::get().count(client, YWS_CB_TYPE_OPEN);
  yws_open_t o{client, cfg, nullptr, sys_mode};
  int r = yv_ws_open_proc(&o);
  if (r != 0) return -200 - r;
  if (!Notes::get().wait_count(client, YWS_CB_TYPE_OPEN, before + 1)) return -100;
  return last(client, YWS_CB_TYPE_OPEN);
}

int close_client(int client) {
  size_t before = Notes::get().count(client, YWS_CB_TYPE_CLOSE);
  if (yv_ws_close_proc(client) != YWS_OK) return -300;
  if (!Notes::get().wait_count(client, YWS_CB_TYPE_CLOSE, before + 1)) return -100;
  return last(client, YWS_CB_TYPE_CLOSE);
}

int write_bytes(int client, const std::string &s, int type) {
  yws_parm_t p{type, reinterpret_cast<uint8_t *>(const_cast<char *>(s.data())),
               static_cast<int32_t>(s.size()), 0};
  return yv_ws_write_proc(client, &p);
}

bool echoed(int client, const std::string &msg) {
  size_t from = Notes::get().all().size();
  if (write_bytes(client, msg) != YWS_OK) return false;
  return Notes::get().wait([&](const std::vector<Note> &v) {
    for (size_t i = from; i < v.size(); i++)
      if (v[i].client == client && v[i].type == YWS_CB_TYPE_RECV && v[i].data == msg) return true;
    return false;
  });
}

int unsent(int client) {
  int total = 0, left = -1;
  yv_ws_client_get_opt(static_cast<uint8_t>(client), YWS_CLIENT_GET_UNSENT_SIZE, &total, &left);
  return left;
}

std::string received(int client, const std::vector<Note> &notes, size_t from) {
  std::string all;
  for (size_t i = from; i < notes.size(); i++)
    if (notes[i].client == client && notes[i].type == YWS_CB_TYPE_RECV) all += notes[i].data;
  return all;
}

std::string received(int client) {
  return received(client, Notes::get().all());
}

std::string read_all(int client, size_t chunk) {
  std::string out, buf(chunk, '\0');
  int32_t n;
  do {
    n = static_cast<int32_t>(buf.size());
    if (yv_ws_read_proc(client, &buf[0], &n, true) != YWS_OK) break;
    out.append(buf, 0, static_cast<size_t>(n));
  } while (n > 0);
  return out;
}

size_t received_size(int client, const std::vector<Note> &notes, size_t from) {
  size_t n = 0;
  for (size_t i = from; i < notes.size(); i++)
    if (notes[i].client == client && notes[i].type == YWS_CB_TYPE_RECV) n += notes[i].data.size();
  return n;
}

bool queue_drained(milliseconds t) {
  // Ids past the service's own message types are only traced.
  static std::atomic<uint32_t> marker{5000};
  uint32_t id = ++marker;
  return queue_probe::post(id, t) == YV_OSI_SUCCESS && queue_probe::wait_handled(id, 1, t);
}

double threads_cpu_ms(const std::string &name) {
  double ticks = 0;
  DIR *d = opendir("/proc/self/task");
  if (!d) return -1;
  while (dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string base = std::string("/proc/self/task/") + e->d_name;
    std::ifstream comm(base + "/comm");
    std::string n;
    if (!std::getline(comm, n) || n != name) continue;
    std::ifstream stat(base + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t close = line.rfind(')');  // the name may hold spaces
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    for (int i = 3; i <= 13 && rest >> field; i++) {
    }
    unsigned long utime = 0, stime = 0;
    rest >> utime >> stime;
    ticks += static_cast<double>(utime + stime);
  }
  closedir(d);
  return ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int closed_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
  socklen_t len = sizeof(a);
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

bool settled(milliseconds t) {
  bool free_slots = eventually(
      [] {
        for (uint8_t i = 0; i < YWS_CLIENT_NUM; i++)
          if (yv_ws_get_client_conn_state(i) != 0) return false;
        return true;
      },
      t);
  return free_slots && yv_rtos_test_wait_live_tasks(1, static_cast<uint32_t>(t.count())) == 0;
}

Cause cause_of(int client) {
  Cause c;
  char reason[YWS_CLOSE_REASON_SIZE];
  std::memset(reason, 'x', sizeof(reason));
  if (yv_ws_client_get_opt(static_cast<uint8_t>(client), YWS_CLIENT_GET_CLOSE_CAUSE, &c.cause,
                           &c.code, reason) == YWS_OK)
    c.reason = reason;
  return c;
}

ChildRun run_forked(const std::function<void(int fd)> &body, milliseconds limit) {
  ChildRun r;
  int p[2];
  if (pipe(p) != 0) return r;
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    body(p[1]);
    std::exit(0);
  }
  close(p[1]);
  auto deadline = std::chrono::steady_clock::now() + limit;
  char buf[4096];
  for (;;) {
    auto left =
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd pf{p[0], POLLIN, 0};
    if (pid < 0 || left.count() <= 0 || poll(&pf, 1, static_cast<int>(left.count())) <= 0) break;
    ssize_t n = read(p[0], buf, sizeof buf);
    if (n <= 0) break;
    r.out.append(buf, static_cast<size_t>(n));
  }
  close(p[0]);
  // The output may end before the child does (its exit still checking for leaks).
  while (pid > 0 && waitpid(pid, &r.status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &r.status, 0);
      return r;
    }
    std::this_thread::sleep_for(milliseconds(5));
  }
  r.exited = pid > 0;
  return r;
}

ServiceHold::ServiceHold(int client, const std::string &token) : state_(std::make_shared<State>()) {
  std::shared_ptr<State> st = state_;
  Notes::get().set_hook([st, client, token](int c, const yws_parm_t *p) {
    if (c != client || p->type != YWS_CB_TYPE_RECV || !p->data ||
        std::string(reinterpret_cast<const char *>(p->data), static_cast<size_t>(p->size)) != token)
      return;
    std::unique_lock<std::mutex> lk(st->m);
    st->held = true;
    st->cv.notify_all();
    st->cv.wait_for(lk, kWait, [st] { return st->released; });
  });
}

ServiceHold::~ServiceHold() {
  release();
  Notes::get().set_hook(nullptr);
}

bool ServiceHold::wait_held() {
  std::unique_lock<std::mutex> lk(state_->m);
  return state_->cv.wait_for(lk, kWait, [this] { return state_->held; });
}

void ServiceHold::release() {
  std::lock_guard<std::mutex> lk(state_->m);
  state_->released = true;
  state_->cv.notify_all();
}

}  // namespace ywst
