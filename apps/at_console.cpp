#include "at_console.h"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "yv_ssl_store_ctl.h"

namespace yws_at {

namespace {

constexpr int64_t kReadMax = 65536;

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string trim(const std::string &s) {
  size_t b = 0, e = s.size();
  while (b < e && is_blank(s[b])) b++;
  while (e > b && is_blank(s[e - 1])) e--;
  return s.substr(b, e - b);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string upper(std::string s) {
  for (char &c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

/* Reads a quoted string starting at text[*pos] == '"'; leaves *pos after the
 * closing quote. */
bool read_quoted(const std::string &text, size_t *pos, std::string *out, std::string *why) {
  size_t i = *pos + 1;
  out->clear();
  while (i < text.size()) {
    char c = text[i];
    if (c == '"') {
      *pos = i + 1;
      return true;
    }
    if (c != '\\') {
      out->push_back(c);
      i++;
      continue;
    }
    if (i + 1 >= text.size()) break;
    char e = text[i + 1];
    i += 2;
    switch (e) {
      case '"':
      case '\\':
        out->push_back(e);
        break;
      case 'n':
        out->push_back('\n');
        break;
      case 'r':
        out->push_back('\r');
        break;
      case 't':
        out->push_back('\t');
        break;
      case 'x':
      case 'X': {
        int hi = i < text.size() ? hex_value(text[i]) : -1;
        int lo = i + 1 < text.size() ? hex_value(text[i + 1]) : -1;
        if (hi < 0 || lo < 0) {
          *why = "\\x needs two hex digits";
          return false;
        }
        out->push_back(static_cast<char>(hi << 4 | lo));
        i += 2;
        break;
      }
      default:
        *why = "unknown escape \\" + one_line(std::string(1, e));
        return false;
    }
  }
  *why = "unterminated string";
  return false;
}

struct Syntax {
  const char *name;
  const char *params;
};

const Syntax kSyntax[] = {
    {"YWSCFG", "\"<key>\",<profile>[,<value>[,<value>]]"},
    {"YWSOPEN", "<client>,<profile>"},
    {"YWSSEND", "<client>,<0 text|1 binary>,\"<data: text, or hex when binary>\""},
    {"YWSREAD", "<client>,<max 1..65536>"},
    {"YWSREADMSG", "<client>,<max 1..65536>"},
    {"YWSCLOSE", "<client>"},
    {"YWSSTATE", "<client>"},
    {"YWSTLS", "<tls ctx 0..4>[,<level 0..2>[,\"<ca>\",\"<cert>\",\"<key>\"]]"},
    {"YWSCAUSE", "<client>"},
    {"YWSSTAT", "<client>"},
    {"YWSWIRE", "<client>"},
    {"YWSHELP", ""},
};

const Syntax *syntax_of(const std::string &name) {
  for (const Syntax &s : kSyntax)
    if (name == s.name) return &s;
  return nullptr;
}

bool is_string_option(int type) {
  return type == YWS_CFG_CONN_URL || type == YWS_CFG_CONN_SUBPROT ||
         type == YWS_CFG_CONN_EXTENSION || type == YWS_CFG_CONN_METHOD;
}

/* Strings reach the service as C strings: an embedded NUL would cut them. */
bool c_string(const Param &p) {
  return p.quoted && p.text.find('\0') == std::string::npos;
}

}  // namespace

bool parse_params(const std::string &text, std::vector<Param> *out, std::string *why) {
  out->clear();
  size_t i = 0;
  for (;;) {
    while (i < text.size() && is_blank(text[i])) i++;
    Param p;
    if (i < text.size() && text[i] == '"') {
      p.quoted = true;
      if (!read_quoted(text, &i, &p.text, why)) return false;
      while (i < text.size() && is_blank(text[i])) i++;
      if (i < text.size() && text[i] != ',') {
        *why = "text after a closing quote";
        return false;
      }
    } else {
      size_t end = text.find(',', i);
      if (end == std::string::npos) end = text.size();
      p.text = trim(text.substr(i, end - i));
      if (p.text.find('"') != std::string::npos) {
        *why = "stray quote";
        return false;
      }
      i = end;
    }
    out->push_back(p);
    if (i >= text.size()) return true;
    i++; /* the comma */
  }
}

bool is_comment(const std::string &line) {
  std::string t = trim(line);
  return t.empty() || t[0] == '#';
}

bool parse_line(const std::string &line, Command *out, std::string *why) {
  std::string t = trim(line);
  *out = Command();
  if (t.size() < 2 || upper(t.substr(0, 2)) != "AT") {
    *why = "not an AT command";
    return false;
  }
  if (t.size() == 2) return true;
  if (t[2] != '+') {
    *why = "unknown command";
    return false;
  }
  size_t i = 3;
  while (i < t.size() && isalnum(static_cast<unsigned char>(t[i]))) i++;
  out->name = upper(t.substr(3, i - 3));
  if (out->name.empty()) {
    *why = "no command name";
    return false;
  }
  std::string rest = t.substr(i);
  if (rest.empty()) {
    out->form = Command::kExec;
    return true;
  }
  if (rest == "?") {
    out->form = Command::kRead;
    return true;
  }
  if (rest == "=?") {
    out->form = Command::kTest;
    return true;
  }
  if (rest[0] != '=') {
    *why = "'=' expected after the command name";
    return false;
  }
  out->form = Command::kSet;
  return parse_params(rest.substr(1), &out->params, why);
}

bool parse_int(const Param &p, int64_t lo, int64_t hi, int64_t *out) {
  const std::string &s = p.text;
  if (p.quoted || s.empty() || s.size() > 12) return false;
  size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
  if (i == s.size()) return false;
  int64_t v = 0;
  for (; i < s.size(); i++) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  if (s[0] == '-') v = -v;
  if (v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool hex_decode(const std::string &hex, std::string *out) {
  out->clear();
  if (hex.size() % 2) return false;
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = hex_value(hex[i]), lo = hex_value(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi << 4 | lo));
  }
  return true;
}

std::string quote(const std::string &bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string s = "\"";
  for (char ch : bytes) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      s += '\\';
      s += ch;
    } else if (c >= 0x20 && c < 0x7f) {
      s += ch;
    } else {
      s += "\\x";
      s += kHex[c >> 4];
      s += kHex[c & 15];
    }
  }
  return s + "\"";
}

std::string one_line(const std::string &s) {
  std::string r;
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f) {
      char buf[5];
      snprintf(buf, sizeof buf, "\\x%02x", c);
      r += buf;
    } else {
      r += ch;
    }
  }
  return r;
}

