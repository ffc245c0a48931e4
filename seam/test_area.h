// The kernel seam, test area role: the one block the program tests, taken
// once, kept where it is in physical memory, and asked where each of its
// bytes lies.
//
// Failure convention: a refusal reads as nothing: null for memory not
// given, false for a request refused, kUnknownAddress for an address not
// known. Never a guess.
#ifndef CELLCHECK_SEAM_TEST_AREA_H_
#define CELLCHECK_SEAM_TEST_AREA_H_

#include "base/types.h"
#include "base/unknown_address.h"

class TestAreaMemory {
 public:
  virtual ~TestAreaMemory() = default;

  // `bytes` of committed memory, never freed.
  virtual char* allocateArea(u64 bytes) = 0;
  // Keeps the `bytes` at `area` in RAM (mlock), bringing them in now.
  // Refused under a memory-lock limit, as in a user namespace, or without
  // the right to lock.
  virtual bool lockArea(char* area, u64 bytes) = 0;
  // From now on the kernel gathers no more of this process's small pages
  // into huge pages (which moves them); huge pages already there stay.
  virtual bool stopHugePageCollapse() = 0;
  // The physical address of the byte at `address` of this process right
  // now, from the kernel's page map; kUnknownAddress when the page is not in
  // RAM, the page map cannot be read, or the process has no right to frame
  // numbers (the kernel then shows them as 0, as it does inside a user
  // namespace). Asked on the error path: no allocation.
  virtual u64 physicalAddress(const void* address) = 0;
};

#endif  // CELLCHECK_SEAM_TEST_AREA_H_
