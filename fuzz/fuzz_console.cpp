/*
 * Runs the input through the AT console, line by line, with the engine in dry
 * mode (no connection is ever opened, so no thread starts) and without waits,
 * and traps when a promise of the console breaks: a command prints its echo,
 * then only "+" lines, then exactly one OK or ERROR line; comments print
 * nothing; no printed line holds a control byte; quoted data reads back
 * unchanged.
 */
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "at_console.h"
#include "yv_api_websocket.h"
#include "yv_rtos_test.h"

namespace {

/* Formats every trace line, so a bad trace argument shows, without output. */
void quiet_sink(const char *, void *) {}

std::vector<std::string> g_lines;

yws_at::Console &console() {
  static yws_at::Console *c = [] {
    yv_trace_set_sink(quiet_sink, nullptr);
    yws_at::Console::Options o;
    o.dry = true;
    o.wait = false;
    return new yws_at::Console(o, [](const std::string &l) { g_lines.push_back(l); });
  }();
  return *c;
}

bool printable(const std::string &s) {
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

void run_line(const std::string &line) {
  g_lines.clear();
  console().run(line);
  for (const std::string &l : g_lines) check(printable(l));
  if (yws_at::is_comment(line)) {
    check(g_lines.empty());
    return;
  }
  check(g_lines.size() >= 2);
  const std::string &last = g_lines.back();
  check(last == "OK" || last.compare(0, 7, "ERROR: ") == 0);
  for (size_t i = 1; i + 1 < g_lines.size(); i++) check(g_lines[i][0] == '+');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string in(reinterpret_cast<const char *>(data), size);

  std::vector<yws_at::Param> p;
  std::string why;
  check(yws_at::parse_params(yws_at::quote(in), &p, &why) && p.size() == 1 && p[0].quoted &&
        p[0].text == in);

  for (size_t from = 0; from <= in.size();) {
    size_t nl = in.find('\n', from);
    if (nl == std::string::npos) nl = in.size();
    run_line(in.substr(from, nl - from));
    from = nl + 1;
  }
  /* Keeps the header lists small across inputs. */
  for (int cfg = 0; cfg < YWS_CFG_NUM; cfg++)
    console().run("AT+YWSCFG=\"reqheader/remove\"," + std::to_string(cfg));
  return 0;
}