/* Bytes of a message as the console shows them: text quoted, binary in hex
 * (as AT+YWSSEND takes it). */
std::string message_text(const uint8_t *data, int32_t size, int32_t flags) {
  std::string bytes;
  if (data && size > 0)
    bytes.assign(reinterpret_cast<const char *>(data), static_cast<size_t>(size));
  if (!(flags & YWS_MSG_FLAG_BINARY)) return quote(bytes);
  static const char kHex[] = "0123456789ABCDEF";
  std::string hex = "\"";
  for (char ch : bytes) {
    auto b = static_cast<unsigned char>(ch);
    hex += kHex[b >> 4];
    hex += kHex[b & 15];
  }
  return hex + "\"";
}

std::string urc_line(int client, const yws_parm_t &p, bool buffered) {
  std::string c = std::to_string(client);
  switch (p.type) {
    case YWS_CB_TYPE_OPEN:
      return "+YWSOPEN: " + c + "," + std::to_string(p.virtual_);
    case YWS_CB_TYPE_CLOSE:
      return "+YWSCLOSE: " + c + "," + std::to_string(p.virtual_);
    case YWS_CB_TYPE_RECV:
      if (buffered || !p.data || p.size <= 0) return "+YWSRECV: " + c;
      return "+YWSRECV: " + c + "," + std::to_string(p.size) + "," +
             quote(
                 std::string(reinterpret_cast<const char *>(p.data), static_cast<size_t>(p.size)));
    case YWS_CB_TYPE_RECONNECT:
      return "+YWSRECONN: " + c + "," + std::to_string(p.size) + "," + std::to_string(p.virtual_);
    case YWS_CB_TYPE_MESSAGE:
      return "+YWSMSG: " + c + "," + std::to_string(p.size) + "," + std::to_string(p.virtual_) +
             "," + message_text(p.data, p.size, p.virtual_);
    default:
      return "+YWSEVENT: " + c + "," + std::to_string(p.type) + "," + std::to_string(p.virtual_);
  }
}

