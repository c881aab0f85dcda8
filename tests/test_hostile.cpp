// A raw-socket peer that answers the opening handshake itself and then
// misbehaves. Nothing may crash or hang; valid bytes arrive whole and in
// order; a bad upgrade answer ends in one OPEN failure with the slot free.
// Invalid frames after the upgrade: test_conformance.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "ws_test_server.h"
#include "yv_rtos_test.h"
#include "yws_test_util.h"

using namespace ywst;
using ywstest::RawPeer;

namespace {

constexpr int kClient = 1;
constexpr int kCfg = 1;

// Errors of the OPEN notifications from note index `from` on, in order.
std::vector<int> open_errors(size_t from) {
  auto notes = Notes::get().all();
  std::vector<int> out;
  for (size_t i = from; i < notes.size(); i++)
    if (notes[i].client == kClient && notes[i].type == YWS_CB_TYPE_OPEN)
      out.push_back(notes[i].virt);
  return out;
}

bool slot_free() {
  return eventually([] {
    int v = 0;
    return yv_ws_client_get_opt(kClient, YWS_CLIENT_GET_CONNSTATE, &v) == YWS_ERR_INVAL_PARM;
  });
}

std::string text_of(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>('a' + i * 11 % 26);
  return s;
}

std::string burst_pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>(ywstest::burst_byte(i));
  return s;
}

using Hostile = OneClientTest<kClient>;

// ---- valid frames after a correct handshake (coalesced and byte-wise frames:
// test_conformance) ----

struct FrameCase {
  const char *name;
  std::string bytes;
  std::string valid;  // what must reach the callback, in order
  int pongs;          // owed for the pings in the input
};

void PrintTo(const FrameCase &c, std::ostream *os) {
  *os << c.name;
}

class Frames : public Hostile, public ::testing::WithParamInterface<FrameCase> {};

}  // namespace

TEST_P(Frames, ArriveWholeInOrderAndTheConnectionGoesOn) {
  const FrameCase &fc = GetParam();
  RawPeer::Options o;
  o.echo = true;
  o.script.push_back(RawPeer::Step{RawPeer::Step::kSend, fc.bytes});
  RawPeer peer(o);
  profile_on(kCfg, peer.url("/"), 1, 60);
  size_t from = Notes::get().all().size();
  size_t closes = Notes::get().count(kClient, YWS_CB_TYPE_CLOSE);
  ASSERT_EQ(open_client(kClient, kCfg), 0);
  auto received_at_least = [from](size_t n) {
    return Notes::get().wait(
        [&](const std::vector<Note> &v) { return received_size(kClient, v, from) >= n; },
        std::chrono::seconds(20));
  };

  ASSERT_TRUE(received_at_least(fc.valid.size()));
  EXPECT_TRUE(peer.wait_pongs(fc.pongs, kWait));
  std::vector<Note> notes = Notes::get().all();
  std::string all = received(kClient, notes, from);
  EXPECT_TRUE(all == fc.valid) << "delivered "
                               << (all.size() <= 64 ? "\"" + all + "\""
                                                    : std::to_string(all.size()) + " bytes");
  for (size_t i = from; i < notes.size(); i++) {
    if (notes[i].client == kClient && notes[i].type == YWS_CB_TYPE_RECV) {
      EXPECT_LE(notes[i].data.size(), 2048u);  // the library's receive buffer of a client
    }
  }
  ASSERT_EQ(write_bytes(kClient, "still-here"), 0);
  ASSERT_TRUE(received_at_least(fc.valid.size() + 10));
  EXPECT_TRUE(received(kClient, Notes::get().all(), from) == fc.valid + "still-here");
  EXPECT_EQ(close_client(kClient), 0);
  EXPECT_TRUE(slot_free());
  ASSERT_TRUE(queue_drained());
  EXPECT_EQ(Notes::get().count(kClient, YWS_CB_TYPE_CLOSE), closes + 1);
  EXPECT_EQ(open_errors(from), std::vector<int>{YWS_OK});
}

INSTANTIATE_TEST_SUITE_P(
    RawPeer, Frames,
    ::testing::Values(
        FrameCase{"FragmentedWithPingBetween", RawPeer::fragmented(0x1, text_of(6000), 40, true),
                  text_of(6000), 1},
        FrameCase{"OneMebibyteMessage", RawPeer::big_message(), burst_pattern(1u << 20), 0},
        // libwebsockets 4.1.6 unmasks a masked server frame (README, known limitations).
        FrameCase{"MaskedFrameIsDelivered",
                  RawPeer::text_frame("before") + RawPeer::masked_frame(0x1, "masked"),
                  "beforemasked", 0}),
    [](const ::testing::TestParamInfo<FrameCase> &i) { return i.param.name; });

// ---- handshake answers ----

namespace {

struct AnswerCase {
  const char *name;
  RawPeer::Answer answer;
  int error;
};

void PrintTo(const AnswerCase &c, std::ostream *os) {
  *os << c.name;
}

class Answers : public Hostile, public ::testing::WithParamInterface<AnswerCase> {};

}  // namespace

TEST_P(Answers, FailTheOpenOnceAndFreeTheSlot) {
  RawPeer::Options o;
  o.answer = GetParam().answer;
  RawPeer peer(o);
  // The connect timer (1 s) bounds a client that would otherwise wait on the answer.
  profile_on(kCfg, peer.url("/"), 1, 1);
  size_t from = Notes::get().all().size();
  size_t closes = Notes::get().count(kClient, YWS_CB_TYPE_CLOSE);
  yws_open_t open{kClient, kCfg, nullptr, 0};
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(yv_ws_open_proc(&open), 0);
  EXPECT_TRUE(peer.wait_handshake(kWait));
  EXPECT_TRUE(slot_free());
  auto ms = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - t0);
  if (GetParam().error == YWS_ERR_TIMEDOUT) {
    EXPECT_GE(ms.count(), 900);
  }
  EXPECT_LT(ms.count(), 3000);
  EXPECT_TRUE(settled());
  ASSERT_TRUE(queue_drained());
  EXPECT_EQ(open_errors(from), std::vector<int>{GetParam().error});
  EXPECT_EQ(Notes::get().count(kClient, YWS_CB_TYPE_CLOSE), closes);
  EXPECT_EQ(yv_rtos_test_live_timers(), 0u);
  EXPECT_TRUE(peer.wait_disconnected(kWait));
}

INSTANTIATE_TEST_SUITE_P(
    RawPeer, Answers,
    ::testing::Values(AnswerCase{"WrongAcceptKey", RawPeer::Answer::kWrongAccept, YWS_ERR_NET_FAIL},
                      AnswerCase{"Truncated", RawPeer::Answer::kTruncated, YWS_ERR_NET_FAIL},
                      AnswerCase{"Empty", RawPeer::Answer::kEmpty, YWS_ERR_NET_FAIL},
                      AnswerCase{"NeverAnswered", RawPeer::Answer::kNever, YWS_ERR_TIMEDOUT}),
    [](const ::testing::TestParamInfo<AnswerCase> &i) { return i.param.name; });
