// Debian's nginx as a TLS-terminating WebSocket reverse proxy, a child process of the test: a
// configuration written into a temporary directory (pid, logs and temporary files there too),
// one or two TLS server blocks on free loopback ports, locations that pass the upgrade to
// loopback backends. Runs in the foreground as the user running the test; ends with the object.
#pragma once

#include <string>
#include <vector>

#include "child_proc.h"
#include "ws_test_server.h"

namespace ywstest {

class TlsProxy {
 public:
  static constexpr const char *kBinary = "/usr/sbin/nginx";
  static bool available() { return have_program(kBinary); }

  struct Route {
    std::string path;      // location prefix, e.g. "/echo"
    int backend_port = 0;  // plain ws backend on 127.0.0.1; 0: a port nothing listens on (502)
    int read_timeout_s = 60;
  };
  struct Options {
    std::string cert, key;              // served chain (leaf first) and its key
    std::string other_cert, other_key;  // non-empty: a second server block on other_port()
    std::vector<Route> routes;          // on both blocks
  };

  explicit TlsProxy(const Options &o);
  ~TlsProxy();
  TlsProxy(const TlsProxy &) = delete;
  TlsProxy &operator=(const TlsProxy &) = delete;

  bool ok() const { return up_; }
  int port() const { return port_; }
  int other_port() const { return other_port_; }
  std::string log();         // nginx's error log and its output
  std::string access_log();  // one line per request, with the status nginx answered

 private:
  bool start(const Options &o);
  TempDir dir_;
  ChildProc proc_;
  int port_ = 0, other_port_ = 0;
  bool up_ = false;
};

}  // namespace ywstest