/* The service's own keys, in option-id order. */
const std::vector<std::string> &option_keys() {
  static const std::vector<std::string> keys = [] {
    std::vector<std::string> k;
    for (int id = 0; id < YWS_CFG_WRITE_MAX; id++)
      if (const char *key = yws_cfg_key(id)) k.emplace_back(key);
    return k;
  }();
  return keys;
}

std::vector<std::string> help_lines() {
  std::vector<std::string> lines;
  for (const Syntax &s : kSyntax)
    lines.push_back(std::string("+YWSHELP: AT+") + s.name + (*s.params ? "=" : "") + s.params);
  std::string keys = "+YWSHELP: keys: ";
  for (const std::string &k : option_keys()) keys += (k == option_keys()[0] ? "" : ",") + k;
  lines.push_back(keys);
  return lines;
}

/* ---- the engine ---- */

namespace {

/* Guards every engine's state and its sink; the notification callback takes it
 * on the service task, so nothing calls the service while holding it. */
std::mutex g_mu;
Console::Impl *g_active = nullptr;

int console_cb(int client_id, yws_parm_t *parm);

}  // namespace

struct Console::Impl {
  enum Wait { kNone, kOpen, kRecv, kClose };
  struct Counts {
    int opens[YWS_CLIENT_NUM] = {};
    int closes[YWS_CLIENT_NUM] = {};
    int recvs[YWS_CLIENT_NUM] = {};
    bool announced[YWS_CLIENT_NUM] = {};
  };
  struct Outcome {
    std::vector<std::string> lines;
    std::string final_line = "OK";
    bool ok = true;
    Wait wait = kNone;
    int client = 0;
  };

  Options opts;
  Sink sink;
  Console::Impl *previous = nullptr;
  bool busy = false;
  std::vector<std::string> held;
  Counts counts;
  std::condition_variable cv;

  /* Caller holds g_mu. */
  void emit(const std::string &line) { sink(one_line(line)); }

  void on_note(int client, const yws_parm_t &p) {
    std::string line = urc_line(client, p, opts.buffered);
    if (client >= 0 && client < YWS_CLIENT_NUM) {
      if (p.type == YWS_CB_TYPE_OPEN) counts.opens[client]++;
      if (p.type == YWS_CB_TYPE_CLOSE) counts.closes[client]++;
      /* A message notification is what a send in message mode waits for. */
      if (p.type == YWS_CB_TYPE_RECV || p.type == YWS_CB_TYPE_MESSAGE) counts.recvs[client]++;
      counts.announced[client] = p.type == YWS_CB_TYPE_RECV && opts.buffered;
    }
    if (busy)
      held.push_back(line);
    else
      emit(line);
    cv.notify_all();
  }

  static Outcome error(int code, const std::string &why = std::string()) {
    Outcome o;
    o.ok = false;
    o.final_line = "ERROR: " + std::to_string(code) + (why.empty() ? "" : " (" + why + ")");
    return o;
  }

  static Outcome result(int code) { return code == 0 ? Outcome() : error(code); }

  static Outcome usage(const std::string &name) {
    const Syntax *s = syntax_of(name);
    return error(YWS_ERR_INVAL_PARM, std::string("usage: AT+") + name + "=" + s->params);
  }

  bool arrived(Wait w, int c, const Counts &before) const {
    switch (w) {
      case kOpen:
        return counts.opens[c] != before.opens[c] || counts.closes[c] != before.closes[c];
      case kRecv:
        return counts.recvs[c] != before.recvs[c] || counts.closes[c] != before.closes[c];
      case kClose:
        return counts.closes[c] != before.closes[c];
      default:
        return true;
    }
  }

  Counts snapshot() {
    std::lock_guard<std::mutex> lk(g_mu);
    return counts;
  }

  bool wait_for(Wait w, int c, const Counts &before) {
    std::unique_lock<std::mutex> lk(g_mu);
    if (cv.wait_for(lk, opts.timeout, [&] { return arrived(w, c, before); })) return true;
    emit("+YWSTIMEOUT: " + std::to_string(c));
    return false;
  }

