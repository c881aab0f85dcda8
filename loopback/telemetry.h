// A JSON telemetry sample as a module sends it, shared by the compression tests and the
// benchmark: messages of 200 B to 4 KiB of readings with varying numbers.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace ywstest {

std::vector<std::string> telemetry(size_t n, unsigned seed);

}  // namespace ywstest
