/*
 * The command layer of yws-at: the AT line parser, the reply and
 * unsolicited-line formatter, and the engine that runs one command line at a
 * time against the service through its public header.
 */
#ifndef YWS_AT_CONSOLE_H
#define YWS_AT_CONSOLE_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "yv_api_websocket.h"

namespace yws_at {

/* One parameter: a quoted string (escapes decoded) or a bare, trimmed token,
 * possibly empty when the parameter was left out. */
struct Param {
  bool quoted = false;
  std::string text;
};

struct Command {
  enum Form {
    kBasic, /* "AT" alone */
    kExec,  /* AT+NAME */
    kSet,   /* AT+NAME=<params> */
    kTest,  /* AT+NAME=? */
    kRead,  /* AT+NAME? */
  };
  Form form = kBasic;
  std::string name; /* upper case, without "AT+" */
  std::vector<Param> params;
};

/* Quoted strings take \" \\ \xNN \n \r \t; any other backslash is an error.
 * A quoted parameter may be followed only by blanks before the next comma. */
bool parse_params(const std::string &text, std::vector<Param> *out, std::string *why);
/* Blank lines and lines starting with '#' are not commands: the caller skips
 * them (is_comment). */
bool parse_line(const std::string &line, Command *out, std::string *why);
bool is_comment(const std::string &line);

/* A bare decimal integer within [lo, hi]. */
bool parse_int(const Param &p, int64_t lo, int64_t hi, int64_t *out);
bool hex_decode(const std::string &hex, std::string *out);

/* Any bytes as one quoted token that parse_params reads back unchanged:
 * printable ASCII as is, '"' and '\' escaped, every other byte as \xNN. */
std::string quote(const std::string &bytes);
/* Control bytes of a line shown as \xNN, so one line stays one line. */
std::string one_line(const std::string &s);

/* The line for one notification. The notification carries no message type,
 * so received data always uses the quote() rendering. Buffered mode only
 * announces data: "+YWSRECV: <client>". */
std::string urc_line(int client, const yws_parm_t &p, bool buffered);

/* Every option key of AT+YWSCFG, as yws_cfg_type_parse knows them. */
const std::vector<std::string> &option_keys();
/* "+YWSHELP: " lines: command syntax, then the keys. */
std::vector<std::string> help_lines();

/*
 * The engine. Lines leave through the sink, one call per line, never two at
 * once: command echo, reply lines and the final OK / ERROR: <code> line of a
 * command come out together; notifications that arrive meanwhile follow them.
 *
 * The waiting rule (Options::wait): a command that starts an asynchronous
 * outcome returns only once that outcome was printed, or after the timeout,
 * which prints "+YWSTIMEOUT: <client>":
 *   AT+YWSOPEN  -> +YWSOPEN (or +YWSCLOSE) of the client
 *   AT+YWSSEND  -> the client's next +YWSRECV (none for empty data; in
 *                  buffered mode none while data announced is still unread)
 *   AT+YWSCLOSE -> +YWSCLOSE of the client (none when it was idle)
 * Only one engine exists at a time: the service has one notification path.
 */
class Console {
 public:
  struct Options {
    bool buffered = false; /* system mode word for AT+YWSOPEN */
    bool wait = true;
    bool echo = true; /* print each command line before its reply */
    bool dry = false; /* AT+YWSOPEN refused: the service is never started */
    std::chrono::milliseconds timeout{10000};
  };
  using Sink = std::function<void(const std::string &line)>;

  Console(Options opts, Sink sink);
  ~Console();
  Console(const Console &) = delete;
  Console &operator=(const Console &) = delete;

  /* False when the line ended in ERROR or its wait timed out. Comments and
   * blank lines do nothing and count as success. */
  bool run(const std::string &line);
  /* Closes every client that is not idle and waits for each close. */
  void close_all();
  /* A line outside any command, e.g. a transcript comment. */
  void print(const std::string &line);

  struct Impl;

 private:
  Impl *impl_;
};

}  // namespace yws_at

#endif
