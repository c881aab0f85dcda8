/*
 * yws-link: a cellular-like link between a client and a server on 127.0.0.1, with
 * commands on standard input to change it while it runs. See kUsage.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include "link_emu.h"
#include "ws_test_server.h"

namespace {

const char kUsage[] =
    "usage: yws-link --listen PORT (--target PORT | --echo) [--profile 2g|3g|lte]\n"
    "                [--delay MS] [--jitter MS] [--rate BYTES_PER_S]\n"
    "\n"
    "Proxies 127.0.0.1:PORT (--listen, 0 = any free port) to 127.0.0.1:PORT (--target).\n"
    "--echo starts a loopback WebSocket echo server as the target.\n"
    "--delay, --jitter and --rate set both directions, after --profile.\n"
    "Commands on standard input:\n"
    "  blackout MS            hold every byte both ways for MS ms (0 ends it)\n"
    "  reset                  reset every proxied connection (RST both sides)\n"
    "  stall on|off           stop / resume reading from the client\n"
    "  delay up|down MS [JITTER]   rate up|down BYTES_PER_S (0 = unlimited)\n"
    "  profile 2g|3g|lte|none stats   quit\n";

bool profile_named(const std::string &n, ywstest::LinkProfile &p) {
  if (n == "2g")
    p = ywstest::kLink2G;
  else if (n == "3g")
    p = ywstest::kLink3G;
  else if (n == "lte")
    p = ywstest::kLinkLTE;
  else if (n == "none")
    p = {};
  else
    return false;
  return true;
}

bool side_named(const std::string &n, ywstest::LinkSide &s) {
  if (n == "up")
    s = ywstest::LinkSide::up;
  else if (n == "down")
    s = ywstest::LinkSide::down;
  else
    return false;
  return true;
}

void print_stats(const ywstest::LinkEmu &emu) {
  ywstest::LinkProfile p = emu.profile();
  std::printf("stats: up %llu B, down %llu B, accepted %d, open %d%s\n",
              static_cast<unsigned long long>(emu.bytes_up()),
              static_cast<unsigned long long>(emu.bytes_down()), emu.accepted(),
              emu.open_connections(), emu.in_blackout() ? ", blackout" : "");
  std::printf("up: %d ms +- %d ms, %llu B/s; down: %d ms +- %d ms, %llu B/s\n", p.up.delay_ms,
              p.up.jitter_ms, static_cast<unsigned long long>(p.up.rate), p.down.delay_ms,
              p.down.jitter_ms, static_cast<unsigned long long>(p.down.rate));
}

// One command line; false on quit.
bool run_command(ywstest::LinkEmu &emu, const std::string &line) {
  std::istringstream in(line);
  std::string cmd, a;
  in >> cmd;
  if (cmd.empty() || cmd[0] == '#') return true;
  bool ok = true;
  if (cmd == "quit" || cmd == "exit") {
    return false;
  } else if (cmd == "blackout") {
    int ms = -1;
    ok = static_cast<bool>(in >> ms) && ms >= 0;
    if (ok) emu.blackout(ms);
  } else if (cmd == "reset") {
    emu.reset();
  } else if (cmd == "stall") {
    ok = static_cast<bool>(in >> a) && (a == "on" || a == "off");
    if (ok) emu.stall_server_reads(a == "on");
  } else if (cmd == "delay" || cmd == "rate") {
    ywstest::LinkSide side;
    long long v = -1, j = 0;
    ok = (in >> a) && side_named(a, side) && (in >> v) && v >= 0;
    if (ok && cmd == "delay" && !(in >> j)) j = 0;
    ok = ok && j >= 0 && j <= v;
    if (ok) {
      ywstest::LinkProfile p = emu.profile();
      ywstest::LinkDir d = side == ywstest::LinkSide::up ? p.up : p.down;
      if (cmd == "delay") {
        d.delay_ms = static_cast<int>(v);
        d.jitter_ms = static_cast<int>(j);
      } else {
        d.rate = static_cast<uint64_t>(v);
      }
      emu.set_dir(side, d);
    }
  } else if (cmd == "profile") {
    ywstest::LinkProfile p;
    ok = (in >> a) && profile_named(a, p);
    if (ok) emu.set_profile(p);
  } else if (cmd == "stats") {
    print_stats(emu);
  } else {
    ok = false;
  }
  std::puts(ok ? "OK" : "ERROR");
  std::fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  int listen_port = -1, target = -1;
  bool echo = false;
  long long delay = -1, jitter = -1, rate = -1;
  ywstest::LinkProfile prof;
  for (int i = 1; i < argc; ++i) {
    std::string o = argv[i];
    if (o == "--echo") {
      echo = true;
      continue;
    }
    if (o == "--help" || o == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      std::fputs(kUsage, stderr);
      return 2;
    }
    std::string v = argv[++i];
    char *end = nullptr;
    long long n = std::strtoll(v.c_str(), &end, 10);
    bool num = !v.empty() && *end == '\0' && n >= 0;
    if (o == "--profile" && profile_named(v, prof)) continue;
    if (num && o == "--listen" && n <= 65535)
      listen_port = static_cast<int>(n);
    else if (num && o == "--target" && n > 0 && n <= 65535)
      target = static_cast<int>(n);
    else if (num && o == "--delay")
      delay = n;
    else if (num && o == "--jitter")
      jitter = n;
    else if (num && o == "--rate")
      rate = n;
    else {
      std::fprintf(stderr, "yws-link: bad option %s %s\n%s", o.c_str(), v.c_str(), kUsage);
      return 2;
    }
  }
  if (listen_port < 0 || (target < 0) == !echo) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  for (ywstest::LinkDir *d : {&prof.up, &prof.down}) {
    if (delay >= 0) d->delay_ms = static_cast<int>(delay);
    if (jitter >= 0) d->jitter_ms = static_cast<int>(jitter);
    if (rate >= 0) d->rate = static_cast<uint64_t>(rate);
  }
  try {
    std::unique_ptr<ywstest::WsServer> server;
    if (echo) {
      server = std::make_unique<ywstest::WsServer>();
      target = server->port();
    }
    ywstest::LinkEmu emu(target, prof, listen_port);
    std::printf("yws-link: 127.0.0.1:%d -> 127.0.0.1:%d\n", emu.port(), target);
    print_stats(emu);
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line))
      if (!run_command(emu, line)) break;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "yws-link: %s\n", e.what());
    return 1;
  }
  return 0;
}
