// The AT console: its parser and formatter on their own, the engine against
// the service, and the yws-at and C example programs run as child processes
// against loopback servers.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "at_console.h"
#include "ws_test_server.h"
#include "yv_datacall_ctl.h"
#include "yv_ssl_store_ctl.h"
#include "yws_test_util.h"

using namespace yws_at;
using std::chrono::milliseconds;
using std::chrono::steady_clock;
using ywstest::WsServer;

namespace {

struct Outcome {
  int status = -1;
  bool timed_out = false;
  double seconds = 0;
  std::vector<std::string> lines;
};

/* Runs a program with a deadline and collects its standard output by line
 * (and its standard error with them when asked). */
Outcome run_program(const std::vector<std::string> &args, milliseconds limit = milliseconds(30000),
                    bool with_stderr = false) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  auto start = steady_clock::now();
  ywst::ChildRun c = ywst::run_forked(
      [&](int fd) {
        dup2(fd, STDOUT_FILENO);
        if (with_stderr) dup2(fd, STDERR_FILENO);
        close(fd);
        execv(argv[0], argv.data());
        _exit(127);
      },
      limit);
  Outcome r;
  r.timed_out = !c.exited;
  r.status = c.exited && WIFEXITED(c.status) ? WEXITSTATUS(c.status) : -1;
  r.seconds = std::chrono::duration<double>(steady_clock::now() - start).count();
  size_t from = 0;
  for (size_t nl = c.out.find('\n'); nl != std::string::npos; nl = c.out.find('\n', from)) {
    r.lines.push_back(c.out.substr(from, nl - from));
    from = nl + 1;
  }
  return r;
}

