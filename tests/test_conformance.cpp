// A raw server after a correct upgrade: every RFC 6455 violation fails the
// connection with one CLOSE/YWS_ERR_PROT_FAIL and cause PROTOCOL, and no byte
// of it reaches the caller; valid edge cases and closes keep their meaning.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ws_test_server.h"
#include "yws_test_util.h"

using namespace ywst;
using ywstest::RawPeer;

namespace {

constexpr int kClient = 0;
constexpr int kCfg = 0;

std::string frame(int op, const std::string &p, bool fin = true, int rsv = 0) {
  return RawPeer::frame(op, p, fin, false, rsv);
}

std::string delivered(size_t from) {
  return received(kClient, Notes::get().all(), from);
}

class Conformance : public OneClientTest<kClient> {
 protected:
  // Opens against a peer that sends `bytes` once the client's first message arrived.
  void open_with(const std::string &bytes) {
    RawPeer::Options o;
    o.script.push_back(RawPeer::Step{RawPeer::Step::kWaitMessages, {}, 1});
    o.script.push_back(RawPeer::Step{RawPeer::Step::kSend, bytes});
    peer_.reset(new RawPeer(o));
    profile(kCfg, peer_->url("/"));
    yv_ws_cfg_set_opt(kCfg, YWS_CFG_PING_INTERVAL, 0);
    from_ = Notes::get().all().size();
    closes_ = Notes::get().count(kClient, YWS_CB_TYPE_CLOSE);
    ASSERT_EQ(open_client(kClient, kCfg), 0);
    opens_ = Notes::get().count(kClient, YWS_CB_TYPE_OPEN);
    ASSERT_EQ(write_bytes(kClient, "go"), 0);
  }
  std::unique_ptr<RawPeer> peer_;
  size_t from_ = 0, closes_ = 0, opens_ = 0;
};

struct Violation {
  const char *name;
  std::string bytes;
  std::string valid;  // the most that may be delivered ("before" always is)
  int close_code;     // our close frame's code if we send one (0: library's choice)
};

void PrintTo(const Violation &v, std::ostream *os) {
  *os << v.name;
}

class Violations : public Conformance, public ::testing::WithParamInterface<Violation> {};

const std::string kBefore = RawPeer::text_frame("before");

std::string long_len_top_bit() {
  std::string f("\x82\x7f", 2);
  f += std::string("\x80\x00\x00\x00\x00\x00\x00\x05", 8);
  return f + "hello";
}

}  // namespace

