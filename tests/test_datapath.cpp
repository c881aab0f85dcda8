// Transmit and receive paths: message boundaries and limits, buffered and direct delivery,
// flow control, and byte-exact transfer under load.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "child_exec.h"
#include "ws_test_server.h"
#include "yv_datacall_ctl.h"
#include "yv_mem_test.h"
#include "yv_ws_msg.h"
#include "yws_test_util.h"

using namespace ywst;
using std::chrono::milliseconds;
using std::chrono::steady_clock;
using ywstest::burst_byte;
using ywstest::WsServer;

// Queued while connecting: writes of one kind follow one byte stream cut at 2048 bytes, each
// byte leaves in a message of its write's kind; refused writes and writes past the buffer
// (INT32_MAX included, no overflow) queue nothing, and what fits exactly is accepted.
TEST(Transmit, MessagesFollowTheByteStreamAndLimitsQueueNothing) {
  WsServer server;
  profile(0, server.url("/echo"));
  yv_ws_cfg_set_opt(0, YWS_CFG_WRITE_BUFFERSZ, 4096);
  yv_dc_ctl_set_act_mode(YV_DC_ACT_NEVER_ANSWER);  // connecting: nothing leaves
  yws_open_t o{0, 0, nullptr, 0};
  ASSERT_EQ(yv_ws_open_proc(&o), 0);
  yv_dc_ctl_set_act_mode(YV_DC_ACT_ANSWER_OK);
  ASSERT_EQ(write_bytes(0, "abc"), 0);
  ASSERT_EQ(write_bytes(0, ""), 0);
  ASSERT_EQ(write_bytes(0, "def", YWS_WRITE_PROT_BIN), 0);
  char x = 'x';
  auto *px = reinterpret_cast<uint8_t *>(&x);
  const yws_parm_t bad[] = {
      {YWS_WRITE_PROT_TEXT, nullptr, 5, 0}, {YWS_WRITE_PROT_TEXT, px, -1, 0}, {2, px, 1, 0}};
  for (yws_parm_t p : bad) EXPECT_EQ(yv_ws_write_proc(0, &p), YWS_ERR_INVAL_PARM) << p.size;
  EXPECT_EQ(yv_ws_write_proc(0, nullptr), YWS_ERR_GENERIC);
  for (int32_t size : {INT32_MAX, INT32_MAX - 5, INT32_MAX - 6, 4091}) {
    yws_parm_t p{YWS_WRITE_PROT_BIN, px, size, 0};
    EXPECT_EQ(yv_ws_write_proc(0, &p), YWS_ERR_NO_MEM) << size;
  }
  EXPECT_EQ(unsent(0), 6);
  const std::string rest(4090, 'r'), stream = "def" + rest;
  EXPECT_EQ(write_bytes(0, rest, YWS_WRITE_PROT_BIN), 0);
  EXPECT_EQ(unsent(0), 4096);
  EXPECT_EQ(write_bytes(0, "1"), YWS_ERR_NO_MEM);
  yv_dc_ctl_answer_pending(1);
  ASSERT_TRUE(Notes::get().wait_count(0, YWS_CB_TYPE_OPEN, 1));
  ASSERT_EQ(last(0, YWS_CB_TYPE_OPEN), 0);
  ASSERT_TRUE(server.wait_messages(3, kWait));
  ASSERT_EQ(write_bytes(0, "ghi"), 0);  // text again (UTF-8 at the cut: test_sending)
  ASSERT_TRUE(server.wait_messages(4, kWait));
  auto msgs = server.messages();
  ASSERT_EQ(msgs.size(), 4u);
  EXPECT_FALSE(msgs[0].binary);
  EXPECT_EQ(msgs[0].data, "abc");
  EXPECT_TRUE(msgs[1].binary && msgs[2].binary);
  EXPECT_TRUE(msgs[1].data == stream.substr(0, 2048) && msgs[2].data == stream.substr(2048));
  EXPECT_FALSE(msgs[3].binary);
  EXPECT_EQ(msgs[3].data, "ghi");
  ASSERT_TRUE(eventually([] { return unsent(0) == 0; }));
  ASSERT_EQ(close_client(0), 0);
  EXPECT_TRUE(settled());
}

