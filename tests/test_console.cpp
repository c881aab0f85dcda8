// The AT console: its parser and formatter, the engine against the service, and the yws-at and
// C example programs as child processes against loopback servers.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "at_console.h"
#include "child_exec.h"
#include "ws_test_server.h"
#include "yws_test_util.h"

using namespace yws_at;
using std::chrono::milliseconds;
using ywstest::WsServer;
using Lines = std::vector<std::string>;

namespace {

struct Outcome {
  int status = -1;  // -1: killed at the deadline or not exited normally
  Lines lines;
};

/* Runs a program with a deadline; its standard output (and error, when asked) by line. */
Outcome run_program(const Lines &args, bool with_stderr = false) {
  const Lines cmd = ywstest::child_command(args);
  std::vector<char *> argv;
  for (const std::string &a : cmd) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  auto child = [&](int fd) {
    dup2(fd, STDOUT_FILENO);
    if (with_stderr) dup2(fd, STDERR_FILENO);
    close(fd);
    execv(argv[0], argv.data());
    _exit(127);
  };
  ywst::ChildRun c = ywst::run_forked(child, milliseconds(30000));
  Outcome r{c.exited && WIFEXITED(c.status) ? WEXITSTATUS(c.status) : -1, {}};
  for (size_t from = 0, nl; (nl = c.out.find('\n', from)) != std::string::npos; from = nl + 1)
    r.lines.push_back(c.out.substr(from, nl - from));
  return r;
}

bool starts(const std::string &s, const std::string &prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

bool has(const Lines &lines, const std::string &line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

/* Lines of the library's log, and lines that are neither the session's, the trace's nor its. */
std::pair<size_t, size_t> log_and_stray(const Lines &lines) {
  size_t library = 0, other = 0;
  for (const std::string &l : lines) {
    library += starts(l, "lws: ");
    other += !starts(l, "lws: ") && !starts(l, "trace: ") && !starts(l, "#") && !starts(l, "AT") &&
             !starts(l, "+") && l != "OK";
  }
  return {library, other};
}

/* Checks a transcript of a script run against an echo server: a command's own lines, its OK,
 * then the outcome it waited for (+YWSOPEN / +YWSCLOSE with 0, the byte-exact echo in direct
 * mode, the data announcement in buffered). Collects the bytes sent per client. */
void check_echo_transcript(const Lines &lines, bool buffered, Lines *sent) {
  sent->assign(YWS_CLIENT_NUM, std::string());
  for (size_t i = 0; i < lines.size(); i++) {
    EXPECT_FALSE(starts(lines[i], "ERROR") || starts(lines[i], "+YWSTIMEOUT")) << lines[i];
    if (!starts(lines[i], "AT")) continue;
    Lines b;  // up to the next echo
    for (size_t k = i + 1; k < lines.size() && !starts(lines[k], "AT"); k++) b.push_back(lines[k]);
    Command c;
    std::string why;
    ASSERT_TRUE(parse_line(lines[i], &c, &why)) << why;
    std::string client = c.params.empty() ? "" : c.params[0].text;
    if (c.name == "YWSOPEN" || c.name == "YWSCLOSE") {
      EXPECT_EQ(b, Lines({"OK", "+" + c.name + ": " + client + ",0"})) << lines[i];
    } else if (c.name == "YWSSEND") {
      ASSERT_EQ(c.params.size(), 3u) << lines[i];
      std::string data = c.params[1].text == "1" ? "" : c.params[2].text;
      EXPECT_TRUE(c.params[1].text != "1" || hex_decode(c.params[2].text, &data)) << lines[i];
      (*sent)[static_cast<size_t>(std::stoi(client))] += data;
      std::string recv = "+YWSRECV: " + client;
      if (!buffered) recv += "," + std::to_string(data.size()) + "," + quote(data);
      EXPECT_EQ(b, Lines({"OK", recv})) << lines[i];
    } else {
      ASSERT_FALSE(b.empty()) << lines[i];
      EXPECT_EQ(b.back(), "OK") << lines[i];
      for (size_t k = 0; k + 1 < b.size(); k++)
        EXPECT_TRUE(starts(b[k], "+" + c.name + ": ")) << b[k];
    }
  }
}

/* An in-process engine and what it printed. */
struct Session {
  explicit Session(Console::Options o = {})
      : c(o, [this](const std::string &l) {
          std::lock_guard<std::mutex> lk(m);
          lines.push_back(l);
        }) {}
  Lines printed() {
    std::lock_guard<std::mutex> lk(m);
    return lines;
  }
  /* Runs one line; what it printed after its echo. */
  Lines reply(const std::string &line, bool *ok = nullptr) {
    size_t before = printed().size();
    bool r = c.run(line);
    if (ok) *ok = r;
    Lines now = printed();
    EXPECT_LT(before, now.size()) << "no echo of " << line;
    return Lines(now.begin() + static_cast<long>(std::min(before + 1, now.size())), now.end());
  }
  /* Steps "command => line | line": each command answers exactly those lines, and run() is
   * false for an ERROR or a timeout. */
  void answers(std::initializer_list<std::string> steps) {
    for (const std::string &step : steps) {
      size_t arrow = step.find(" => ");
      Lines want;
      for (size_t from = arrow + 4, bar = 0; bar != std::string::npos; from = bar + 3) {
        bar = step.find(" | ", from);
        want.push_back(step.substr(from, bar - from));
      }
      bool ok = false;
      EXPECT_EQ(reply(step.substr(0, arrow), &ok), want) << step;
      EXPECT_EQ(ok, !starts(want.back(), "ERROR") && !starts(want.back(), "+YWSTIMEOUT")) << step;
    }
  }
  /* Each line answers one error line starting with prefix. */
  void refuses(const std::string &prefix, std::initializer_list<const char *> bad) {
    for (const char *line : bad) {
      bool ok = true;
      Lines r = reply(line, &ok);
      EXPECT_FALSE(ok) << line;
      EXPECT_TRUE(r.size() == 1 && starts(r[0], prefix)) << line << ": " << r.size() << " lines";
    }
  }

  std::mutex m;
  Lines lines;
  Console c;  // last: it prints into the members above until it is gone
};

}  // namespace

TEST(ConsoleParser, LinesNumbersHexAndQuotedData) {
  Command c;
  std::string why;
  ASSERT_TRUE(parse_line(R"( at+ywssend= 1 , 0 ,  "a\"b\\c\x00\xFFd\n\t" )", &c, &why)) << why;
  EXPECT_EQ(c.form, Command::kSet);
  EXPECT_EQ(c.name, "YWSSEND");
  ASSERT_EQ(c.params.size(), 3u);
  EXPECT_FALSE(c.params[0].quoted);
  EXPECT_EQ(c.params[0].text, "1");
  EXPECT_TRUE(c.params[2].quoted);
  EXPECT_EQ(c.params[2].text, std::string("a\"b\\c\0\xff\x64\n\t", 10));
  ASSERT_TRUE(parse_line(R"(AT+YWSCFG="a,b",0,)", &c, &why));
  ASSERT_EQ(c.params.size(), 3u);
  EXPECT_EQ(c.params[0].text, "a,b");
  EXPECT_TRUE(c.params[2].text.empty());
  const char *forms[] = {"AT", "AT+YWSHELP\r", "", "AT+YWSOPEN=?", "AT+YWSOPEN?"};  // Form order
  for (int f : {Command::kBasic, Command::kExec, Command::kTest, Command::kRead}) {
    ASSERT_TRUE(parse_line(forms[f], &c, &why)) << forms[f];
    EXPECT_EQ(c.form, f) << forms[f];
  }
  for (const char *bad : {"", "HELLO", "ATI", "AT+", "AT+YWSOPEN:1", R"(AT+X="abc)", R"(AT+X="\q")",
                          R"(AT+X="\x4")", R"(AT+X="ab"cd)", R"(AT+X=ab"cd)", R"(AT+X="a\)"}) {
    why.clear();
    EXPECT_FALSE(parse_line(bad, &c, &why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
  EXPECT_TRUE(is_comment("  # note"));
  EXPECT_TRUE(is_comment(" \r"));

  int64_t v = 0;
  EXPECT_TRUE(parse_int({false, "-3"}, -5, 5, &v) && v == -3) << v;
  EXPECT_FALSE(parse_int({false, "6"}, -5, 5, &v));
  EXPECT_FALSE(parse_int({true, "1"}, 0, 9, &v));  // quoted is a string
  for (const char *bad : {"", "-", "1x", "0x1", "99999999999999"})
    EXPECT_FALSE(parse_int({false, bad}, INT32_MIN, INT32_MAX, &v)) << bad;
  std::string out;
  EXPECT_TRUE(hex_decode("00fF7e", &out) && out == std::string("\x00\xff\x7e", 3)) << out;
  EXPECT_FALSE(hex_decode("abc", &out));
  EXPECT_FALSE(hex_decode("0g", &out));

  std::string all;
  for (int i = 0; i < 256; i++) all.push_back(static_cast<char>(i));
  for (const std::string &s :
       {all, std::string(), std::string("plain text"), std::string("\"\\")}) {
    std::string q = quote(s);
    for (char ch : q) EXPECT_TRUE(ch >= 0x20 && ch < 0x7f);
    std::vector<Param> p;
    ASSERT_TRUE(parse_params(q, &p, &why)) << why;
    ASSERT_EQ(p.size(), 1u);
    EXPECT_TRUE(p[0].quoted && p[0].text == s) << q;
  }
  EXPECT_EQ(one_line("a\nb\x7f"), "a\\x0ab\\x7f");
}

// Each command's reply lines, and one error line for bad input after which the session goes on.
// The service is never started: the open is refused in a dry run.
TEST(ConsoleEngine, EachCommandAnswersInItsDocumentedFormat) {
  Console::Options o;
  o.dry = true;
  Session s(o);
  s.answers({R"(AT+YWSCFG="conn/url",1,"ws://h:1/x" => OK)",
             R"(AT+YWSCFG="CONN/URL",1 => +YWSCFG: "CONN/URL",1,"ws://h:1/x" | OK)",
             R"(AT+YWSCFG="ping/interval",1,7 => OK)",
             R"(AT+YWSCFG="ping/interval",1 => +YWSCFG: "ping/interval",1,7 | OK)",
             R"(AT+YWSCFG="ping/interval",1,256 => ERROR: 3)"});  // out of the service's range
  // A quoted number, a bare string, an unknown key.
  s.refuses("ERROR: 3", {R"(AT+YWSCFG="ping/interval",1,"5")", R"(AT+YWSCFG="conn/url",1,ws)",
                         R"(AT+YWSCFG="conn/url",9)", R"(AT+YWSCFG="conn/url",1,"a\x00b")",
                         R"(AT+YWSCFG=conn/url,1)", "AT+YWSCFG"});
  s.refuses("ERROR: 1", {R"(AT+YWSCFG="no/such",1,1)"});
  s.answers(
      {R"(AT+YWSCFG="reqheader/remove",1 => OK)", R"(AT+YWSCFG="reqheader/add",1,"X-A","1" => OK)",
       R"(AT+YWSCFG="reqheader/add",1,"X-B","two words" => OK)",
       R"(AT+YWSCFG="reqheader/add",1 => +YWSCFG: "reqheader/add",1,2,"X-A":"1","X-B":"two words" | OK)",
       R"(AT+YWSCFG="reqheader/add",1,"X-B" => +YWSCFG: "reqheader/add",1,"X-B":"two words" | OK)",
       R"(AT+YWSCFG="reqheader/remove",1,"X-A" => OK)",
       R"(AT+YWSCFG="reqheader/add",1 => +YWSCFG: "reqheader/add",1,1,"X-B":"two words" | OK)"});
  s.refuses("ERROR: 3", {R"(AT+YWSCFG="reqheader/add",1,"X","v","w")"});
  // Input the service refuses answers its code, never OK.
  s.answers({R"(AT+YWSCFG="reqheader/add",1,"X-C","a\r\nX-Evil: 1" => ERROR: 3)",
             R"(AT+YWSCFG="reqheader/remove",1 => OK)", R"(AT+YWSTLS=4,0,"","","" => OK)",
             R"(AT+YWSTLS=4 => +YWSTLS: 4,0,"","","" | OK)",
             R"(AT+YWSTLS=4,2,"/p/ca.pem","/p/c.pem","/p/k.pem" => OK)",
             R"(AT+YWSTLS=4 => +YWSTLS: 4,2,"/p/ca.pem","/p/c.pem","/p/k.pem" | OK)",
             "AT+YWSTLS=4,1 => OK"});
  s.refuses("ERROR: 3", {"AT+YWSTLS=5", "AT+YWSTLS=4,3", "AT+YWSTLS=4,-1", R"(AT+YWSTLS=4,1,"a")",
                         R"(AT+YWSTLS=4,1,a,"","")", "AT+YWSTLS"});
  s.answers({R"(AT+YWSTLS=4 => +YWSTLS: 4,1,"/p/ca.pem","/p/c.pem","/p/k.pem" | OK)", "AT => OK",
             "AT+YWSSTATE=2 => +YWSSTATE: 2,0,0,0,0 | OK",
             R"(AT+YWSCAUSE=2 => +YWSCAUSE: 2,0,0,"" | OK)",
             "AT+YWSOPEN=? => +YWSOPEN: <client>,<profile> | OK"});
  yavo_ssl_cfg_clear(4);
  s.refuses("ERROR: ",
            {"hello", "AT+NOPE", "AT+YWSOPEN", "AT+YWSOPEN=0", "AT+YWSOPEN=x,0", "AT+YWSOPEN?",
             R"(AT+YWSSEND=0,0,"x)", "AT+YWSSEND=0,0,x", R"(AT+YWSSEND=0,2,"x")",
             R"(AT+YWSSEND=0,1,"abc")", R"(AT+YWSSEND=0,1,"zz")",
             // AT+YWSOPEN=0,0 is refused by the dry run.
             "AT+YWSREAD=0,0", "AT+YWSREAD=0,70000", "AT+YWSSTATE=3", "AT+YWSSTATE=-1",
             "AT+YWSCLOSE=0,1", "AT+YWSHELP=1", "AT+YWSCAUSE=3", "AT+YWSCAUSE", "AT+YWSCAUSE=0,1",
             "AT+YWSSTAT=2", "AT+YWSSTAT", "AT+YWSWIRE=2", "AT+YWSOPEN=0,0", "\x01\x02\xff"});

  // Help names every command and every key, and only keys the service knows.
  Lines r = s.reply("AT+YWSHELP");
  ASSERT_FALSE(r.empty());
  EXPECT_EQ(r.back(), "OK");
  std::string all = testing::PrintToString(r);
  for (const char *cmd : {"YWSCFG=", "YWSOPEN=", "YWSSEND=", "YWSREAD=", "YWSREADMSG=", "YWSCLOSE=",
                          "YWSSTATE=", "YWSTLS=", "YWSCAUSE=", "YWSSTAT=", "YWSWIRE="})
    EXPECT_NE(all.find(std::string("AT+") + cmd), std::string::npos) << cmd;
  std::set<int> ids;  // one key per option, for every id from conn/pdpcid on that has a key
  for (const std::string &key : option_keys()) {
    int type = -1;
    EXPECT_EQ(yws_cfg_type_parse(key.c_str(), &type), YWS_OK) << key;
    EXPECT_NE(all.find(key), std::string::npos) << key;
    ids.insert(type);
  }
  size_t keyed = 0;
  for (int id = YWS_CFG_CONN_PDPCID; id < YWS_CFG_WRITE_MAX; id++) keyed += yws_cfg_key(id) != 0;
  EXPECT_EQ(ids.size(), keyed);
  EXPECT_EQ(option_keys().size(), keyed);
  EXPECT_NE(all.find("conn/deflate"), std::string::npos);
}

// A peer that stops reading never echoes: the send's wait ends in the timeout line and the next
// command still runs.
TEST(ConsoleEngine, WaitEndsInATimeoutLine) {
  WsServer server;
  Console::Options o;
  o.timeout = milliseconds(300);
  Session s(o);
  s.answers({"AT+YWSCFG=\"conn/url\",2,\"" + server.url("/stall-read") + "\" => OK",
             R"(AT+YWSCFG="close/waittime",2,1 => OK)", "AT+YWSOPEN=1,2 => OK | +YWSOPEN: 1,0",
             R"(AT+YWSSEND=1,0,"unanswered" => OK | +YWSTIMEOUT: 1)"});
  // Connected, 10 bytes accepted; they went to the socket as one message, nothing came back, no
  // ping yet. Where the IP stack cannot count, the wire says -1 both ways.
  const std::string wire =
      ywst::stack_counts_bytes() ? "+YWSWIRE: 1,10," : "+YWSWIRE: 1,10,-1,0,-1";
  for (const auto &q : {std::make_pair("AT+YWSSTATE=1", "+YWSSTATE: 1,2,0,10,"),
                        std::make_pair("AT+YWSSTAT=1", "+YWSSTAT: 1,10,0,1,0,-1,"),
                        std::make_pair("AT+YWSWIRE=1", wire.c_str())}) {
    Lines r = s.reply(q.first);
    ASSERT_EQ(r.size(), 2u) << q.first;
    EXPECT_TRUE(starts(r[0], q.second)) << r[0];
  }
  server.resume_reading();
  s.c.close_all();
  EXPECT_TRUE(ywst::settled());
}

// Standard error joined in: library log lines with --trace only, nothing else ever.
TEST(ConsoleProgram, BuiltInSessionPrintsTheWholeTranscript) {
  Outcome r = run_program({YWS_AT_PATH}, true);
  EXPECT_EQ(r.status, 0);
  Lines sent;
  check_echo_transcript(r.lines, false, &sent);
  EXPECT_FALSE(sent[0].empty());
  EXPECT_EQ(std::count(r.lines.begin(), r.lines.end(), "+YWSOPEN: 0,0"), 1);
  EXPECT_EQ(std::count(r.lines.begin(), r.lines.end(), "+YWSCLOSE: 0,0"), 1);
  EXPECT_TRUE(has(r.lines, "+YWSSTATE: 0,2,0," + std::to_string(sent[0].size()) + ",0"));
  EXPECT_EQ(log_and_stray(r.lines), std::make_pair(size_t{0}, size_t{0}));
  // The loopback server's library context announces itself when it is created.
  r = run_program({YWS_AT_PATH, "--trace"}, true);
  EXPECT_EQ(r.status, 0);
  EXPECT_GT(log_and_stray(r.lines).first, 0u);
  EXPECT_EQ(log_and_stray(r.lines).second, 0u);
}

// Scripts against one echo server. Buffered: each send announces its echo, each read returns it.
// Message mode: each AT+YWSSEND one message; buffered reads stop at its end with its flags,
// direct mode prints each message with its kind and flags; binary is hex both ways.
TEST(ConsoleProgram, BufferedScriptWithThreeClientsThenMessageModeSessions) {
  WsServer server;
  ywstest::TempDir dir;
  std::string path = dir.file("session.at");
  std::ofstream(path) << "# two profiles, three clients\n"
                         "AT+YWSCFG=\"conn/url\",0,\"$URL\"\nAT+YWSCFG=\"conn/url\",1,\"$URL\"\n"
                         "AT+YWSOPEN=0,0\nAT+YWSOPEN=1,0\nAT+YWSOPEN=2,1\n"
                         "AT+YWSSEND=0,0,\"to zero\"\nAT+YWSSEND=1,0,\"to \\\"one\\\"\"\n"
                         "AT+YWSSEND=2,1,\"02ff00\"\nAT+YWSSTATE=1\n"
                         "AT+YWSREAD=0,100\nAT+YWSREAD=1,100\nAT+YWSREAD=2,100\n"
                         "AT+YWSCLOSE=0\nAT+YWSCLOSE=1\nAT+YWSCLOSE=2\n";
  Outcome r =
      run_program({YWS_AT_PATH, "--buffered", "--url", server.url("/echo"), "--script", path});
  EXPECT_EQ(r.status, 0);
  Lines sent;
  check_echo_transcript(r.lines, true, &sent);
  EXPECT_EQ(sent, Lines({"to zero", "to \"one\"", std::string("\x02\xff\0", 3)}));
  EXPECT_EQ(std::count_if(r.lines.begin(), r.lines.end(),
                          [](const std::string &l) { return starts(l, "AT"); }),
            15);
  for (size_t i = 0; i < 3; i++) {
    std::string read = "+YWSREAD: " + std::to_string(i) + "," + std::to_string(sent[i].size());
    EXPECT_TRUE(has(r.lines, read + "," + quote(sent[i]))) << read;
  }
  EXPECT_TRUE(has(r.lines, "+YWSSTATE: 1,2,0," + std::to_string(sent[1].size()) + ",0"));
  EXPECT_EQ(server.total_connections(), 3);
  ASSERT_EQ(server.message_count(), 3u);
  for (const WsServer::Message &m : server.messages()) EXPECT_EQ(m.binary, m.data == sent[2]);

  std::ofstream(path) << "AT+YWSCFG=\"conn/url\",0,\"$URL\"\nAT+YWSCFG=\"read/message\",0,128\n"
                         "AT+YWSCFG=\"write/message\",0,1\nAT+YWSCFG=\"read/message\",0\n"
                         "AT+YWSOPEN=0,0\nAT+YWSSEND=0,1,\"02ff00\"\n"
                         "AT+YWSREADMSG=0,2\nAT+YWSREADMSG=0,100\nAT+YWSREADMSG=0,100\n"
                         "AT+YWSSEND=0,0,\"hi\"\nAT+YWSREADMSG=0,100\nAT+YWSCLOSE=0\n";
  r = run_program({YWS_AT_PATH, "--buffered", "--url", server.url("/echo"), "--script", path});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has(r.lines, "+YWSCFG: \"read/message\",0,128"));
  EXPECT_TRUE(has(r.lines, "+YWSREADMSG: 0,2,3,\"02FF\""));
  EXPECT_TRUE(has(r.lines, "+YWSREADMSG: 0,1,5,\"00\""));
  EXPECT_TRUE(has(r.lines, "+YWSREADMSG: 0,0,0,\"\""));  // nothing waiting
  EXPECT_TRUE(has(r.lines, "+YWSREADMSG: 0,2,6,\"hi\""));
  ASSERT_EQ(server.message_count(), 5u);
  EXPECT_TRUE(server.messages()[3].binary);

  std::ofstream(path) << "AT+YWSCFG=\"conn/url\",0,\"$URL\"\nAT+YWSCFG=\"read/message\",0,128\n"
                         "AT+YWSCFG=\"write/message\",0,1\nAT+YWSOPEN=0,0\n"
                         "AT+YWSSEND=0,0,\"hello\"\nAT+YWSCLOSE=0\n";
  r = run_program({YWS_AT_PATH, "--url", server.url("/echo"), "--script", path});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has(r.lines, "+YWSMSG: 0,5,6,\"hello\""));
}

TEST(EchoExample, PrintsTheEchoAndFailsOnARefusal) {
  WsServer server;
  Outcome r = run_program({YWS_ECHO_EXAMPLE_PATH, server.url("/echo"), "ping from C"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has(r.lines, "reply: ping from C"));
  EXPECT_TRUE(has(r.lines, "closed: 0"));
  ASSERT_TRUE(server.wait_messages(1, ywst::kWait));
  EXPECT_EQ(server.messages()[0].data, "ping from C");
  EXPECT_EQ(run_program({YWS_ECHO_EXAMPLE_PATH, server.url("/refuse")}).status, 1);
}

// A bearer-step failure is reported twice by design: the open's result, then OPEN with
// YWS_ERR_NET_FAIL on the caller's task. Its error line comes first, the notification after it.
TEST(ConsoleEngine, RefusedOpenIsReportedOnce) {
  Session s;
  s.reply(R"(AT+YWSCFG="conn/url",0,"ws://127.0.0.1:9/x")");
  yv_dc_ctl_reset();  // the data call idle, so the open has to activate it
  yv_dc_ctl_set_act_mode(YV_DC_ACT_REFUSE);
  Lines r = s.reply("AT+YWSOPEN=0,0");
  yv_dc_ctl_reset();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_TRUE(starts(r[0], "ERROR: ")) << r[0];
  EXPECT_EQ(r[1], "+YWSOPEN: 0,8");
  EXPECT_TRUE(ywst::settled());
}

// Typed at a terminal, opens do not wait for each other. Every open the service accepted must
// still end in its own +YWSOPEN, and every client must be closable afterwards.
TEST(ConsoleEngine, OpensTypedWithoutWaitingEachGetTheirOutcome) {
  WsServer server;
  Console::Options o;
  o.wait = false;
  o.timeout = milliseconds(1000);
  Session s(o);
  yv_dc_ctl_reset();  // every open finds the data call still being activated
  s.answers({"AT+YWSCFG=\"conn/url\",0,\"" + server.url("/echo") + "\" => OK"});
  for (int i = 0; i < YWS_CLIENT_NUM; i++)
    ASSERT_EQ(s.reply("AT+YWSOPEN=" + std::to_string(i) + ",0")[0], "OK");
  for (int i = 0; i < YWS_CLIENT_NUM; i++)
    EXPECT_TRUE(ywst::eventually([&] {
      return has(s.printed(), "+YWSOPEN: " + std::to_string(i) + ",0");
    })) << i;
  s.c.close_all();
  for (int i = 0; i < YWS_CLIENT_NUM; i++)
    EXPECT_EQ(yv_ws_get_client_conn_state(static_cast<uint8_t>(i)), YWS_CONN_STA_IDLE) << i;
}
