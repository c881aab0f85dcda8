#include "mqtt_codec.h"

namespace ywstest {
namespace mqtt {

namespace {

void put16(std::string &s, size_t v) {
  s += static_cast<char>((v >> 8) & 0xFF);
  s += static_cast<char>(v & 0xFF);
}

void put_str(std::string &s, const std::string &v) {
  put16(s, v.size());
  s += v;
}

size_t get16(const std::string &s, size_t at) {
  return (static_cast<size_t>(static_cast<uint8_t>(s[at])) << 8) | static_cast<uint8_t>(s[at + 1]);
}

}  // namespace

std::string packet(uint8_t first_byte, const std::string &body) {
  std::string out(1, static_cast<char>(first_byte));
  size_t n = body.size();
  do {
    uint8_t b = n % 128;
    n /= 128;
    out += static_cast<char>(n ? (b | 0x80) : b);
  } while (n);
  return out + body;
}

std::string connect(const std::string &client_id, uint16_t keepalive_s, bool clean) {
  std::string b;
  put_str(b, "MQTT");
  b += '\x04';                            // protocol level 3.1.1
  b += static_cast<char>(clean ? 2 : 0);  // connect flags
  put16(b, keepalive_s);
  put_str(b, client_id);
  return packet(0x10, b);
}

std::string subscribe(uint16_t packet_id, const std::string &topic, int qos) {
  std::string b;
  put16(b, packet_id);
  put_str(b, topic);
  b += static_cast<char>(qos);
  return packet(0x82, b);  // SUBSCRIBE's reserved flags are 0010
}

std::string publish(const std::string &topic, const std::string &payload, int qos,
                    uint16_t packet_id) {
  std::string b;
  put_str(b, topic);
  if (qos > 0) put16(b, packet_id);
  return packet(static_cast<uint8_t>(0x30 | (qos << 1)), b + payload);
}

std::string puback(uint16_t packet_id) {
  std::string b;
  put16(b, packet_id);
  return packet(0x40, b);
}

std::string pingreq() {
  return packet(0xC0, "");
}

std::string disconnect() {
  return packet(0xE0, "");
}

int packet_id(const Packet &p) {
  return p.body.size() < 2 ? -1 : static_cast<int>(get16(p.body, 0));
}

bool parse_publish(const Packet &p, Publish *out) {
  if (p.type != kPublish) return false;
  out->qos = (p.flags >> 1) & 3;
  if (out->qos == 3 || p.body.size() < 2) return false;
  size_t tlen = get16(p.body, 0), at = 2 + tlen;
  if (at > p.body.size()) return false;
  out->topic = p.body.substr(2, tlen);
  out->id = -1;
  if (out->qos > 0) {
    if (at + 2 > p.body.size()) return false;
    out->id = static_cast<int>(get16(p.body, at));
    at += 2;
  }
  out->payload = p.body.substr(at);
  return true;
}

Stream::Result Stream::next(Packet *p) {
  if (bad_) return kMalformed;
  size_t len = 0, at = 1;
  for (int shift = 0;; shift += 7, at++) {
    if (at >= buf_.size()) return kNeedMore;
    if (at > 4) return bad_ = true, kMalformed;
    uint8_t b = static_cast<uint8_t>(buf_[at]);
    len |= static_cast<size_t>(b & 0x7F) << shift;
    if (!(b & 0x80)) break;
  }
  at++;
  if (buf_.size() - at < len) return kNeedMore;
  uint8_t first = static_cast<uint8_t>(buf_[0]);
  p->type = first >> 4;
  p->flags = first & 0x0F;
  p->body = buf_.substr(at, len);
  buf_.erase(0, at + len);
  return kPacket;
}

}  // namespace mqtt
}  // namespace ywstest