TEST(Receive, BufferedModeNotifiesOnceAndReadsInOrder) {
  WsServer server;
  profile(0, server.url("/echo"));
  ASSERT_EQ(open_client(0, 0, YWS_SYS_MODE_BUFFERED), 0);
  std::string a(100, 'a'), b(50, 'b');
  ASSERT_EQ(write_bytes(0, a), 0);
  ASSERT_TRUE(Notes::get().wait_count(0, YWS_CB_TYPE_RECV, 1));
  EXPECT_EQ(Notes::get().all().back().data, a);  // the first piece comes with its notification
  ASSERT_TRUE(queue_drained());
  size_t batches = queue_probe::handled_count(YWS_MSG_TYPE_LWS_CLIENT_RECEIVE);
  ASSERT_EQ(write_bytes(0, b), 0);
  // The echo's receive event is handled: buffered without a notification.
  ASSERT_TRUE(queue_probe::wait_handled(YWS_MSG_TYPE_LWS_CLIENT_RECEIVE, batches + 1));
  EXPECT_EQ(Notes::get().count(0, YWS_CB_TYPE_RECV), 1u);
  std::string out(60, '\0');
  int32_t n = 60;
  ASSERT_EQ(yv_ws_read_proc(0, &out[0], &n, true), YWS_OK);
  EXPECT_EQ(n, 60);
  EXPECT_EQ(out, a.substr(0, 60));
  ASSERT_TRUE(Notes::get().wait_count(0, YWS_CB_TYPE_RECV, 2));  // one read event
  Note ev = Notes::get().all().back();
  EXPECT_FALSE(ev.has_data);
  EXPECT_EQ(ev.size, 0);
  out.assign(1000, '\0');
  n = 1000;
  ASSERT_EQ(yv_ws_read_proc(0, &out[0], &n, true), YWS_OK);
  EXPECT_EQ(std::string(out.data(), static_cast<size_t>(n)), a.substr(60) + b);
  n = 1000;
  EXPECT_EQ(yv_ws_read_proc(0, &out[0], &n, true), YWS_OK);  // empty, connected
  EXPECT_EQ(n, 0);
  EXPECT_EQ(Notes::get().count(0, YWS_CB_TYPE_RECV), 2u);  // nothing left: no event
  ASSERT_EQ(close_client(0), 0);
  n = 10;
  EXPECT_EQ(yv_ws_read_proc(0, &out[0], &n, false), YWS_ERR_GENERIC);  // no client any more
}

TEST(Receive, ReadingAClosingClientEmptyPostsTheClose) {
  WsServer server;
  profile(0, server.url("/close-after/1"));
  yv_ws_cfg_set_opt(0, YWS_CFG_CLOSE_WAITTIME, 1);
  ASSERT_EQ(open_client(0, 0, YWS_SYS_MODE_BUFFERED), 0);
  ASSERT_EQ(write_bytes(0, "ping me"), 0);
  ASSERT_TRUE(Notes::get().wait_count(0, YWS_CB_TYPE_CLOSE, 1));
  EXPECT_TRUE(settled());
  char buf[16];
  int32_t n = sizeof(buf);
  EXPECT_EQ(yv_ws_read_proc(0, buf, &n, false), YWS_ERR_GENERIC);
}

