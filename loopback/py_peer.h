// The echo server of python3-websockets (loopback/py_ws_server.py) as a child process: an
// implementation of WebSocket and per-message deflate that shares no code with ours or with
// libwebsockets. Ends with the object, in a bounded time.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace ywstest {

class PyPeer {
 public:
  // Starts it and waits (bounded) for its port; port() is 0 when it did not come up. With a
  // certificate and key it serves wss.
  PyPeer();
  PyPeer(const std::string &cert, const std::string &key);
  ~PyPeer();
  PyPeer(const PyPeer &) = delete;
  PyPeer &operator=(const PyPeer &) = delete;

  int port() const { return port_; }
  // "<offer>|<answer>" of each connection so far ("-": no extension header); waits up to
  // `ms` for at least one.
  std::vector<std::string> extensions(int ms = 2000);

 private:
  bool read_line(std::string *line, int ms);
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  int port_ = 0;
  std::string pending_;
  std::vector<std::string> ext_;
};

}  // namespace ywstest
