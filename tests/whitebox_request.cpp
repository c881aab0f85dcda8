/* White-box suite: the request pieces a caller cannot reach through the public
 * calls. The header writer's room handling (the request-size check keeps a
 * real request from running short of room) and the URL parser's defaults for
 * ports a loopback test cannot listen on. */
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "yws_loop_impl.h"

namespace {

/* The writer needs a real connection object: a client connection to a port
 * that is bound but never listens exists until the event loop runs, which
 * never happens here. */
class Handshake : public ::testing::Test {
 protected:
  static int proto_cb(struct lws *, enum lws_callback_reasons, void *, void *, size_t) { return 0; }

  void SetUp() override {
    for (int cfg = 0; cfg < YWS_CFG_NUM; cfg++)
      ASSERT_EQ(0, yws_cfg_remove_http_head(cfg, nullptr));
    lws_set_log_level(0, nullptr);
    protos_[0].name = "yws-test";
    protos_[0].callback = proto_cb;
    lws_context_creation_info info;
    memset(&info, 0, sizeof(info));
    info.port = CONTEXT_PORT_NO_LISTEN;
    info.protocols = protos_;
    ctx_ = lws_create_context(&info);
    ASSERT_NE(nullptr, ctx_);

    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof(a);
    ASSERT_EQ(0, bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof(a)));
    ASSERT_EQ(0, getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &alen));

    lws_client_connect_info ci;
    memset(&ci, 0, sizeof(ci));
    ci.context = ctx_;
    ci.address = ci.host = ci.origin = "127.0.0.1";
    ci.port = ntohs(a.sin_port);
    ci.path = "/";
    ci.protocol = protos_[0].name;
    wsi_ = lws_client_connect_via_info(&ci);
    ASSERT_NE(nullptr, wsi_);
  }

  void TearDown() override {
    if (ctx_) lws_context_destroy(ctx_);
    if (fd_ >= 0) close(fd_);
  }

  /* What the writer put into a request with `room` bytes left. */
  std::string write(int cfg, size_t room, int *rc) {
    std::vector<unsigned char> buf(room + 16, 0xEE);
    unsigned char *p = buf.data();
    bool no_mem = false;
    yws_headers_t *copy = yws_cfg_headers_copy(cfg, &no_mem);
    EXPECT_FALSE(no_mem);
    *rc = yws_add_http_header_by_name(wsi_, &p, room, copy);
    yv_mem_free(copy);
    for (size_t i = room; i < buf.size(); i++) EXPECT_EQ(0xEE, buf[i]) << "past the end at " << i;
    return std::string(buf.data(), p);
  }

  lws_protocols protos_[2] = {};
  lws_context *ctx_ = nullptr;
  lws *wsi_ = nullptr;
  int fd_ = -1;
};

TEST_F(Handshake, WritesEveryHeaderThatFitsInOrder) {
  const std::string long_value(40, 'x');
  ASSERT_EQ(YWS_OK, yws_cfg_add_http_head(0, "Long", long_value.c_str()));
  ASSERT_EQ(YWS_OK, yws_cfg_add_http_head(0, "A", "1"));
  ASSERT_EQ(YWS_OK, yws_cfg_add_http_head(0, "C", "3"));
  const struct {
    size_t room;
    std::string text;
    bool complete;
  } cases[] = {{256, "Long: " + long_value + "\r\nA: 1\r\nC: 3\r\n", true},
               {24, "A: 1\r\nC: 3\r\n", false},
               {4, "", false}};
  for (const auto &c : cases) {
    int rc = -1;
    EXPECT_EQ(c.text, write(0, c.room, &rc)) << c.room;
    EXPECT_EQ(c.complete, rc == 0) << c.room;
  }

  const std::string n256(256, 'n');
  ASSERT_EQ(YWS_OK, yws_cfg_add_http_head(1, n256.c_str(), "v"));
  int rc = -1;
  EXPECT_EQ(n256 + ": v\r\n", write(1, 512, &rc));
  EXPECT_EQ(0, rc);
}

TEST_F(Handshake, ProfileWithoutHeadersOrListWritesNothing) {
  int rc = 0;
  EXPECT_EQ("", write(1, 64, &rc));
  EXPECT_EQ(YWS_ERR_INVAL_PARM, rc);

  /* A list that could not be created reads as empty. */
  ASSERT_EQ(YWS_OK, yws_cfg_init(2));
  linklist_handler_t saved = yws_profile(2)->conn.head_linklist_hd;
  yws_profile(2)->conn.head_linklist_hd = nullptr;
  rc = 0;
  EXPECT_EQ("", write(2, 64, &rc));
  EXPECT_EQ(YWS_ERR_INVAL_PARM, rc);
  yws_profile(2)->conn.head_linklist_hd = saved;

  ASSERT_EQ(YWS_OK, yws_cfg_add_http_head(0, "A", "1"));
  unsigned char buf[64], *p = buf;
  bool no_mem = false;
  yws_headers_t *copy = yws_cfg_headers_copy(0, &no_mem);
  ASSERT_NE(nullptr, copy);
  EXPECT_EQ(YWS_ERR_INVAL_PARM, yws_add_http_header_by_name(nullptr, &p, sizeof(buf), copy));
  yv_mem_free(copy);
  EXPECT_EQ(buf, p);
}

TEST(Url, DefaultPortComesFromTheScheme) {
  yws_url_t u;
  ASSERT_EQ(yws_url_parse("ws://127.0.0.1", &u), YWS_OK);
  EXPECT_EQ(u.port, 80);
  EXPECT_STREQ(u.host_port, "127.0.0.1:80");
  EXPECT_STREQ(u.path, "/");
  ASSERT_EQ(yws_url_parse("wss://127.0.0.1", &u), YWS_OK);
  EXPECT_EQ(u.port, 443);
  EXPECT_STREQ(u.host_port, "127.0.0.1:443");
  EXPECT_STREQ(u.path, "/");
}

}  // namespace
