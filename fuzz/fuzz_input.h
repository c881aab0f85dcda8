/* Reading a fuzz input as a stream of small values. */
#ifndef FUZZ_INPUT_H
#define FUZZ_INPUT_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

struct input_t {
  const uint8_t *p;
  size_t n;
};

/* The next byte, 0 once the input is used up. */
inline uint8_t byte(input_t *in) {
  if (in->n == 0) return 0;
  in->n--;
  return *in->p++;
}

/* Up to len bytes, fewer at the end of the input. */
inline std::string bytes(input_t *in, size_t len) {
  len = std::min(len, in->n);
  std::string s(reinterpret_cast<const char *>(in->p), len);
  in->p += len;
  in->n -= len;
  return s;
}

inline void check(bool ok) {
  if (!ok) __builtin_trap();
}

#endif
