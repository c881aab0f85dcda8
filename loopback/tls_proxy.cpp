#include "tls_proxy.h"

#include <fstream>
#include <sstream>

namespace ywstest {

namespace {

void server_block(std::ostream &c, int port, const std::string &cert, const std::string &key,
                  const std::vector<TlsProxy::Route> &routes, int dead_port) {
  c << "  server {\n"
    << "    listen 127.0.0.1:" << port << " ssl;\n"
    << "    ssl_certificate " << cert << ";\n"
    << "    ssl_certificate_key " << key << ";\n";
  for (const auto &r : routes)
    c << "    location " << r.path << " {\n"
      << "      proxy_pass http://127.0.0.1:" << (r.backend_port ? r.backend_port : dead_port)
      << ";\n"
      << "      proxy_http_version 1.1;\n"
      << "      proxy_set_header Upgrade $http_upgrade;\n"
      << "      proxy_set_header Connection $connection_upgrade;\n"
      << "      proxy_set_header Host $host;\n"
      << "      proxy_read_timeout " << r.read_timeout_s << "s;\n"
      << "    }\n";
  c << "  }\n";
}

}  // namespace

TlsProxy::TlsProxy(const Options &o) {
  if (!available()) return;
  for (int attempt = 0; attempt < 2 && !up_; attempt++) {
    port_ = free_loopback_port();
    other_port_ = o.other_cert.empty() ? 0 : free_loopback_port();
    up_ = start(o);
  }
}

TlsProxy::~TlsProxy() {
  proc_.stop();
}

bool TlsProxy::start(const Options &o) {
  const std::string d = dir_.path();
  // A port nothing listens on, for routes without a backend: nginx answers them 502.
  int dead_port = free_loopback_port();
  std::ofstream c(d + "/nginx.conf");
  c << "worker_processes 1;\n"
    << "user " << current_user() << ";\n"
    << "pid " << d << "/nginx.pid;\n"
    << "error_log " << d << "/error.log info;\n"
    << "events { worker_connections 64; }\n"
    << "http {\n"
    << "  access_log " << d << "/access.log;\n"
    << "  client_body_temp_path " << d << "/client_body;\n"
    << "  proxy_temp_path " << d << "/proxy;\n"
    << "  fastcgi_temp_path " << d << "/fastcgi;\n"
    << "  uwsgi_temp_path " << d << "/uwsgi;\n"
    << "  scgi_temp_path " << d << "/scgi;\n"
    << "  map $http_upgrade $connection_upgrade { default upgrade; '' close; }\n";
  server_block(c, port_, o.cert, o.key, o.routes, dead_port);
  if (other_port_) server_block(c, other_port_, o.other_cert, o.other_key, o.routes, dead_port);
  c << "}\n";
  c.close();
  // -p and -e keep nginx off its system prefix and log from the first line on.
  if (!proc_.start(
          {kBinary, "-p", d, "-e", d + "/error.log", "-c", d + "/nginx.conf", "-g", "daemon off;"}))
    return false;
  for (int port : {port_, other_port_})
    if (port && !wait_listening(port, std::chrono::milliseconds(5000))) {
      proc_.stop();
      return false;
    }
  return proc_.running();
}

namespace {

std::string read_all(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

std::string TlsProxy::log() {
  return read_all(dir_.file("error.log")) + proc_.output();
}

std::string TlsProxy::access_log() {
  return read_all(dir_.file("access.log"));
}

}  // namespace ywstest
