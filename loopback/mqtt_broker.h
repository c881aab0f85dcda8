// Debian's mosquitto as a child process: a plain MQTT listener, a WebSocket listener and, with
// certificates, a WebSocket listener over its own TLS, each on a free loopback port, from a
// configuration written into a temporary directory. Runs in the foreground as the user running
// the test, persists nothing, and ends with the object.
#pragma once

#include <chrono>
#include <string>

#include "child_proc.h"
#include "ws_test_server.h"

namespace ywstest {

class MqttBroker {
 public:
  static constexpr const char *kBinary = "/usr/sbin/mosquitto";
  static constexpr const char *kPub = "/usr/bin/mosquitto_pub";
  static constexpr const char *kSub = "/usr/bin/mosquitto_sub";
  static bool available() {
    return have_program(kBinary) && have_program(kPub) && have_program(kSub);
  }

  // cert/key empty: no TLS listener (wss_port() 0). ok() tells whether it came up.
  MqttBroker(const std::string &cert = "", const std::string &key = "");
  ~MqttBroker();
  MqttBroker(const MqttBroker &) = delete;
  MqttBroker &operator=(const MqttBroker &) = delete;

  bool ok() const { return up_; }
  int tcp_port() const { return tcp_; }
  int ws_port() const { return ws_; }
  int wss_port() const { return wss_; }
  // Stops it (connections drop) and starts it again on the same ports.
  bool restart();
  void stop();
  std::string log();

  // mosquitto_pub over TCP, QoS 1; true when it exited 0.
  bool publish(const std::string &topic, const std::string &payload);

 private:
  bool start();
  TempDir dir_;
  ChildProc proc_;
  int tcp_ = 0, ws_ = 0, wss_ = 0;
  std::string cert_, key_;
  bool up_ = false;
};

// mosquitto_sub over TCP for `count` messages on `topic` (QoS 1), "<topic> <payload>" per line.
class MqttSubscriber {
 public:
  MqttSubscriber(const MqttBroker &broker, const std::string &topic, int count);
  // True once the broker acknowledged the subscription (bounded).
  bool subscribed(std::chrono::milliseconds t = std::chrono::milliseconds(5000));
  // The "<topic> <payload>" lines once `count` arrived (bounded; fewer when time ran out).
  std::vector<std::string> lines(std::chrono::milliseconds t = std::chrono::milliseconds(10000));

 private:
  ChildProc proc_;
  int count_;
};

}  // namespace ywstest
