// Numbers in hex as every message writes them: "0x" and lowercase digits
// without leading zeros ("0x0" for zero).
#ifndef CELLCHECK_BASE_HEX_H_
#define CELLCHECK_BASE_HEX_H_

#include <cstddef>
#include <string>

#include "base/types.h"

// The longest text with its terminating zero: "0x" and 16 digits.
constexpr size_t kHexBytes = 19;

// Writes `value` to `out` (kHexBytes at least) and returns the text's
// length. No allocation and no C library call: safe in a signal handler.
size_t formatHex(u64 value, char* out);

// The same as a string.
std::string hex(u64 value);

#endif  // CELLCHECK_BASE_HEX_H_
