/* Shared helpers of the service tests: notification recording, trace capture,
 * and the usual configure/open/close steps, all with bounded waits. */
#ifndef YWS_TEST_UTIL_H
#define YWS_TEST_UTIL_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "yv_api_websocket.h"
#include "yv_mem_test.h"
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
  /* Waits until pred(all notes) holds. */
  bool wait(const std::function<bool(const std::vector<Note> &)> &pred, milliseconds t = kWait);
  bool wait_count(int client, int type, size_t n, milliseconds t = kWait);
  /* The first notification of that kind, waiting for it. */
  bool wait_first(int client, int type, Note *out, milliseconds t = kWait);
  /* Optional extra action run on the service task inside the callback. */
  void set_hook(std::function<void(int, const yws_parm_t *)> hook);
  void run_hook(int client, const yws_parm_t *p);

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<Note> notes_;
  std::function<void(int, const yws_parm_t *)> hook_;
};

extern "C" int notes_cb(int client_id, yws_parm_t *parm);

class TraceCapture {
 public:
  TraceCapture();
  ~TraceCapture();
  bool contains(const std::string &s);
  size_t count(const std::string &s);
  bool wait(const std::string &s, milliseconds t = kWait);
  std::vector<std::string> lines();

 private:
  static void sink(const char *line, void *user);
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
};

/* Generic bounded wait on a condition that nobody signals (state polled
 * between short waits). */
bool eventually(const std::function<bool()> &pred, milliseconds t = kWait);

/* The error code of the latest notification of that kind, -100 if none. */
int last(int client, int type);
/* Profile with URL and notes_cb; optional extra settings done by the caller. */
void profile(int cfg, const std::string &url);
/* Opens and waits for the OPEN notification; returns its error code or -100 on timeout. */
int open_client(int client, int cfg, int sys_mode = 0);
/* Closes a connected client and waits for CLOSE; returns its error or -100. */
int close_client(int client);
/* Queues bytes for a client; the service's result. */
int write_bytes(int client, const std::string &s, int type = YWS_WRITE_PROT_TEXT);
/* Bytes accepted but not yet sent, -1 without a client. */
int unsent(int client);
/* The received bytes of a client in notes[from..], concatenated. */
std::string received(int client, const std::vector<Note> &notes, size_t from = 0);
std::string received(int client);
size_t received_size(int client, const std::vector<Note> &notes, size_t from = 0);
/* Every event posted before this call has been handled by the service task. */
bool queue_drained(milliseconds t = kWait);
/* A loopback port nothing listens on. */
int closed_port();
/* The slot is free and only the service task is left. */
bool settled(milliseconds t = kWait);

}  // namespace ywst

#endif
