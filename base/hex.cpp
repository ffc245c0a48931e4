#include "base/hex.h"

size_t formatHex(u64 value, char* out) {
  char digits[16];
  int n = 0;
  do {
    digits[n++] = "0123456789abcdef"[value & 15];
    value >>= 4;
  } while (value != 0);
  size_t length = 0;
  out[length++] = '0';
  out[length++] = 'x';
  while (n > 0) out[length++] = digits[--n];
  out[length] = '\0';
  return length;
}

std::string hex(u64 value) {
  char text[kHexBytes];
  const size_t length = formatHex(value, text);
  return std::string(text, length);
}