TEST_P(Violations, FailTheConnectionWithProtFailAndDeliverNothingOfThem) {
  const Violation &v = GetParam();
  open_with(kBefore + v.bytes);
  ASSERT_TRUE(Notes::get().wait_count(kClient, YWS_CB_TYPE_CLOSE, closes_ + 1));
  EXPECT_EQ(last(kClient, YWS_CB_TYPE_CLOSE), YWS_ERR_PROT_FAIL);
  Cause c = cause_of(kClient);
  EXPECT_EQ(c.cause, YWS_CLOSE_CAUSE_PROTOCOL);
  EXPECT_EQ(c.code, 0);
  EXPECT_EQ(c.reason, "");
  std::string got = delivered(from_);
  std::string most = "before" + v.valid;
  EXPECT_TRUE(got.size() >= 6 && most.compare(0, got.size(), got) == 0) << "delivered: " << got;
  ASSERT_TRUE(queue_drained());
  EXPECT_EQ(Notes::get().count(kClient, YWS_CB_TYPE_CLOSE), closes_ + 1);
  EXPECT_EQ(Notes::get().count(kClient, YWS_CB_TYPE_OPEN), opens_);
  // Our close frame with the RFC's code, or a dropped connection.
  EXPECT_TRUE(peer_->wait_disconnected(kWait));
  std::vector<RawPeer::Close> cl = peer_->closes();
  if (!cl.empty()) {
    if (v.close_code) {
      EXPECT_EQ(cl[0].code, v.close_code);
    } else {
      EXPECT_TRUE(cl[0].code == 1002 || cl[0].code == 1007) << cl[0].code;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    RawPeer, Violations,
    ::testing::Values(
        Violation{"Utf8ByteFF", RawPeer::text_frame("ok\xFF"), "ok", 1007},
        Violation{"Utf8ByteFE", RawPeer::text_frame("\xFE"), "", 1007},
        Violation{"Utf8Overlong", RawPeer::text_frame("a\xC0\xAF"), "a", 1007},
        Violation{"Utf8OverlongThreeBytes", RawPeer::text_frame("a\xE0\x80\xAF"), "a", 1007},
        Violation{"Utf8Surrogate", RawPeer::text_frame("a\xED\xA0\x80"), "a", 1007},
        Violation{"Utf8AboveMax", RawPeer::text_frame("a\xF4\x90\x80\x80"), "a", 1007},
        Violation{"Utf8SurrogateMidText", RawPeer::text_frame("ok \xED\xA0\x80 and more"), "ok ",
                  1007},
        Violation{"Utf8OverlongMidText", RawPeer::text_frame("ok \xF0\x80\x80\xAF and more"), "ok ",
                  1007},
        Violation{"Utf8SplitAcrossFragments", frame(0x1, "ab\xE2\x82", false) + frame(0x0, "\x28"),
                  "ab", 1007},
        Violation{"Utf8TruncatedAtEnd", RawPeer::text_frame("ab\xE2\x82"), "ab", 1007},
        Violation{"Utf8TruncatedBeforeEmptyLastFragment",
                  frame(0x1, "ab\xF0\x9F", false) + frame(0x0, ""), "ab", 1007},
        Violation{"CloseCode5000", RawPeer::close_frame(5000), "", 0},
        Violation{"CloseCode65535", RawPeer::close_frame(65535), "", 0},
        Violation{"CloseOneBytePayload", frame(0x8, std::string("\x03", 1)), "", 0},
        Violation{"CloseReasonNotUtf8", RawPeer::close_frame(1000, "bye\xFF"), "", 0},
        Violation{"ReservedBits", frame(0x1, "x", true, 4), "", 0},
        Violation{"ReservedOpcode", frame(0x3, "x"), "", 0},
        Violation{"ReservedControlOpcode", frame(0xB, "x"), "", 0},
        Violation{"ControlOver125", RawPeer::ping_frame(std::string(126, 'p')), "", 0},
        Violation{"FragmentedControl", frame(0x9, "p", false), "", 0},
        Violation{"ContinuationWithoutMessage", frame(0x0, "x"), "", 0},
        Violation{"DataFrameInsideFragmentedMessage", frame(0x1, "a", false) + frame(0x1, "b"), "a",
                  0},
        Violation{"LengthTopBitSet", long_len_top_bit(), "", 0}),
    [](const ::testing::TestParamInfo<Violation> &i) { return i.param.name; });

// ---- valid edge cases ----

TEST_F(Conformance, EdgeCasesThatAreValidKeepTheConnection) {
  std::string ping125(125, '\0');
  for (size_t i = 0; i < ping125.size(); i++) ping125[i] = static_cast<char>(i * 7);
  std::string text = "h\xC3\xA9llo \xE2\x82\xAC \xF0\x9D\x84\x9E";  // 2-, 3- and 4-byte characters
  open_with(RawPeer::ping_frame(ping125));
  ASSERT_TRUE(peer_->wait_pongs(1, kWait));
  EXPECT_EQ(peer_->pong_payloads()[0], ping125);
  // The library answers one ping at a time: the next comes after that pong.
  peer_->send_raw(RawPeer::fragmented(0x1, text, 5, true) + RawPeer::text_frame("") +
                  RawPeer::binary_frame("") + std::string("\x81\x7e\x00\x03", 4) + "abc" +
                  std::string("\x81\x7f\x00\x00\x00\x00\x00\x00\x00\x03", 10) + "def" +
                  RawPeer::text_frame("end"));
  std::string want = text + "abcdefend";
  ASSERT_TRUE(Notes::get().wait([&](const std::vector<Note> &n) {
    return received(kClient, n, from_).size() >= want.size();
  }));
  EXPECT_EQ(delivered(from_), want);
  ASSERT_TRUE(peer_->wait_pongs(2, kWait));
  EXPECT_EQ(peer_->pong_payloads()[1], "mid");
  // Multi-byte text sent one byte per segment arrives whole.
  peer_->send_bytewise(RawPeer::text_frame(text));
  ASSERT_TRUE(Notes::get().wait([&](const std::vector<Note> &n) {
    return received(kClient, n, from_).size() >= want.size() + text.size();
  }));
  EXPECT_EQ(delivered(from_), want + text);
  EXPECT_EQ(yv_ws_get_client_conn_state(kClient), YWS_CONN_STA_CONNECTED);
  EXPECT_EQ(Notes::get().count(kClient, YWS_CB_TYPE_CLOSE), closes_);
}

namespace {

struct PeerClose {
  int code;  // -1: a close frame without payload
  std::string reason;
  int seen;      // the code the close-cause query reports
  int answered;  // the code of our answer
};

void PrintTo(const PeerClose &p, std::ostream *os) {
  *os << p.code << ", reason of " << p.reason.size() << " bytes";
}

std::vector<PeerClose> peer_closes() {
  const std::string long_reason = std::string(121, 'r') + "\xC3\xA9";  // 123 bytes
  std::vector<PeerClose> v = {
      {-1, "", 1005, -1}, {1000, "", 1000, 1000}, {4000, "quota \"exceeded\"", 4000, 4000}};
  for (int code : {1000, 1001, 1003, 1007, 1011, 3000, 4999})
    v.push_back({code, long_reason, code, code});
  // libwebsockets 4.1.6 replaces these codes by 1002 before the service sees the frame, and
  // answers 1002: the invalid ones are failed on the wire, the valid 1012..1014 are lost.
  for (int code : {0, 999, 1004, 1005, 1006, 1012, 1014, 1015, 2999})
    v.push_back({code, "r", 1002, 1002});
  return v;
}

class PeerCloses : public Conformance, public ::testing::WithParamInterface<PeerClose> {};

}  // namespace

TEST_P(PeerCloses, EndAsCloseZeroWithTheCodeAndReasonAndAreAnswered) {
  const PeerClose &pc = GetParam();
  open_with(kBefore + RawPeer::close_frame(pc.code, pc.reason));
  ASSERT_TRUE(Notes::get().wait_count(kClient, YWS_CB_TYPE_CLOSE, closes_ + 1));
  EXPECT_EQ(last(kClient, YWS_CB_TYPE_CLOSE), YWS_OK);
  EXPECT_EQ(delivered(from_), "before");
  Cause c = cause_of(kClient);
  EXPECT_EQ(c.cause, YWS_CLOSE_CAUSE_PEER);
  EXPECT_EQ(c.code, pc.seen);
  if (pc.seen != 1002) {
    EXPECT_EQ(c.reason, pc.reason);
  }
  ASSERT_TRUE(peer_->wait_close(kWait));
  EXPECT_EQ(peer_->closes()[0].code, pc.answered);
}

INSTANTIATE_TEST_SUITE_P(RawPeer, PeerCloses, ::testing::ValuesIn(peer_closes()),
                         [](const ::testing::TestParamInfo<PeerClose> &i) {
                           const PeerClose &p = i.param;
                           if (p.code < 0) return std::string("NoCode");
                           std::string name = "Code" + std::to_string(p.code);
                           if (p.seen != p.code) return name + "As1002";
                           return name + (p.reason.empty() ? "" : "WithReason");
                         });
