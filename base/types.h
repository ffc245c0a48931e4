// The integer types and sizes every layer shares: the tester's words and
// counts, the kernel seam's byte figures.
#ifndef CELLCHECK_BASE_TYPES_H_
#define CELLCHECK_BASE_TYPES_H_

#include <cstdint>

using u32 = uint32_t;
using u64 = uint64_t;

constexpr u64 kMiB = u64{1} << 20;

#endif  // CELLCHECK_BASE_TYPES_H_