  bool run_line(const std::string &raw, bool wait) {
    if (is_comment(raw)) return true;
    std::string line = trim(raw);
    Counts before;
    {
      std::lock_guard<std::mutex> lk(g_mu);
      busy = true;
      if (opts.echo) emit(line);
      before = counts;
    }
    Outcome o = execute(line, before);
    {
      std::lock_guard<std::mutex> lk(g_mu);
      for (const std::string &l : o.lines) emit(l);
      emit(o.final_line);
      busy = false;
      for (const std::string &l : held) emit(l);
      held.clear();
    }
    if (!o.ok || !wait || o.wait == kNone) return o.ok;
    return wait_for(o.wait, o.client, before);
  }

  Outcome execute(const std::string &line, const Counts &before) {
    Command cmd;
    std::string why;
    if (!parse_line(line, &cmd, &why)) return error(YWS_ERR_INVAL_PARM, why);
    if (cmd.form == Command::kBasic) return Outcome();
    const Syntax *syn = syntax_of(cmd.name);
    if (!syn) return error(YWS_ERR_GENERIC, "unknown command");
    if (cmd.form == Command::kRead) return error(YWS_ERR_INVAL_PARM, "no read form");
    if (cmd.form == Command::kTest) {
      Outcome o;
      o.lines.push_back("+" + cmd.name + ": " + syn->params);
      return o;
    }
    if (cmd.name == "YWSHELP") {
      if (cmd.form != Command::kExec) return error(YWS_ERR_INVAL_PARM, "AT+YWSHELP takes nothing");
      Outcome o;
      o.lines = help_lines();
      return o;
    }
    if (cmd.form == Command::kExec) return usage(cmd.name);
    const std::vector<Param> &p = cmd.params;
    if (cmd.name == "YWSCFG") return cfg(p);
    /* Every other command starts with a client id. */
    int64_t client = 0;
    if (!parse_int(p[0], 0, 255, &client)) return usage(cmd.name);
    int c = static_cast<int>(client);
    if (cmd.name == "YWSOPEN") return open(c, p);
    if (cmd.name == "YWSSEND") return send(c, p, before);
    if (cmd.name == "YWSREAD") return read(c, p, before);
    if (cmd.name == "YWSREADMSG") return read_msg(c, p, before);
    if (cmd.name == "YWSCLOSE") return close(c, p);
    if (cmd.name == "YWSTLS") return tls(c, p);
    if (cmd.name == "YWSCAUSE") return cause(c, p);
    if (cmd.name == "YWSSTAT") return stat(c, p);
    if (cmd.name == "YWSWIRE") return wire(c, p);
    return state(c, p);
  }

  Outcome report(int type, uint8_t profile, const std::string &key, const char *name) {
    char *line = nullptr;
    yws_err_e rc = yws_cfg_get_opt_with_fmt(&line, type, profile, key.c_str(), name);
    Outcome o = result(rc);
    if (rc == YWS_OK && line) o.lines.push_back(line);
    if (line) yv_ws_mem_free(line);
    return o;
  }

  Outcome cfg(const std::vector<Param> &p) {
    if (p.size() < 2 || !c_string(p[0])) return usage("YWSCFG");
    int64_t prof = 0;
    if (!parse_int(p[1], 0, 255, &prof)) return error(YWS_ERR_INVAL_PARM, "bad profile");
    uint8_t profile = static_cast<uint8_t>(prof);
    const std::string &key = p[0].text;
    int type = 0;
    yws_err_e rc = yws_cfg_type_parse(key.c_str(), &type);
    if (rc != YWS_OK) return error(rc, "unknown key");
    size_t nvalues = p.size() - 2;
    for (size_t i = 2; i < p.size(); i++)
      if (is_string_option(type) || type == YWS_CFG_REQHEAD_ADD || type == YWS_CFG_REQHEAD_REMOVE)
        if (!c_string(p[i])) return error(YWS_ERR_INVAL_PARM, "a quoted string is expected");

    if (type == YWS_CFG_REQHEAD_ADD) {
      if (nvalues == 2)
        return result(yv_ws_cfg_set_opt(profile, type, p[2].text.c_str(), p[3].text.c_str()));
      if (nvalues > 1) return error(YWS_ERR_INVAL_PARM, "name and value expected");
      return report(type, profile, key, nvalues == 1 ? p[2].text.c_str() : nullptr);
    }
    if (type == YWS_CFG_REQHEAD_REMOVE) {
      if (nvalues > 1) return error(YWS_ERR_INVAL_PARM, "one name at most");
      const char *name = nvalues == 1 ? p[2].text.c_str() : nullptr;
      return result(yv_ws_cfg_set_opt(profile, type, name));
    }
    if (nvalues == 0) return report(type, profile, key, nullptr);
    if (nvalues > 1) return error(YWS_ERR_INVAL_PARM, "one value expected");
    if (is_string_option(type)) return result(yv_ws_cfg_set_opt(profile, type, p[2].text.c_str()));
    int64_t v = 0;
    if (!parse_int(p[2], INT32_MIN, INT32_MAX, &v))
      return error(YWS_ERR_INVAL_PARM, "a number is expected");
    return result(yv_ws_cfg_set_opt(profile, type, static_cast<int>(v)));
  }

