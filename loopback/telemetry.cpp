#include "telemetry.h"

#include <cstdio>
#include <random>

namespace ywstest {

std::vector<std::string> telemetry(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  auto rng = [&gen] { return static_cast<unsigned>(gen()); };
  const char *sensors[] = {"temp", "humidity", "pressure", "rssi", "battery", "gps"};
  std::vector<std::string> out;
  for (size_t i = 0; i < n; i++) {
    size_t target = 200 + rng() % (4096 - 200);
    char head[96];
    std::snprintf(head, sizeof(head),
                  "{\"device\":\"mod-%04u\",\"seq\":%zu,\"ts\":%u,\"readings\":[", rng() % 10000, i,
                  1700000000u + static_cast<unsigned>(rng() % 100000));
    std::string s = head;
    char item[128];
    while (s.size() + 80 < target) {
      std::snprintf(item, sizeof(item), "%s{\"sensor\":\"%s\",\"value\":%u.%02u,\"ok\":%s}",
                    s.back() == '[' ? "" : ",", sensors[rng() % 6], rng() % 1000, rng() % 100,
                    rng() % 8 ? "true" : "false");
      s += item;
    }
    s += "]}";
    while (s.size() < target) s.insert(s.size() - 2, " ");
    out.push_back(s);
  }
  return out;
}

}  // namespace ywstest
