// MQTT 3.1.1 packets for the interop tests: the few a client sends, and a stream decoder for
// what a broker sends (packets may span or share WebSocket messages). Test-side only: the
// service carries these bytes as binary messages and knows nothing of them.
#pragma once

#include <cstdint>
#include <string>

namespace ywstest {
namespace mqtt {

enum Type : int {
  kConnect = 1,
  kConnack = 2,
  kPublish = 3,
  kPuback = 4,
  kSubscribe = 8,
  kSuback = 9,
  kPingreq = 12,
  kPingresp = 13,
  kDisconnect = 14,
};

std::string connect(const std::string &client_id, uint16_t keepalive_s, bool clean = true);
std::string subscribe(uint16_t packet_id, const std::string &topic, int qos);
std::string publish(const std::string &topic, const std::string &payload, int qos,
                    uint16_t packet_id);
std::string puback(uint16_t packet_id);
std::string pingreq();
std::string disconnect();
// A fixed header and remaining length around `body`.
std::string packet(uint8_t first_byte, const std::string &body);

struct Packet {
  int type = 0;
  int flags = 0;
  std::string body;
};

// The 16-bit id at the start of a PUBACK or SUBACK body; -1 when the body is too short.
int packet_id(const Packet &p);

struct Publish {
  std::string topic;
  int qos = 0;
  int id = -1;  // -1 at QoS 0
  std::string payload;
};
// False for a PUBLISH whose fields do not fit its body, or QoS 3.
bool parse_publish(const Packet &p, Publish *out);

class Stream {
 public:
  enum Result { kNeedMore, kPacket, kMalformed };
  void feed(const std::string &bytes) { buf_ += bytes; }
  // The next whole packet; kMalformed (and stays so) for a remaining length over 4 bytes.
  Result next(Packet *p);
  size_t pending() const { return buf_.size(); }

 private:
  std::string buf_;
  bool bad_ = false;
};

}  // namespace mqtt
}  // namespace ywstest