  Outcome open(int c, const std::vector<Param> &p) {
    int64_t profile = 0;
    if (p.size() != 2 || !parse_int(p[1], 0, 255, &profile)) return usage("YWSOPEN");
    if (opts.dry) return error(YWS_ERR_GENERIC, "dry run: no connections");
    yws_open_t o = {c, static_cast<int>(profile), nullptr,
                    opts.buffered ? YWS_SYS_MODE_BUFFERED : 0};
    Outcome out = result(yv_ws_open_proc(&o));
    out.wait = kOpen;
    out.client = c;
    return out;
  }

  Outcome send(int c, const std::vector<Param> &p, const Counts &before) {
    int64_t mode = 0;
    if (p.size() != 3 || !parse_int(p[1], 0, 1, &mode) || !p[2].quoted) return usage("YWSSEND");
    std::string data = p[2].text;
    if (mode == YWS_WRITE_PROT_BIN && !hex_decode(p[2].text, &data))
      return error(YWS_ERR_INVAL_PARM, "binary data must be hex digits in pairs");
    yws_parm_t w = {static_cast<int32_t>(mode),
                    reinterpret_cast<uint8_t *>(data.empty() ? nullptr : &data[0]),
                    static_cast<int32_t>(data.size()), 0};
    Outcome out = result(yv_ws_write_proc(c, &w));
    bool announced = c < YWS_CLIENT_NUM && before.announced[c];
    if (!data.empty() && !announced && c < YWS_CLIENT_NUM) out.wait = kRecv;
    out.client = c;
    return out;
  }

  Outcome read(int c, const std::vector<Param> &p, const Counts &before) {
    int64_t max = 0;
    if (p.size() != 2 || !parse_int(p[1], 1, kReadMax, &max)) return usage("YWSREAD");
    std::string buf(static_cast<size_t>(max), '\0');
    int32_t n = static_cast<int32_t>(max);
    int32_t rc = yv_ws_read_proc(c, &buf[0], &n, true);
    if (rc != YWS_OK) return error(rc);
    n = n < 0 ? 0 : (n > max ? static_cast<int32_t>(max) : n);
    buf.resize(static_cast<size_t>(n));
    if (n < max && c < YWS_CLIENT_NUM) {
      /* Read empty, unless new data was announced during the read. */
      std::lock_guard<std::mutex> lk(g_mu);
      if (counts.recvs[c] == before.recvs[c]) counts.announced[c] = false;
    }
    Outcome o;
    o.lines.push_back("+YWSREAD: " + std::to_string(c) + "," + std::to_string(n) + "," +
                      quote(buf));
    return o;
  }

  /* One message at most, with its flags. */
  Outcome read_msg(int c, const std::vector<Param> &p, const Counts &before) {
    int64_t max = 0;
    if (p.size() != 2 || !parse_int(p[1], 1, kReadMax, &max)) return usage("YWSREADMSG");
    std::string buf(static_cast<size_t>(max), '\0');
    int32_t n = static_cast<int32_t>(max), flags = 0;
    int32_t rc = yv_ws_read_msg(c, &buf[0], &n, &flags);
    if (rc != YWS_OK) return error(rc);
    n = n < 0 ? 0 : (n > max ? static_cast<int32_t>(max) : n);
    if (n == 0 && flags == 0 && c < YWS_CLIENT_NUM) {
      /* Nothing waiting, unless new data was announced during the read. */
      std::lock_guard<std::mutex> lk(g_mu);
      if (counts.recvs[c] == before.recvs[c]) counts.announced[c] = false;
    }
    Outcome o;
    o.lines.push_back("+YWSREADMSG: " + std::to_string(c) + "," + std::to_string(n) + "," +
                      std::to_string(flags) + "," +
                      message_text(reinterpret_cast<const uint8_t *>(buf.data()), n, flags));
    return o;
  }