bool starts(const std::string &s, const std::string &prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

bool is_echo(const std::string &line) {
  return starts(line, "AT");
}

bool has(const std::vector<std::string> &lines, const std::string &line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

/* Lines of the library's log, and lines that are neither the session's, the
 * trace's nor the library's. */
std::pair<size_t, size_t> log_and_stray(const std::vector<std::string> &lines) {
  size_t library = 0, other = 0;
  for (const std::string &l : lines) {
    if (starts(l, "lws: "))
      library++;
    else if (!starts(l, "trace: ") && !starts(l, "#") && !starts(l, "AT") && !starts(l, "+") &&
             l != "OK")
      other++;
  }
  return {library, other};
}

/* The lines a command produced: after its echo, up to the next echo. */
std::vector<std::string> block(const std::vector<std::string> &lines, size_t echo_index) {
  std::vector<std::string> b;
  for (size_t i = echo_index + 1; i < lines.size() && !is_echo(lines[i]); i++)
    b.push_back(lines[i]);
  return b;
}

/* Parameters of a "+NAME: a,b,..." line. */
std::vector<Param> params_of(const std::string &line) {
  std::vector<Param> p;
  std::string why;
  size_t colon = line.find(": ");
  if (colon != std::string::npos) {
    EXPECT_TRUE(parse_params(line.substr(colon + 2), &p, &why));
  }
  return p;
}

/* The bytes an echoed AT+YWSSEND line sends. */
std::string sent_bytes(const std::string &echo) {
  Command c;
  std::string why, data;
  EXPECT_TRUE(parse_line(echo, &c, &why)) << why;
  if (c.params.size() != 3) return data;
  if (c.params[1].text == "1")
    EXPECT_TRUE(hex_decode(c.params[2].text, &data));
  else
    data = c.params[2].text;
  return data;
}

using Lines = std::vector<std::string>;

/*
 * Checks a transcript of a script run against an echo server. A command's
 * own lines come first, its final OK next, and then, before the next command,
 * the outcome it waited for: +YWSOPEN / +YWSCLOSE with 0, the byte-exact echo
 * (direct) or the data announcement (buffered). Collects the bytes sent per
 * client.
 */
void check_echo_transcript(const Lines &lines, bool buffered, Lines *sent) {
  sent->assign(YWS_CLIENT_NUM, std::string());
  for (size_t i = 0; i < lines.size(); i++) {
    EXPECT_FALSE(starts(lines[i], "ERROR") || starts(lines[i], "+YWSTIMEOUT")) << lines[i];
    if (!is_echo(lines[i])) continue;
    Lines b = block(lines, i);
    Command c;
    std::string why;
    ASSERT_TRUE(parse_line(lines[i], &c, &why)) << why;
    std::string client = c.params.empty() ? "" : c.params[0].text;
    if (c.name == "YWSOPEN") {
      EXPECT_EQ(b, Lines({"OK", "+YWSOPEN: " + client + ",0"})) << lines[i];
    } else if (c.name == "YWSCLOSE") {
      EXPECT_EQ(b, Lines({"OK", "+YWSCLOSE: " + client + ",0"})) << lines[i];
    } else if (c.name == "YWSSEND") {
      std::string data = sent_bytes(lines[i]);
      (*sent)[static_cast<size_t>(std::stoi(client))] += data;
      if (buffered) {
        EXPECT_EQ(b, Lines({"OK", "+YWSRECV: " + client})) << lines[i];
        continue;
      }
      ASSERT_EQ(b.size(), 2u) << lines[i];
      EXPECT_EQ(b[0], "OK");
      std::vector<Param> p = params_of(b[1]);
      ASSERT_TRUE(starts(b[1], "+YWSRECV: ") && p.size() == 3) << b[1];
      EXPECT_EQ(p[0].text, client);
      EXPECT_EQ(p[1].text, std::to_string(data.size()));
      EXPECT_EQ(p[2].text, data);
    } else {
      ASSERT_FALSE(b.empty()) << lines[i];
      EXPECT_EQ(b.back(), "OK") << lines[i];
      for (size_t k = 0; k + 1 < b.size(); k++)
        EXPECT_TRUE(starts(b[k], "+" + c.name + ": ")) << b[k];
    }
  }
}

/* Collects what an in-process engine prints. */
class Transcript {
 public:
  Console::Sink sink() {
    return [this](const std::string &l) {
      {
        std::lock_guard<std::mutex> lk(m_);
        lines_.push_back(l);
      }
      cv_.notify_all();
    };
  }
  /* Waits until every one of `want` was printed. */
  bool wait_lines(const Lines &want, milliseconds limit) {
    std::unique_lock<std::mutex> lk(m_);
    return cv_.wait_for(lk, limit, [&] {
      for (const std::string &w : want)
        if (std::find(lines_.begin(), lines_.end(), w) == lines_.end()) return false;
      return true;
    });
  }
  std::string text() {
    std::lock_guard<std::mutex> lk(m_);
    std::string all;
    for (const std::string &l : lines_) all += l + "\n";
    return all;
  }
  /* Runs one line and returns what it printed after its echo. */
  std::vector<std::string> reply(Console &c, const std::string &line, bool *ok = nullptr) {
    size_t before = size();
    bool r = c.run(line);
    if (ok) *ok = r;
    std::lock_guard<std::mutex> lk(m_);
    EXPECT_LT(before, lines_.size());
    return std::vector<std::string>(lines_.begin() + static_cast<long>(before) + 1, lines_.end());
  }
  size_t size() {
    std::lock_guard<std::mutex> lk(m_);
    return lines_.size();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
};

}  // namespace

TEST(ConsoleParser, QuotedStringsEscapesAndForms) {
  Command c;
  std::string why;
  ASSERT_TRUE(parse_line(R"( at+ywssend= 1 , 0 ,  "a\"b\\c\x00\xFFd\n\t" )", &c, &why)) << why;
  EXPECT_EQ(c.form, Command::kSet);
  EXPECT_EQ(c.name, "YWSSEND");
  ASSERT_EQ(c.params.size(), 3u);
  EXPECT_FALSE(c.params[0].quoted);
  EXPECT_EQ(c.params[0].text, "1");
  EXPECT_TRUE(c.params[2].quoted);
  EXPECT_EQ(c.params[2].text, std::string("a\"b\\c\0\xff"
                                          "d\n\t",
                                          10));

  ASSERT_TRUE(parse_line(R"(AT+YWSCFG="a,b",0,)", &c, &why));
  ASSERT_EQ(c.params.size(), 3u);
  EXPECT_EQ(c.params[0].text, "a,b");
  EXPECT_TRUE(c.params[2].text.empty());

  ASSERT_TRUE(parse_line("AT", &c, &why));
  EXPECT_EQ(c.form, Command::kBasic);
  ASSERT_TRUE(parse_line("AT+YWSHELP\r", &c, &why));
  EXPECT_EQ(c.form, Command::kExec);
  ASSERT_TRUE(parse_line("AT+YWSOPEN=?", &c, &why));
  EXPECT_EQ(c.form, Command::kTest);
  ASSERT_TRUE(parse_line("AT+YWSOPEN?", &c, &why));
  EXPECT_EQ(c.form, Command::kRead);

  for (const char *bad : {"", "HELLO", "ATI", "AT+", "AT+YWSOPEN:1", R"(AT+X="abc)", R"(AT+X="\q")",
                          R"(AT+X="\x4")", R"(AT+X="ab"cd)", R"(AT+X=ab"cd)", R"(AT+X="a\)"}) {
    why.clear();
    EXPECT_FALSE(parse_line(bad, &c, &why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
  EXPECT_TRUE(is_comment("  # note"));
  EXPECT_TRUE(is_comment(" \r"));
}

TEST(ConsoleParser, NumbersAndHex) {
  int64_t v = 0;
  EXPECT_TRUE(parse_int({false, "-3"}, -5, 5, &v));
  EXPECT_EQ(v, -3);
  EXPECT_FALSE(parse_int({false, "6"}, -5, 5, &v));
  EXPECT_FALSE(parse_int({true, "1"}, 0, 9, &v));  // quoted is a string
  for (const char *bad : {"", "-", "1x", "0x1", "99999999999999"})
    EXPECT_FALSE(parse_int({false, bad}, INT32_MIN, INT32_MAX, &v)) << bad;

  std::string out;
  ASSERT_TRUE(hex_decode("00fF7e", &out));
  EXPECT_EQ(out, std::string("\x00\xff\x7e", 3));
  EXPECT_FALSE(hex_decode("abc", &out));
  EXPECT_FALSE(hex_decode("0g", &out));
}

TEST(ConsoleFormatter, QuotedDataReadsBackUnchanged) {
  std::string all;
  for (int i = 0; i < 256; i++) all.push_back(static_cast<char>(i));
  for (const std::string &s :
       {all, std::string(), std::string("plain text"), std::string("\"\\")}) {
    std::string q = quote(s);
    for (char ch : q) EXPECT_TRUE(ch >= 0x20 && ch < 0x7f);
    std::vector<Param> p;
    std::string why;
    ASSERT_TRUE(parse_params(q, &p, &why)) << why;
    ASSERT_EQ(p.size(), 1u);
    EXPECT_TRUE(p[0].quoted);
    EXPECT_EQ(p[0].text, s);
  }
  EXPECT_EQ(one_line("a\nb\x7f"), "a\\x0ab\\x7f");
}

TEST(ConsoleEngine, ConfigurationSetsReportsAndRefuses) {
  Transcript t;
  Console c({}, t.sink());
  EXPECT_EQ(t.reply(c, R"(AT+YWSCFG="conn/url",1,"ws://h:1/x")"), Lines({"OK"}));
  EXPECT_EQ(t.reply(c, R"(AT+YWSCFG="CONN/URL",1)"),
            Lines({R"(+YWSCFG: "CONN/URL",1,"ws://h:1/x")", "OK"}));
  EXPECT_EQ(t.reply(c, R"(AT+YWSCFG="ping/interval",1,7)"), Lines({"OK"}));
  EXPECT_EQ(t.reply(c, R"(AT+YWSCFG="ping/interval",1)"),
            Lines({R"(+YWSCFG: "ping/interval",1,7)", "OK"}));
  // Out of the service's range, a quoted number, a bare string, an unknown key.
  EXPECT_EQ(t.reply(c, R"(AT+YWSCFG="ping/interval",1,256)"), Lines({"ERROR: 3"}));
  for (const char *bad : {R"(AT+YWSCFG="ping/interval",1,"5")", R"(AT+YWSCFG="conn/url",1,ws)",
                          R"(AT+YWSCFG="conn/url",9)", R"(AT+YWSCFG="conn/url",1,"a\x00b")",
                          R"(AT+YWSCFG=conn/url,1)", "AT+YWSCFG"}) {
    Lines r = t.reply(c, bad);
    ASSERT_EQ(r.size(), 1u) << bad;
    EXPECT_TRUE(starts(r[0], "ERROR: 3")) << bad << " -> " << r[0];
  }
  EXPECT_TRUE(starts(t.reply(c, R"(AT+YWSCFG="no/such",1,1)")[0], "ERROR: 1"));

  t.reply(c, R"(AT+YWSCFG="reqheader/remove",1)");
  EXPECT_EQ(t.reply(c, R"(AT+YWSCFG="reqheader/add",1,"X-A","1")"), Lines({"OK"}));
  EXPECT_EQ(t.reply(c, R"(AT+YWSCFG="reqheader/add",1,"X-B","two words")"), Lines({"OK"}));
  EXPECT_EQ(t.reply(c, R"(AT+YWSCFG="reqheader/add",1)"),
            Lines({R"(+YWSCFG: "reqheader/add",1,2,"X-A":"1","X-B":"two words")", "OK"}));
  EXPECT_EQ(t.reply(c, R"(AT+YWSCFG="reqheader/add",1,"X-B")"),
            Lines({R"(+YWSCFG: "reqheader/add",1,"X-B":"two words")", "OK"}));
  EXPECT_EQ(t.reply(c, R"(AT+YWSCFG="reqheader/remove",1,"X-A")"), Lines({"OK"}));
  EXPECT_EQ(t.reply(c, R"(AT+YWSCFG="reqheader/add",1)"),
            Lines({R"(+YWSCFG: "reqheader/add",1,1,"X-B":"two words")", "OK"}));
  EXPECT_TRUE(starts(t.reply(c, R"(AT+YWSCFG="reqheader/add",1,"X","v","w")")[0], "ERROR: 3"));
  // Input the service refuses answers its code, never OK.
  EXPECT_EQ(t.reply(c, R"(AT+YWSCFG="reqheader/add",1,"X-C","a\r\nX-Evil: 1")"),
            Lines({"ERROR: 3"}));
  EXPECT_EQ(t.reply(c, R"(AT+YWSCFG="reqheader/remove",1)"), Lines({"OK"}));
}

TEST(ConsoleEngine, TlsContextIsSetAndReadBack) {
  Transcript t;
  Console c({}, t.sink());
  EXPECT_EQ(t.reply(c, R"(AT+YWSTLS=4,0,"","","")"), Lines({"OK"}));
  EXPECT_EQ(t.reply(c, "AT+YWSTLS=4"), Lines({R"(+YWSTLS: 4,0,"","","")", "OK"}));
  EXPECT_EQ(t.reply(c, R"(AT+YWSTLS=4,2,"/p/ca.pem","/p/c.pem","/p/k.pem")"), Lines({"OK"}));
  EXPECT_EQ(t.reply(c, "AT+YWSTLS=4"),
            Lines({R"(+YWSTLS: 4,2,"/p/ca.pem","/p/c.pem","/p/k.pem")", "OK"}));
  EXPECT_EQ(t.reply(c, "AT+YWSTLS=4,1"), Lines({"OK"}));
  EXPECT_EQ(t.reply(c, "AT+YWSTLS=4"),
            Lines({R"(+YWSTLS: 4,1,"/p/ca.pem","/p/c.pem","/p/k.pem")", "OK"}));
  for (const char *bad : {"AT+YWSTLS=5", "AT+YWSTLS=4,3", "AT+YWSTLS=4,-1", R"(AT+YWSTLS=4,1,"a")",
                          R"(AT+YWSTLS=4,1,a,"","")", "AT+YWSTLS"}) {
    Lines r = t.reply(c, bad);
    ASSERT_EQ(r.size(), 1u) << bad;
    EXPECT_TRUE(starts(r[0], "ERROR: 3")) << bad << " -> " << r[0];
  }
  EXPECT_EQ(t.reply(c, "AT+YWSTLS=4"),
            Lines({R"(+YWSTLS: 4,1,"/p/ca.pem","/p/c.pem","/p/k.pem")", "OK"}));
  yavo_ssl_cfg_clear(4);
}

TEST(ConsoleEngine, BadInputGetsOneErrorLineAndTheSessionGoesOn) {
  Transcript t;
  Console::Options o;
  o.dry = true;
  Console c(o, t.sink());
  for (const char *bad :
       {"hello", "AT+NOPE", "AT+YWSOPEN", "AT+YWSOPEN=0", "AT+YWSOPEN=x,0", "AT+YWSOPEN?",
        R"(AT+YWSSEND=0,0,"x)", "AT+YWSSEND=0,0,x", R"(AT+YWSSEND=0,2,"x")",
        R"(AT+YWSSEND=0,1,"abc")", R"(AT+YWSSEND=0,1,"zz")", "AT+YWSREAD=0,0", "AT+YWSREAD=0,70000",
        "AT+YWSSTATE=3", "AT+YWSSTATE=-1", "AT+YWSCLOSE=0,1", "AT+YWSHELP=1",
        "AT+YWSOPEN=0,0" /* dry run */, "\x01\x02\xff"}) {
    bool ok = true;
    Lines r = t.reply(c, bad, &ok);
    EXPECT_FALSE(ok) << bad;
    ASSERT_EQ(r.size(), 1u) << bad;
    EXPECT_TRUE(starts(r[0], "ERROR: ")) << bad << " -> " << r[0];
  }
  EXPECT_EQ(t.reply(c, "AT"), Lines({"OK"}));
  EXPECT_EQ(t.reply(c, "AT+YWSSTATE=2"), Lines({"+YWSSTATE: 2,0,0,0,0", "OK"}));
  for (const char *bad : {"AT+YWSCAUSE=3", "AT+YWSCAUSE", "AT+YWSCAUSE=0,1"})
    EXPECT_TRUE(starts(t.reply(c, bad)[0], "ERROR: ")) << bad;
  EXPECT_EQ(t.reply(c, "AT+YWSCAUSE=2"), Lines({R"(+YWSCAUSE: 2,0,0,"")", "OK"}));
  EXPECT_EQ(t.reply(c, "AT+YWSOPEN=?"), Lines({"+YWSOPEN: <client>,<profile>", "OK"}));
}

TEST(ConsoleEngine, HelpNamesEveryCommandAndOnlyKeysTheServiceKnows) {
  Transcript t;
  Console c({}, t.sink());
  Lines r = t.reply(c, "AT+YWSHELP");
  ASSERT_FALSE(r.empty());
  EXPECT_EQ(r.back(), "OK");
  std::string all;
  for (const std::string &l : r) all += l + "\n";
  for (const char *cmd : {"YWSCFG=", "YWSOPEN=", "YWSSEND=", "YWSREAD=", "YWSCLOSE=", "YWSSTATE=",
                          "YWSTLS=", "YWSCAUSE="})
    EXPECT_NE(all.find(std::string("AT+") + cmd), std::string::npos) << cmd;
  std::vector<int> ids;
  for (const std::string &key : option_keys()) {
    EXPECT_NE(all.find(key), std::string::npos) << key;
    int type = -1;
    EXPECT_EQ(yws_cfg_type_parse(key.c_str(), &type), YWS_OK) << key;
    ids.push_back(type);
  }
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end());
  /* Every id from conn/pdpcid on except the callback, which has no key. */
  EXPECT_EQ(ids.size(), static_cast<size_t>(YWS_CFG_WRITE_MAX - YWS_CFG_CONN_PDPCID - 1));
}

// A peer that stops reading never echoes: the send's wait ends in the
// timeout line and the next command still runs.
TEST(ConsoleEngine, WaitEndsInATimeoutLine) {
  WsServer server;
  Transcript t;
  Console::Options o;
  o.timeout = milliseconds(300);
  Console c(o, t.sink());
  ASSERT_EQ(t.reply(c, "AT+YWSCFG=\"conn/url\",2,\"" + server.url("/stall-read") + "\""),
            Lines({"OK"}));
  t.reply(c, R"(AT+YWSCFG="close/waittime",2,1)");
  EXPECT_EQ(t.reply(c, "AT+YWSOPEN=1,2"), Lines({"OK", "+YWSOPEN: 1,0"}));
  bool ok = true;
  EXPECT_EQ(t.reply(c, R"(AT+YWSSEND=1,0,"unanswered")", &ok), Lines({"OK", "+YWSTIMEOUT: 1"}));
  EXPECT_FALSE(ok);
  Lines state = t.reply(c, "AT+YWSSTATE=1");  // connected, 10 bytes accepted
  ASSERT_EQ(state.size(), 2u);
  EXPECT_TRUE(starts(state[0], "+YWSSTATE: 1,2,0,10,")) << state[0];
  server.resume_reading();
  c.close_all();
  EXPECT_TRUE(ywst::settled());
}

TEST(ConsoleProgram, BuiltInSessionPrintsTheWholeTranscript) {
  Outcome r = run_program({YWS_AT_PATH}, milliseconds(30000), true);
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0);
  EXPECT_LT(r.seconds, 10.0);
  Lines sent;
  check_echo_transcript(r.lines, false, &sent);
  EXPECT_FALSE(sent[0].empty());
  std::string url;
  size_t opens = 0, closes = 0, reports = 0;
  for (size_t i = 0; i < r.lines.size(); i++) {
    const std::string &l = r.lines[i];
    opens += l == "+YWSOPEN: 0,0";
    closes += l == "+YWSCLOSE: 0,0";
    Command c;
    std::string why;
    if (!is_echo(l) || !parse_line(l, &c, &why) || c.name != "YWSCFG") continue;
    if (c.params.size() == 3 && c.params[0].text == "conn/url") url = c.params[2].text;
    if (c.params.size() != 2) continue;
    // A query: its report line names the key and the profile; the URL reads back.
    Lines b = block(r.lines, i);
    ASSERT_EQ(b.size(), 2u) << l;
    EXPECT_TRUE(starts(b[0], "+YWSCFG: \"" + c.params[0].text + "\",0,")) << b[0];
    if (c.params[0].text == "conn/url") {
      EXPECT_EQ(b[0], "+YWSCFG: \"conn/url\",0," + quote(url));
    }
    reports++;
  }
  EXPECT_TRUE(starts(url, "ws://127.0.0.1:"));
  EXPECT_EQ(opens, 1u);
  EXPECT_EQ(closes, 1u);
  EXPECT_GE(reports, 3u);
  EXPECT_TRUE(has(r.lines, "+YWSSTATE: 0,2,0," + std::to_string(sent[0].size()) + ",0"));
  // Standard error joined in: without --trace, no library or other lines.
  EXPECT_EQ(log_and_stray(r.lines), std::make_pair(size_t{0}, size_t{0}));
}

TEST(ConsoleProgram, LibraryLogLinesWithTrace) {
  // The loopback server's library context announces itself when it is created.
  Outcome r = run_program({YWS_AT_PATH, "--trace"}, milliseconds(30000), true);
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0);
  auto counts = log_and_stray(r.lines);
  EXPECT_GT(counts.first, 0u);
  EXPECT_EQ(counts.second, 0u);
}

TEST(ConsoleProgram, BufferedSessionAnnouncesAndReadsTheEchoes) {
  Outcome r = run_program({YWS_AT_PATH, "--buffered"});
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0);
  Lines sent;
  check_echo_transcript(r.lines, true, &sent);
  // Each read returns what the send before it got back.
  std::string last_sent;
  size_t reads = 0;
  for (size_t i = 0; i < r.lines.size(); i++) {
    if (starts(r.lines[i], "AT+YWSSEND=")) last_sent = sent_bytes(r.lines[i]);
    if (!starts(r.lines[i], "AT+YWSREAD=")) continue;
    Lines b = block(r.lines, i);
    ASSERT_GE(b.size(), 2u);
    std::vector<Param> p = params_of(b[0]);
    ASSERT_EQ(p.size(), 3u) << b[0];
    EXPECT_EQ(p[2].text, last_sent);
    reads++;
  }
  EXPECT_EQ(reads, 2u);
}

TEST(ConsoleProgram, ScriptWithThreeClients) {
  WsServer server;
  ywstest::TempDir dir;
  std::string path = dir.file("three.at");
  std::ofstream(path) << "# two profiles, three clients\n"
                         "AT+YWSCFG=\"conn/url\",0,\"$URL\"\n"
                         "AT+YWSCFG=\"conn/url\",1,\"$URL\"\n"
                         "AT+YWSOPEN=0,0\n"
                         "AT+YWSOPEN=1,0\n"
                         "AT+YWSOPEN=2,1\n"
                         "AT+YWSSEND=0,0,\"to zero\"\n"
                         "AT+YWSSEND=1,0,\"to \\\"one\\\"\"\n"
                         "AT+YWSSEND=2,1,\"02ff00\"\n"
                         "AT+YWSSTATE=1\n"
                         "AT+YWSCLOSE=0\n"
                         "AT+YWSCLOSE=1\n"
                         "AT+YWSCLOSE=2\n";
  Outcome r = run_program({YWS_AT_PATH, "--url", server.url("/echo"), "--script", path});
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0);
  Lines sent;
  check_echo_transcript(r.lines, false, &sent);
  EXPECT_EQ(sent,
            (std::vector<std::string>{"to zero", "to \"one\"", std::string("\x02\xff\0", 3)}));
  size_t echoes = 0;
  for (const std::string &l : r.lines) echoes += is_echo(l);
  EXPECT_EQ(echoes, 12u);
  EXPECT_TRUE(has(r.lines, "+YWSSTATE: 1,2,0," + std::to_string(sent[1].size()) + ",0"));
  EXPECT_EQ(server.total_connections(), 3);
  ASSERT_EQ(server.message_count(), 3u);
  for (const WsServer::Message &m : server.messages()) EXPECT_EQ(m.binary, m.data == sent[2]);
}

TEST(EchoExample, PrintsTheEchoAndFailsOnARefusal) {
  WsServer server;
  Outcome r = run_program({YWS_ECHO_EXAMPLE_PATH, server.url("/echo"), "ping from C"});
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has(r.lines, "reply: ping from C"));
  EXPECT_TRUE(has(r.lines, "closed: 0"));
  ASSERT_TRUE(server.wait_messages(1, ywst::kWait));
  EXPECT_EQ(server.messages()[0].data, "ping from C");

  r = run_program({YWS_ECHO_EXAMPLE_PATH, server.url("/refuse")});
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 1);
}

// An open either fails at once (ERROR, no notification) or is started (OK)
// and then notified: one report, never both.
TEST(ConsoleEngine, RefusedOpenIsReportedOnce) {
  Transcript t;
  Console c({}, t.sink());
  t.reply(c, R"(AT+YWSCFG="conn/url",0,"ws://127.0.0.1:9/x")");
  yv_dc_ctl_reset();  // the data call idle, so the open has to activate it
  yv_dc_ctl_set_act_mode(YV_DC_ACT_REFUSE);
  Lines r = t.reply(c, "AT+YWSOPEN=0,0");
  yv_dc_ctl_reset();
  // The service reports a bearer-step failure twice by design: the open's
  // non-zero result and, on the caller's task, OPEN with YWS_ERR_NET_FAIL.
  ASSERT_EQ(r.size(), 2u) << t.text();
  EXPECT_TRUE(starts(r[0], "ERROR: ")) << t.text();
  EXPECT_EQ(r[1], "+YWSOPEN: 0,8");
  EXPECT_TRUE(ywst::settled());
}

// Typed at a terminal, opens do not wait for each other. Every open the
// service accepted must still end in its own +YWSOPEN, and every client must
// be closable afterwards.
TEST(ConsoleEngine, OpensTypedWithoutWaitingEachGetTheirOutcome) {
  WsServer server;
  Transcript t;
  Console::Options o;
  o.wait = false;
  o.timeout = milliseconds(1000);
  Console c(o, t.sink());
  yv_dc_ctl_reset();  // every open finds the data call still being activated
  ASSERT_EQ(t.reply(c, "AT+YWSCFG=\"conn/url\",0,\"" + server.url("/echo") + "\""), Lines({"OK"}));
  for (int i = 0; i < YWS_CLIENT_NUM; i++)
    ASSERT_EQ(t.reply(c, "AT+YWSOPEN=" + std::to_string(i) + ",0")[0], "OK");
  Lines want;
  for (int i = 0; i < YWS_CLIENT_NUM; i++) want.push_back("+YWSOPEN: " + std::to_string(i) + ",0");
  EXPECT_TRUE(t.wait_lines(want, ywst::kWait)) << t.text();
  c.close_all();
  for (int i = 0; i < YWS_CLIENT_NUM; i++)
    EXPECT_EQ(yv_ws_get_client_conn_state(static_cast<uint8_t>(i)), YWS_CONN_STA_IDLE) << i;
}