namespace {

// The data-path cases run over ws and over wss: TLS hands the library its bytes in records of
// up to 16 KiB, which a receive pause must not stall.
class DataPath : public ::testing::TestWithParam<bool> {
 protected:
  /* Nothing of a client may still run when the process ends (the TLS
   * library's globals go at exit). */
  void TearDown() override {
    for (int c = 0; c < YWS_CLIENT_NUM; c++)
      if (yv_ws_get_client_conn_state(static_cast<uint8_t>(c)) == YWS_CONN_STA_CONNECTED)
        close_client(c);
    EXPECT_TRUE(settled());
  }
  static WsServer::Options opts() {
    WsServer::Options o;
    if (GetParam()) o.tls = WsServer::Tls::kSelfSigned;
    return o;
  }
  void flood_once(int32_t rx_max);
};

std::string scheme_name(const ::testing::TestParamInfo<bool> &i) {
  return i.param ? "wss" : "ws";
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Over, DataPath, ::testing::Bool(), scheme_name);

// A fast sender and a slow reader in buffered mode: flow control holds the library back so that
// no piece is dropped and the receive buffer never holds more than its size, at both ends of
// its range and the default; after each pause the reader takes everything held at once, which
// shows how much that was.
TEST_P(DataPath, FloodArrivesWholeUnderFlowControl) {
  for (int32_t rx_max : {4096, 10240, 16384}) flood_once(rx_max);
}

void DataPath::flood_once(int32_t rx_max) {
  SCOPED_TRACE(rx_max);
  const uint64_t total = 2u << 20;
  WsServer server(opts());
  profile(0, server.url("/burst/" + std::to_string(total) + "/0"));
  yv_ws_cfg_set_opt(0, YWS_CFG_READ_BUFFERSZ, rx_max);
  ASSERT_EQ(open_client(0, 0, YWS_SYS_MODE_BUFFERED), 0);
  uint64_t got = 0;
  int32_t max_held = 0;
  bool in_order = true, drain = false;
  std::string buf(65536, '\0');
  auto deadline = steady_clock::now() + std::chrono::seconds(60);
  int reads = 0;
  while (got < total && steady_clock::now() < deadline) {
    int32_t n = drain ? static_cast<int32_t>(buf.size()) : 1000;
    yv_ws_read_proc(0, &buf[0], &n, false);
    if (drain) max_held = std::max(max_held, n);
    for (int32_t i = 0; i < n && in_order; i++)
      in_order = static_cast<uint8_t>(buf[static_cast<size_t>(i)]) ==
                 burst_byte(got + static_cast<uint64_t>(i));
    got += static_cast<uint64_t>(n);
    drain = n == 0 || ++reads % 8 == 0;
    if (drain) std::this_thread::sleep_for(milliseconds(1));  // slow reader
  }
  EXPECT_EQ(got, total);
  EXPECT_TRUE(in_order);
  EXPECT_LE(max_held, rx_max);
  EXPECT_GT(max_held, 0);
  ASSERT_EQ(close_client(0), 0);
}

// The same flood to a direct-mode callback that keeps stalling: the library is held back while
// the service task is behind, so every byte arrives once and in order and the heap stays at a
// few batches, not the 4 MiB the server pushes.
TEST_P(DataPath, FloodToAStallingCallbackArrivesWholeInBoundedMemory) {
  const uint64_t total = 4u << 20;
  WsServer server(opts());
  profile(0, server.url("/burst/" + std::to_string(total) + "/0"));
  std::mutex m;
  uint64_t got = 0;
  bool in_order = true;
  int notes = 0;
  Notes::get().set_hook([&](int client, const yws_parm_t *p) {
    if (client != 0 || p->type != YWS_CB_TYPE_RECV || !p->data) return;
    if (++notes % 8 == 0) std::this_thread::sleep_for(milliseconds(1));  // a stalling callback
    std::lock_guard<std::mutex> lk(m);
    for (int32_t i = 0; i < p->size && in_order; i++)
      in_order = p->data[i] == burst_byte(got + static_cast<uint64_t>(i));
    got += static_cast<uint64_t>(p->size);
  });
  yv_mem_reset_peak();
  size_t base = yv_mem_bytes_in_use();
  ASSERT_EQ(open_client(0, 0), 0);
  EXPECT_TRUE(eventually(
      [&] {
        std::lock_guard<std::mutex> lk(m);
        return got >= total;
      },
      std::chrono::seconds(60)));
  size_t peak = yv_mem_peak_bytes() - base;
  Notes::get().set_hook(nullptr);
  std::lock_guard<std::mutex> lk(m);
  EXPECT_EQ(got, total);
  EXPECT_TRUE(in_order);
  EXPECT_LT(peak, 128u * 1024) << "heap above the idle service while the callback stalls";
}

// A callback slower than the network: while the service task delivers, the loop gathers what
// follows into the next batch, so the task rarely has to sleep and be woken. Counted, not timed.
TEST_P(DataPath, SlowCallbackIsWokenOncePerManyMessages) {
  const uint64_t count = 10000, size = 16, total = count * size;
  WsServer server(opts());
  profile(0, server.url("/burst/" + std::to_string(total) + "/" + std::to_string(size)));
  std::mutex m;
  std::string got;
  Notes::get().set_hook([&](int client, const yws_parm_t *p) {
    if (client != 0 || p->type != YWS_CB_TYPE_RECV || !p->data) return;
    auto until = steady_clock::now() + std::chrono::microseconds(50);
    while (steady_clock::now() < until) {
    }
    std::lock_guard<std::mutex> lk(m);
    got.append(reinterpret_cast<const char *>(p->data), static_cast<size_t>(p->size));
  });
  queue_probe::reset();
  ASSERT_EQ(open_client(0, 0), 0);
  ASSERT_TRUE(eventually(
      [&] {
        std::lock_guard<std::mutex> lk(m);
        return got.size() >= total;
      },
      std::chrono::seconds(30)));
  size_t sleeps = queue_probe::sleeps();
  Notes::get().set_hook(nullptr);
  ASSERT_EQ(got.size(), total);
  bool in_order = true;
  for (size_t i = 0; i < total && in_order; i++)
    in_order = static_cast<uint8_t>(got[i]) == burst_byte(i);
  EXPECT_TRUE(in_order);
  EXPECT_LT(sleeps, count / 4) << "service-task wake-ups for " << count << " messages";
  ASSERT_EQ(close_client(0), 0);
}

namespace {

struct Path {
  bool tls, buffered, message;
};

std::string path_name(const ::testing::TestParamInfo<Path> &i) {
  return std::string(i.param.tls ? "wss" : "ws") + (i.param.buffered ? "_buffered" : "_direct") +
         (i.param.message ? "_message" : "");
}

class ReceiveSizes : public ::testing::TestWithParam<Path> {};

constexpr int kMsgPiece = 4096;

/* Reads what a buffered client holds, late: each round starts a while after the notification,
 * as a command layer behind a slow link would. Message mode reads message by message. */
void read_late(uint64_t total, std::string *got, std::vector<size_t> *ends, bool message) {
  std::string buf(65536, '\0');
  auto deadline = steady_clock::now() + std::chrono::seconds(30);
  int round = 0;
  while (got->size() < total && steady_clock::now() < deadline) {
    size_t notes = Notes::get().count(0, YWS_CB_TYPE_RECV);
    // Reads of the command layer's size, and now and then one that takes all.
    int32_t n = ++round % 3 ? 8192 : static_cast<int32_t>(buf.size()), flags = 0;
    if (message)
      yv_ws_read_msg(0, &buf[0], &n, &flags);
    else
      yv_ws_read_proc(0, &buf[0], &n, true);
    got->append(buf.data(), static_cast<size_t>(n));
    if (flags & YWS_MSG_FLAG_FINAL) ends->push_back(got->size());
    if (n > 0 || flags) continue;
    Notes::get().wait_count(0, YWS_CB_TYPE_RECV, notes + 1);
    std::this_thread::sleep_for(milliseconds(20));  // the late reader, not a synchronisation
  }
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Over, ReceiveSizes,
                         ::testing::Values(Path{false, false, false}, Path{true, false, false},
                                           Path{false, true, false}, Path{true, true, false},
                                           Path{false, false, true}, Path{true, false, true},
                                           Path{false, true, true}, Path{true, true, true}),
                         path_name);

// Messages of 1 B to 256 KiB, larger than any receive pause, to a callback that takes 3 ms a
// piece or a reader that reads late: every byte arrives once, in order, each message whole in
// message mode, and the client still closes at once.
TEST_P(ReceiveSizes, EveryMessageArrivesThroughSlowConsumers) {
  const Path c = GetParam();
  WsServer::Options o;
  if (c.tls) o.tls = WsServer::Tls::kSelfSigned;
  WsServer server(o);
  std::mutex m;
  std::string got;
  std::vector<size_t> ends;
  Notes::get().set_hook([&](int client, const yws_parm_t *p) {
    if (client != 0 || !p->data || c.buffered) return;
    if (p->type != YWS_CB_TYPE_RECV && p->type != YWS_CB_TYPE_MESSAGE) return;
    std::this_thread::sleep_for(milliseconds(3));  // a slow callback
    std::lock_guard<std::mutex> lk(m);
    got.append(reinterpret_cast<const char *>(p->data), static_cast<size_t>(p->size));
    if (p->type == YWS_CB_TYPE_MESSAGE && (p->virtual_ & YWS_MSG_FLAG_FINAL))
      ends.push_back(got.size());
  });
  for (size_t size : {size_t(1), size_t(2048), size_t(16385), size_t(65536), size_t(262144)}) {
    SCOPED_TRACE(size);
    const uint64_t total = size < 2048 ? 500 * size : (size < 65536 ? 8 : 3) * size;
    profile(0, server.url("/burst/" + std::to_string(total) + "/" + std::to_string(size)));
    yv_ws_cfg_set_opt(0, YWS_CFG_READ_MESSAGE, c.message ? kMsgPiece : 0);
    {
      std::lock_guard<std::mutex> lk(m);
      got.clear();
      ends.clear();
    }
    ASSERT_EQ(open_client(0, 0, c.buffered ? YWS_SYS_MODE_BUFFERED : 0), 0);
    if (c.buffered) read_late(total, &got, &ends, c.message);
    EXPECT_TRUE(eventually(
        [&] {
          std::lock_guard<std::mutex> lk(m);
          return got.size() >= total;
        },
        std::chrono::seconds(30)));
    auto t0 = steady_clock::now();
    EXPECT_EQ(close_client(0), 0);
    EXPECT_LT(steady_clock::now() - t0, std::chrono::seconds(2));
    std::lock_guard<std::mutex> lk(m);
    ASSERT_EQ(got.size(), total);
    bool in_order = true;
    for (size_t i = 0; i < total && in_order; i++)
      in_order = static_cast<uint8_t>(got[i]) == burst_byte(i);
    EXPECT_TRUE(in_order);
    if (c.message) {
      ASSERT_EQ(ends.size(), total / size);
      for (size_t k = 0; k < ends.size(); k++) EXPECT_EQ(ends[k], (k + 1) * size) << k;
    }
  }
  Notes::get().set_hook(nullptr);
}

// A wss client whose reader stopped: its loop holds still at no CPU, closing it ends it within
// its close wait, and a second client's echo never waits behind it.
TEST(Receive, AStalledWssClientRestsAndClosesWhileAnotherEchoes) {
  WsServer::Options o;
  o.tls = WsServer::Tls::kSelfSigned;
  WsServer server(o);
  profile(0, server.url("/burst/" + std::to_string(8u << 20) + "/65536"));
  yv_ws_cfg_set_opt(0, YWS_CFG_CLOSE_WAITTIME, 2);
  profile(1, server.url("/echo"));
  ASSERT_EQ(open_client(0, 0, YWS_SYS_MODE_BUFFERED), 0);
  // Held back: the server cannot get far past the receive buffer and the socket queues.
  ASSERT_TRUE(Notes::get().wait_count(0, YWS_CB_TYPE_RECV, 1));
  ASSERT_TRUE(eventually([&] {
    uint64_t before = server.connections().at(0).bytes_sent;
    std::this_thread::sleep_for(milliseconds(200));  // a window to see no progress in
    return server.connections().at(0).bytes_sent == before;
  }));
  double cpu = threads_cpu_ms("wsservice");
  std::this_thread::sleep_for(milliseconds(1000));  // the window the CPU is measured over
  EXPECT_LT(threads_cpu_ms("wsservice") - cpu, 50.0) << "ms of CPU in 1 s of a paused loop";

  ASSERT_EQ(open_client(1, 1), 0);
  std::atomic<bool> stop{false};
  std::atomic<int64_t> worst_us{0};
  std::atomic<int> echoes{0};
  std::thread echo([&] {
    std::string buf(64, '\0');
    while (!stop) {
      size_t notes = Notes::get().count(1, YWS_CB_TYPE_RECV);
      auto t = steady_clock::now();
      if (write_bytes(1, "are you there") != 0) break;
      if (!Notes::get().wait_count(1, YWS_CB_TYPE_RECV, notes + 1, milliseconds(2000))) break;
      int32_t n = static_cast<int32_t>(buf.size());
      yv_ws_read_proc(1, &buf[0], &n, false);
      int64_t us =
          std::chrono::duration_cast<std::chrono::microseconds>(steady_clock::now() - t).count();
      if (us > worst_us) worst_us = us;
      echoes++;
    }
  });
  ASSERT_TRUE(eventually([&] { return echoes >= 20; }));
  auto t0 = steady_clock::now();
  // The burst server answers our close frame, or drops the connection mid-burst without it:
  // either way the close ends, and on time.
  int closed = close_client(0);
  EXPECT_TRUE(closed == YWS_OK || closed == YWS_ERR_TIMEDOUT) << closed;
  EXPECT_LT(steady_clock::now() - t0, std::chrono::seconds(3)) << "close wait 2 s";
  int after_close = echoes + 20;
  EXPECT_TRUE(eventually([&] { return echoes >= after_close; }));
  stop = true;
  echo.join();
  // Under an emulator a TLS close costs far more CPU; a wait behind the close would still be 2 s.
  EXPECT_LT(worst_us, ywstest::under_emulator() ? 1000000 : 100000)
      << "slowest echo of client 1, in us";
  EXPECT_EQ(close_client(1), 0);
}

TEST(Receive, PushFlagAndDrainedCallback) {
  char text[] = "left";
  int32_t high = 7;
  EXPECT_EQ(yws_client_get_data_push_urc_high(0, &high), nullptr);  // no service yet
  EXPECT_EQ(high, 7);
  yws_client_set_data_push_urc_high(0, true, text);  // no service: nothing happens
  WsServer server;
  profile(1, server.url("/echo"));
  ASSERT_EQ(open_client(2, 1, YWS_SYS_MODE_BUFFERED), 0);
  yws_client_set_data_push_urc_high(0, true, text);
  EXPECT_EQ(yws_client_get_data_push_urc_high(1, &high), text);
  EXPECT_EQ(high, 1);
  yws_client_data_push_urc_cb(reinterpret_cast<void *>(2));
  ASSERT_TRUE(Notes::get().wait_count(2, YWS_CB_TYPE_RECV, 1));
  EXPECT_FALSE(Notes::get().all().back().has_data);
  EXPECT_EQ(Notes::get().all().back().virt, 1);
  yws_client_get_data_push_urc_high(1, &high);
  EXPECT_EQ(high, 0);
  ASSERT_EQ(close_client(2), 0);
}

// About 10 MB of random text and binary writes echoed on each of three clients, in direct mode.
TEST_P(DataPath, ThreeClientsByteExact) {
  WsServer server(opts());
  std::string sent[3];
  std::mt19937 rng(42);
  for (int c = 0; c < 3; c++) {
    profile(c, server.url("/echo"));
    ASSERT_EQ(open_client(c, c), 0);
    sent[c].resize(10000 * 1024);
    for (char &ch : sent[c]) ch = static_cast<char>('!' + rng() % 90);
  }
  size_t pos[3] = {0, 0, 0};
  auto deadline = steady_clock::now() + std::chrono::seconds(120);
  while (pos[0] + pos[1] + pos[2] < 3 * sent[0].size() && steady_clock::now() < deadline) {
    bool progress = false;
    for (int c = 0; c < 3; c++) {
      size_t len = std::min<size_t>(1 + rng() % 2048, sent[c].size() - pos[c]);
      if (len > 0 && write_bytes(c, sent[c].substr(pos[c], len), int(rng() % 2)) == 0) {
        pos[c] += len;
        progress = true;
      }
    }
    if (!progress) std::this_thread::yield();
  }
  for (int c = 0; c < 3; c++) {
    ASSERT_EQ(pos[c], sent[c].size());
    ASSERT_TRUE(Notes::get().wait(
        [&](const std::vector<Note> &v) { return received_size(c, v) >= sent[c].size(); },
        std::chrono::seconds(60)))
        << c;
    EXPECT_TRUE(received(c) == sent[c]) << c;
    // Direct mode hands every piece over with the profile id and buffers nothing.
    auto notes = Notes::get().all();
    EXPECT_TRUE(std::all_of(notes.begin(), notes.end(), [c](const Note &n) {
      return n.client != c || n.type != YWS_CB_TYPE_RECV || n.virt == c;
    }));
    char buf[8];
    int32_t n = sizeof(buf);
    EXPECT_EQ(yv_ws_read_proc(c, buf, &n, false), YWS_OK);
    EXPECT_EQ(n, 0);
  }
  for (int c = 0; c < 3; c++) EXPECT_EQ(close_client(c), 0);
  EXPECT_TRUE(settled());
}
