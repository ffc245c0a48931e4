// The integer types and sizes every layer shares: the tester's words and
// counts, the kernel seam's byte figures.
#ifndef CELLCHECK_BASE_TYPES_H_
#define CELLCHECK_BASE_TYPES_H_

#include <cstdint>

using u32 = uint32_t;
using u64 = uint64_t;

constexpr u64 kMiB = u64{1} << 20;
// An x86-64 huge page: the test area asks the kernel for these, and the
// report's picture takes one physical address per huge page of the area.
constexpr u64 kHugePageBytes = 2 * kMiB;

#endif  // CELLCHECK_BASE_TYPES_H_
