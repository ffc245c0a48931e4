// The one value for a physical address that could not be learnt, from the
// kernel seam's answers up to the lines, the events and the report.
#ifndef CELLCHECK_BASE_UNKNOWN_ADDRESS_H_
#define CELLCHECK_BASE_UNKNOWN_ADDRESS_H_

#include "base/types.h"

// Physical address 0 is never RAM that a test could use (the firmware keeps
// the first page), but a plain 0 would read as a real address, and one
// layer's "unknown" would be another's first byte of memory.
constexpr u64 kUnknownAddress = ~u64{0};

#endif  // CELLCHECK_BASE_UNKNOWN_ADDRESS_H_