  Outcome close(int c, const std::vector<Param> &p) {
    if (p.size() != 1) return usage("YWSCLOSE");
    /* Closing an idle client is accepted but never notified. */
    bool idle = yv_ws_get_client_conn_state(static_cast<uint8_t>(c)) == YWS_CONN_STA_IDLE;
    Outcome out = result(yv_ws_close_proc(c));
    if (!idle && c < YWS_CLIENT_NUM) out.wait = kClose;
    out.client = c;
    return out;
  }

  /* A TLS context: read back, change its level, or give its files and level
   * ("" for a file not given). Nothing changes when any argument is refused. */
  Outcome tls(int ctx, const std::vector<Param> &p) {
    if (p.size() != 1 && p.size() != 2 && p.size() != 5) return usage("YWSTLS");
    if (yavo_ssl_cfg_get_level(ctx) < 0) return error(YWS_ERR_INVAL_PARM, "no such TLS context");
    if (p.size() == 1) {
      const yv_ssl_config *c = yavo_ssl_cfg_get_by_id(ctx);
      auto path = [](const char *s) { return quote(s ? s : ""); };
      Outcome o;
      o.lines.push_back(
          "+YWSTLS: " + std::to_string(ctx) + "," + std::to_string(yavo_ssl_cfg_get_level(ctx)) +
          "," + path(c ? c->ca_cert_path[0] : nullptr) + "," +
          path(c ? c->own_cert_path : nullptr) + "," + path(c ? c->own_key_path : nullptr));
      return o;
    }
    int64_t level = 0;
    if (!parse_int(p[1], 0, YV_SSL_LEVEL_MAX, &level))
      return error(YWS_ERR_INVAL_PARM, "bad level");
    if (p.size() == 5) {
      for (size_t i = 2; i < 5; i++)
        if (!c_string(p[i])) return error(YWS_ERR_INVAL_PARM, "a quoted path is expected");
      auto path = [&](size_t i) { return p[i].text.empty() ? nullptr : p[i].text.c_str(); };
      if (yavo_ssl_cfg_set(ctx, path(2), path(3), path(4)) != 0) return error(YWS_ERR_INVAL_PARM);
    }
    return result(yavo_ssl_cfg_set_level(ctx, static_cast<int>(level)) == 0 ? YWS_OK
                                                                            : YWS_ERR_INVAL_PARM);
  }

  Outcome state(int c, const std::vector<Param> &p) {
    if (p.size() != 1) return usage("YWSSTATE");
    if (c >= YWS_CLIENT_NUM) return error(YWS_ERR_INVAL_PARM, "no such client");
    uint8_t id = static_cast<uint8_t>(c);
    int st = 0, err = 0, total = 0, unsent = 0;
    /* A client without a record is idle with nothing counted. */
    if (yv_ws_client_get_opt(id, YWS_CLIENT_GET_CONNSTATE, &st) != YWS_OK ||
        yv_ws_client_get_opt(id, YWS_CLIENT_GET_ERRCODE, &err) != YWS_OK ||
        yv_ws_client_get_opt(id, YWS_CLIENT_GET_UNSENT_SIZE, &total, &unsent) != YWS_OK)
      st = err = total = unsent = 0;
    Outcome o;
    o.lines.push_back("+YWSSTATE: " + std::to_string(c) + "," + std::to_string(st) + "," +
                      std::to_string(err) + "," + std::to_string(total) + "," +
                      std::to_string(unsent));
    return o;
  }

  Outcome cause(int c, const std::vector<Param> &p) {
    if (p.size() != 1) return usage("YWSCAUSE");
    int why = 0, code = 0;
    char reason[YWS_CLOSE_REASON_SIZE] = {0};
    yws_err_e r = c < YWS_CLIENT_NUM
                      ? yv_ws_client_get_opt(static_cast<uint8_t>(c), YWS_CLIENT_GET_CLOSE_CAUSE,
                                             &why, &code, reason)
                      : YWS_ERR_INVAL_PARM;
    if (r != YWS_OK) return error(r, "no such client");
    Outcome o;
    o.lines.push_back("+YWSCAUSE: " + std::to_string(c) + "," + std::to_string(why) + "," +
                      std::to_string(code) + "," + quote(reason));
    return o;
  }

