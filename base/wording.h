// Small pieces of the program's messages, shared by every layer.
#ifndef CELLCHECK_BASE_WORDING_H_
#define CELLCHECK_BASE_WORDING_H_

#include <cstdio>
#include <string>

#include "base/types.h"

// A u64 as printf's %llu takes it (u64 is unsigned long here).
inline unsigned long long ull(u64 n) { return n; }

// `one` for a count of 1, `many` for any other count (0 included).
inline const char* plural(u64 n, const char* one, const char* many) {
  return n == 1 ? one : many;
}

// `value` with `decimals` digits after the point, as "%.*f" writes it.
inline std::string fixed(double value, int decimals) {
  char text[64];
  snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

#endif  // CELLCHECK_BASE_WORDING_H_
