// The reference: the bare single-thread libwebsockets client of the test servers, driven the
// same way as the service (same messages, same server, same clock).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "bare_client.h"
#include "service_side.h"

namespace bench {

std::vector<double> bare_rtt(ywstest::BareClient &bc, size_t size, size_t samples, size_t warmup);
// Keeps `window_bytes` of messages in flight (at least one message).
EchoRate bare_echo(ywstest::BareClient &bc, size_t size, double warm, double seconds,
                   size_t window_bytes);
// Connects to a pushing server and times `total` bytes from the end of the handshake.
ReceiveRate bare_receive(const std::string &url, uint64_t total);

}  // namespace bench
