/*
 * yws-at: the module's WebSocket command layer on a host. See usage() or
 * --help. Without arguments it runs a built-in session against a loopback
 * echo server and exits 0 when every step succeeded.
 */
#include <libwebsockets.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "at_console.h"
#include "ws_test_server.h"
#include "yv_api_websocket.h"
#include "yv_rtos_test.h"

namespace {

const char kUsage[] =
    "usage: yws-at [--url ws://...|wss://...] [--script FILE | --stdin] [--buffered]\n"
    "              [--tls] [--timeout SECONDS] [--trace]\n"
    "\n"
    "Plays the module's WebSocket AT command layer. Without --script or --stdin it\n"
    "runs a built-in session: configure profile 0, read it back, open client 0,\n"
    "send a text and a binary message, show the echoes and the state, close.\n"
    "Without --url a loopback echo server is started and used.\n"
    "\n"
    "  --url URL       server for the session; \"$URL\" in any command line stands for it\n"
    "  --script FILE   run the commands of FILE (\"-\": standard input)\n"
    "  --stdin         read commands from standard input; a terminal gets a prompt\n"
    "  --buffered      buffered reception (AT+YWSREAD); default is direct\n"
    "  --tls           the loopback server speaks wss with a certificate of its own CA;\n"
    "                  \"$CA\" in any command line stands for that CA's file, and the\n"
    "                  built-in session authenticates the server with it (level 1)\n"
    "  --timeout S     bound of each wait below (default 10)\n"
    "  --trace         service trace and library log lines on standard error\n"
    "\n"
    "Commands (AT+YWSHELP lists them with the option keys):\n"
    "  AT+YWSCFG=\"<key>\",<profile>[,<value>...]  set; without a value: +YWSCFG report\n"
    "  AT+YWSOPEN=<client>,<profile>   AT+YWSCLOSE=<client>   AT+YWSSTATE=<client>\n"
    "  AT+YWSSEND=<client>,<0 text|1 binary>,\"<data>\"   binary data in hex\n"
    "  AT+YWSREAD=<client>,<max>      answers +YWSREAD: <client>,<len>,\"<data>\"\n"
    "  AT+YWSTLS=<ctx>[,<level>[,\"<ca>\",\"<cert>\",\"<key>\"]]  TLS context 0..4: files\n"
    "                  (\"\" for none) and level 0..2; AT+YWSTLS=<ctx> reads it back\n"
    "AT+YWSSTATE answers +YWSSTATE: <client>,<state>,<last error>,<accepted>,<unsent>.\n"
    "Strings are double-quoted with the escapes \\\" \\\\ \\n \\r \\t \\xNN. Lines starting\n"
    "with '#' are comments. Replies end in OK or ERROR: <code> [(reason)], <code> being\n"
    "a yws_err_e number. Notifications: +YWSOPEN: <client>,<err>, +YWSCLOSE: <client>,<err>,\n"
    "+YWSRECV: <client>,<len>,\"<data>\" (direct) or +YWSRECV: <client> (buffered: data\n"
    "waiting). Received data is shown quoted, bytes outside printable ASCII as \\xNN,\n"
    "whether the message was text or binary (the notification does not say).\n"
    "\n"
    "Waiting rule: except at a terminal, the next command is read only once the\n"
    "previous one's outcome was printed: AT+YWSOPEN waits for +YWSOPEN, AT+YWSSEND\n"
    "for the client's next +YWSRECV (buffered mode: unless data is already\n"
    "announced and unread), AT+YWSCLOSE for +YWSCLOSE. After the timeout a line\n"
    "+YWSTIMEOUT: <client> is printed and the session goes on. At the end of input\n"
    "clients still open are closed.\n"
    "\n"
    "Exit status: built-in session 0 when every step succeeded, else 1; a script or\n"
    "standard input 0; 2 for bad arguments.\n";

struct Args {
  std::string url;
  std::string script;
  bool from_stdin = false;
  bool buffered = false;
  bool trace = false;
  bool tls = false;
  int timeout_s = 10;
};

bool parse_args(int argc, char **argv, Args *a) {
  for (int i = 1; i < argc; i++) {
    std::string s = argv[i];
    bool has_next = i + 1 < argc;
    if (s == "--help" || s == "-h") {
      fputs(kUsage, stdout);
      exit(0);
    } else if (s == "--url" && has_next) {
      a->url = argv[++i];
      if (a->url.rfind("ws://", 0) != 0 && a->url.rfind("wss://", 0) != 0) return false;
    } else if (s == "--script" && has_next) {
      a->script = argv[++i];
    } else if (s == "--stdin") {
      a->from_stdin = true;
    } else if (s == "--buffered") {
      a->buffered = true;
    } else if (s == "--tls") {
      a->tls = true;
    } else if (s == "--trace") {
      a->trace = true;
    } else if (s == "--timeout" && has_next) {
      char *end = nullptr;
      long v = strtol(argv[++i], &end, 10);
      if (!end || *end || v < 1 || v > 3600) return false;
      a->timeout_s = static_cast<int>(v);
    } else {
      return false;
    }
  }
  return !(a->from_stdin && !a->script.empty());
}

std::vector<std::string> builtin_session(bool buffered, bool tls) {
  std::vector<std::string> s;
  if (tls) {
    s.push_back("AT+YWSTLS=1,1,\"$CA\",\"\",\"\"");
    s.push_back("AT+YWSTLS=1");
    s.push_back("AT+YWSCFG=\"conn/sslctxid\",0,1");
  }
  std::vector<std::string> rest = {
      "AT+YWSCFG=\"conn/url\",0,\"$URL\"",
      "AT+YWSCFG=\"reqheader/add\",0,\"X-Client\",\"yws-at\"",
      "AT+YWSCFG=\"ping/interval\",0,30",
      "AT+YWSCFG=\"conn/url\",0",
      "AT+YWSCFG=\"reqheader/add\",0",
      "AT+YWSCFG=\"ping/interval\",0",
      "AT+YWSOPEN=0,0",
      "AT+YWSSEND=0,0,\"Hello, \\\"echo\\\" server!\"",
  };
  s.insert(s.end(), rest.begin(), rest.end());
  if (buffered) s.push_back("AT+YWSREAD=0,1024");
  s.push_back("AT+YWSSEND=0,1,\"00017f80c3a9feff\"");
  if (buffered) s.push_back("AT+YWSREAD=0,1024");
  s.push_back("AT+YWSSTATE=0");
  s.push_back("AT+YWSCLOSE=0");
  return s;
}

std::string substitute(std::string line, const std::string &name, const std::string &value) {
  for (size_t at = line.find(name); at != std::string::npos; at = line.find(name, at)) {
    line.replace(at, name.size(), value);
    at += value.size();
  }
  return line;
}

void trace_to_stderr(const char *line, void *) {
  fprintf(stderr, "trace: %s\n", line);
}

/* The library's own log lines (the loopback server's, the service's) belong
 * with the trace, not in the transcript. */
bool g_lws_log = false;
void lws_log_line(int, const char *line) {
  if (g_lws_log) fprintf(stderr, "lws: %s", line);
}

void to_stdout(const std::string &line) {
  fputs(line.c_str(), stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
  Args args;
  if (!parse_args(argc, argv, &args)) {
    fputs(kUsage, stderr);
    return 2;
  }
  if (args.trace) yv_trace_set_sink(trace_to_stderr, nullptr);
  /* The service sets the level when it starts, and keeps this emitter. */
  g_lws_log = args.trace;
  lws_set_log_level(LLL_ERR | LLL_WARN | LLL_NOTICE, lws_log_line);

  std::unique_ptr<ywstest::WsServer> server;
  std::string url = args.url;
  if (url.empty()) {
    try {
      ywstest::WsServer::Options o;
      if (args.tls) o.tls = ywstest::WsServer::Tls::kCaSigned;
      server = std::make_unique<ywstest::WsServer>(o);
    } catch (const std::exception &e) {
      fprintf(stderr, "yws-at: cannot start the loopback echo server: %s\n", e.what());
      return 1;
    }
    url = server->url("/echo");
  }
  std::string ca = server && args.tls ? server->ca_path() : "";
  auto expand = [&](const std::string &line) {
    return substitute(substitute(line, "$URL", url), "$CA", ca);
  };

  bool builtin = args.script.empty() && !args.from_stdin;
  bool use_stdin = args.from_stdin || args.script == "-";
  bool interactive = use_stdin && isatty(STDIN_FILENO);
  std::ifstream file;
  if (!builtin && !use_stdin) {
    file.open(args.script);
    if (!file) {
      fprintf(stderr, "yws-at: cannot read %s\n", args.script.c_str());
      return 2;
    }
  }

  yws_at::Console::Options opts;
  opts.buffered = args.buffered;
  opts.wait = !interactive;
  opts.echo = !interactive;
  opts.timeout = std::chrono::seconds(args.timeout_s);
  bool all_ok = true;
  {
    yws_at::Console console(opts, to_stdout);
    console.print(std::string("# yws-at: ") + (args.buffered ? "buffered" : "direct") + " mode, " +
                  (server ? "loopback echo server " : "server ") + url +
                  (ca.empty() ? "" : ", its CA " + ca));
    if (builtin) {
      for (const std::string &line : builtin_session(args.buffered, args.tls))
        all_ok = console.run(expand(line)) && all_ok;
    } else {
      std::istream &in = use_stdin ? std::cin : file;
      std::string line;
      for (;;) {
        if (interactive) {
          fputs("> ", stdout);
          fflush(stdout);
        }
        if (!std::getline(in, line)) break;
        console.run(expand(line));
      }
    }
    console.close_all();
  }
  return builtin && !all_ok ? 1 : 0;
}
