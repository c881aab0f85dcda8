/* Shared helpers of the service tests: notification recording, the queue
 * probe, and the usual configure/open/close steps, all with bounded waits. */
#ifndef YWS_TEST_UTIL_H
#define YWS_TEST_UTIL_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "yv_api_websocket.h"
#include "yv_datacall_ctl.h"
#include "yv_mem_test.h"
#include "yv_rtos.h"
#include "yv_rtos_test.h"
#include "yv_ssl_store_ctl.h"

namespace ywst {

using std::chrono::milliseconds;
constexpr milliseconds kWait{5000};

struct Note {
  int client;
  int type;
  int size;
  int virt;
  std::string data;  // empty when the notification carried no data
  bool has_data;
};

/* Every notification of every profile configured with notes_cb. */
class Notes {
 public:
  static Notes &get();
  void add(const Note &n);
  std::vector<Note> all();
  size_t count(int client, int type);
  bool wait(const std::function<bool(const std::vector<Note> &)> &pred, milliseconds t = kWait);
  bool wait_count(int client, int type, size_t n, milliseconds t = kWait);
  /* Run on the service task inside the callback. */
  void set_hook(std::function<void(int, const yws_parm_t *)> hook);
  void run_hook(int client, const yws_parm_t *p);

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<Note> notes_;
  std::function<void(int, const yws_parm_t *)> hook_;
};

extern "C" int notes_cb(int client_id, yws_parm_t *parm);

/* The test programs' link wraps the platform's queue post and wait
 * (yws_queue_probe.cpp): tests see the service's events by id. */
namespace queue_probe {
void reset();
/* Items of that id posted to any platform queue since the last reset. */
size_t posted(uint32_t id);
bool wait_posted(uint32_t id, size_t n, milliseconds t = kWait);
/* Ids whose handling the service task has finished, in order: an item
 * counts once the task has come back to wait on its queue. */
std::vector<uint32_t> handled();
size_t handled_count(uint32_t id);
bool wait_handled(uint32_t id, size_t n = 1, milliseconds t = kWait);
/* Posts an item of that id to the queue the service task waits on. */
YvOSStatus post(uint32_t id, milliseconds t = kWait);
/* Waits of the service task that found its queue empty (each one a wake-up)
 * since the last reset. */
size_t sleeps();
}  // namespace queue_probe

/* Polls a condition nobody signals, within a bound. */
bool eventually(const std::function<bool()> &pred, milliseconds t = kWait);

/* The error code of the latest notification of that kind, -100 if none. */
int last(int client, int type);
/* Profile with URL and notes_cb. */
void profile(int cfg, const std::string &url);
/* The same on a packet-data context, with a connect timeout and no pings. */
void profile_on(int cfg, const std::string &url, int cid, int timeout);
/* Opens and waits for the OPEN notification; returns its error code or -100 on timeout. */
int open_client(int client, int cfg, int sys_mode = 0);
/* Closes a connected client and waits for CLOSE; returns its error or -100. */
int close_client(int client);
/* Queues bytes for a client; the service's result. */
int write_bytes(int client, const std::string &s, int type = YWS_WRITE_PROT_TEXT);
/* Writes msg and waits for it to come back whole in one notification. */
bool echoed(int client, const std::string &msg);
/* Bytes accepted but not yet sent, -1 without a client. */
int unsent(int client);
/* The received bytes of a client in notes[from..], concatenated. */
std::string received(int client, const std::vector<Note> &notes, size_t from = 0);
std::string received(int client);
size_t received_size(int client, const std::vector<Note> &notes, size_t from = 0);
/* Buffered mode: reads what the client holds now, chunk bytes at a time. */
std::string read_all(int client, size_t chunk = 4096);
/* Every event posted before this call has been handled by the service task. */
bool queue_drained(milliseconds t = kWait);
/* CPU time (ms) the process's threads of that name have used so far. */
double threads_cpu_ms(const std::string &name);
/* A loopback port nothing listens on. */
int closed_port();
/* The slot is free and only the service task is left. */
bool settled(milliseconds t = kWait);

/* Runs body(fd) in a forked child, which then exits with 0 (leak checks run at
 * exit), and collects what it writes to fd. A child that outlives `limit` is
 * killed and has not exited. */
struct ChildRun {
  bool exited = false;
  int status = 0;  // as waitpid gives it
  std::string out;
};
ChildRun run_forked(const std::function<void(int fd)> &body, milliseconds limit);

/* A connected TCP pair on 127.0.0.1; carry(n) sends n bytes from the client
 * and reads them at the server. */
struct TcpPair {
  int client = -1, server = -1;
  bool open();
  bool carry(size_t n);
  ~TcpPair();
};
/* Whether this machine's IP stack counts a socket's bytes (yws_wire_probe.cpp),
 * and how long its TCP_INFO answer is (0 where refused). */
bool stack_counts_bytes();
size_t tcp_info_length();
/* Checks a client's wire counts for what this machine can give: where the stack
 * counts, wire_counted 1 and true (the caller checks the counts); elsewhere
 * wire_counted 0 and no counts, and false. */
bool wire_counted(const yws_wire_stats_t &w);

/* What the close-cause query says of a client id (cause -1 when it refused). */
struct Cause {
  int cause = -1;
  int code = -1;
  std::string reason;
};
Cause cause_of(int client);

/* One client under test: a default data-call layer before, the client closed
 * and the service settled after. */
template <int Client>
class OneClientTest : public ::testing::Test {
 protected:
  void SetUp() override { yv_dc_ctl_reset(); }
  void TearDown() override {
    if (yv_ws_get_client_conn_state(Client) == YWS_CONN_STA_CONNECTED) close_client(Client);
    EXPECT_TRUE(settled());
  }
};

/* Holds the service task inside a RECV notification of `client` carrying
 * `token` until released, so that events posted meanwhile are handled in the
 * order they were queued. The caller sends the token. */
class ServiceHold {
 public:
  ServiceHold(int client, const std::string &token);
  ~ServiceHold();
  ServiceHold(const ServiceHold &) = delete;
  ServiceHold &operator=(const ServiceHold &) = delete;
  bool wait_held();
  void release();

 private:
  struct State {
    std::mutex m;
    std::condition_variable cv;
    bool held = false, released = false;
  };
  std::shared_ptr<State> state_;
};

}  // namespace ywst

#endif