  /* Link health: payload bytes and messages each way, last ping round trip,
   * idle time, reconnects, drops. */
  Outcome stat(int c, const std::vector<Param> &p) {
    if (p.size() != 1) return usage("YWSSTAT");
    yws_link_stats_t s{};
    yws_err_e r = c < YWS_CLIENT_NUM
                      ? yv_ws_client_get_opt(static_cast<uint8_t>(c), YWS_CLIENT_GET_LINK_STATS, &s)
                      : YWS_ERR_INVAL_PARM;
    if (r != YWS_OK) return error(r, "no such client");
    Outcome o;
    o.lines.push_back("+YWSSTAT: " + std::to_string(c) + "," + std::to_string(s.tx_bytes) + "," +
                      std::to_string(s.rx_bytes) + "," + std::to_string(s.tx_msgs) + "," +
                      std::to_string(s.rx_msgs) + "," + std::to_string(s.ping_rtt_ms) + "," +
                      std::to_string(s.idle_ms) + "," + std::to_string(s.reconnects) + "," +
                      std::to_string(s.drops));
    return o;
  }

  /* Payload beside what the link carried, each way; -1 when not counted. */
  Outcome wire(int c, const std::vector<Param> &p) {
    if (p.size() != 1) return usage("YWSWIRE");
    yws_wire_stats_t s{};
    yws_err_e r = c < YWS_CLIENT_NUM
                      ? yv_ws_client_get_opt(static_cast<uint8_t>(c), YWS_CLIENT_GET_WIRE_STATS, &s)
                      : YWS_ERR_INVAL_PARM;
    if (r != YWS_OK) return error(r, "no such client");
    auto wire_of = [&](uint64_t v) {
      return s.wire_counted ? std::to_string(v) : std::string("-1");
    };
    Outcome o;
    o.lines.push_back("+YWSWIRE: " + std::to_string(c) + "," + std::to_string(s.tx_bytes) + "," +
                      wire_of(s.tx_wire) + "," + std::to_string(s.rx_bytes) + "," +
                      wire_of(s.rx_wire));
    return o;
  }
};

namespace {

int console_cb(int client_id, yws_parm_t *parm) {
  if (!parm) return 0;
  std::lock_guard<std::mutex> lk(g_mu);
  if (g_active) g_active->on_note(client_id, *parm);
  return 0;
}

}  // namespace

Console::Console(Options opts, Sink sink) : impl_(new Impl) {
  impl_->opts = opts;
  impl_->sink = std::move(sink);
  {
    std::lock_guard<std::mutex> lk(g_mu);
    impl_->previous = g_active;
    g_active = impl_;
  }
  /* A profile in use keeps its callback: it is this one already. */
  for (uint8_t i = 0; i < YWS_CFG_NUM; i++) (void)yv_ws_cfg_set_opt(i, YWS_CFG_RECV_CB, console_cb);
}

Console::~Console() {
  {
    std::lock_guard<std::mutex> lk(g_mu);
    g_active = impl_->previous;
  }
  delete impl_;
}

bool Console::run(const std::string &line) {
  return impl_->run_line(line, impl_->opts.wait);
}

void Console::close_all() {
  for (int c = 0; c < YWS_CLIENT_NUM; c++) {
    /* A client opening or closing is waited for first; two rounds cover an
     * open that ends connected and must then be closed. */
    for (int round = 0; round < 2; round++) {
      Impl::Counts before = impl_->snapshot();
      int st = yv_ws_get_client_conn_state(static_cast<uint8_t>(c));
      if (st == YWS_CONN_STA_IDLE) break;
      if (st == YWS_CONN_STA_CONNECTED) {
        impl_->run_line("AT+YWSCLOSE=" + std::to_string(c), true);
        break;
      }
      if (!impl_->wait_for(st == YWS_CONN_STA_CONNECTING ? Impl::kOpen : Impl::kClose, c, before))
        break;
    }
  }
}

void Console::print(const std::string &line) {
  std::lock_guard<std::mutex> lk(g_mu);
  impl_->emit(line);
}

}  // namespace yws_at
