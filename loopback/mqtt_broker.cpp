#include "mqtt_broker.h"

#include <fstream>
#include <sstream>

namespace ywstest {

namespace {

using std::chrono::milliseconds;

}  // namespace

MqttBroker::MqttBroker(const std::string &cert, const std::string &key) : cert_(cert), key_(key) {
  if (!available()) return;
  // A port taken between the check and the bind fails the start: try fresh ports once more.
  for (int attempt = 0; attempt < 2 && !up_; attempt++) {
    tcp_ = free_loopback_port();
    ws_ = free_loopback_port();
    wss_ = cert_.empty() ? 0 : free_loopback_port();
    up_ = start();
  }
}

MqttBroker::~MqttBroker() {
  stop();
}

bool MqttBroker::start() {
  std::ofstream conf(dir_.file("mosquitto.conf"));
  conf << "per_listener_settings false\n"
       << "allow_anonymous true\n"
       << "persistence false\n"
       << "user " << current_user() << "\n"
       << "log_dest file " << dir_.file("mosquitto.log") << "\n"
       << "log_type error\nlog_type warning\nlog_type notice\nlog_type information\n"
       << "listener " << tcp_
       << " 127.0.0.1\n"
       // mosquitto 2.0.11 binds a WebSocket listener to every address when given one; an
       // interface name keeps it on loopback.
       << "listener " << ws_ << " lo\nprotocol websockets\n";
  if (wss_)
    conf << "listener " << wss_ << " lo\nprotocol websockets\n"
         << "certfile " << cert_ << "\nkeyfile " << key_ << "\n";
  conf.close();
  if (!proc_.start({kBinary, "-c", dir_.file("mosquitto.conf")})) return false;
  for (int port : {tcp_, ws_, wss_})
    if (port && !wait_listening(port, milliseconds(5000))) {
      proc_.stop();
      return false;
    }
  return proc_.running();
}

bool MqttBroker::restart() {
  proc_.stop();
  return up_ = start();
}

void MqttBroker::stop() {
  proc_.stop();
  up_ = false;
}

std::string MqttBroker::log() {
  std::ifstream in(dir_.file("mosquitto.log"));
  std::stringstream s;
  s << in.rdbuf();
  return s.str() + proc_.output();
}

bool MqttBroker::publish(const std::string &topic, const std::string &payload) {
  RunResult r = run_program(
      {kPub, "-h", "127.0.0.1", "-p", std::to_string(tcp_), "-q", "1", "-t", topic, "-m", payload},
      milliseconds(10000));
  return r.exit_code == 0;
}

MqttSubscriber::MqttSubscriber(const MqttBroker &broker, const std::string &topic, int count)
    : count_(count) {
  // -d tells the SUBACK, -v prefixes each message with its topic, -W bounds the whole run; its
  // standard output is line-buffered, or a pipe would see the SUBACK only at its end.
  proc_.start({"/usr/bin/stdbuf", "-oL", MqttBroker::kSub, "-h", "127.0.0.1", "-p",
               std::to_string(broker.tcp_port()), "-q", "1", "-t", topic, "-C",
               std::to_string(count), "-W", "20", "-v", "-d"});
}

bool MqttSubscriber::subscribed(milliseconds t) {
  return proc_.wait_output("received SUBACK", t);
}

std::vector<std::string> MqttSubscriber::lines(milliseconds t) {
  proc_.wait_exit(t);
  std::vector<std::string> out;
  std::istringstream in(proc_.output());
  std::string line;
  // Debug lines start with "Client "; the rest are messages.
  while (std::getline(in, line))
    if (line.rfind("Client ", 0) != 0 && line.rfind("Subscribed", 0) != 0 && !line.empty())
      out.push_back(line);
  if (static_cast<int>(out.size()) > count_) out.resize(static_cast<size_t>(count_));
  return out;
}

}  // namespace ywstest
