// The kernel seam, processors role: the CPUs this process may run on, a
// thread kept on one of them, and the memory node that backs a stretch of
// the test area. The memory nodes themselves (which exist, which CPUs each
// has) are read from /sys through the files role.
//
// Failure convention: a call that can fail returns 0 when it did what it
// says and the error number (errno) when not; a question the kernel cannot
// answer reads as nothing (an empty list, -1 for a node).
#ifndef CELLCHECK_SEAM_PROCESSORS_H_
#define CELLCHECK_SEAM_PROCESSORS_H_

#include <vector>

#include "base/types.h"

class KernelProcessors {
 public:
  virtual ~KernelProcessors() = default;

  // The CPUs this process may run on (its affinity), ascending; empty when
  // the kernel would not say.
  virtual std::vector<unsigned> allowedCpus() = 0;
  // Keeps the calling thread on `cpu` from now on. Called on several
  // threads at once.
  virtual int pinThread(unsigned cpu) = 0;
  // The pages of [begin, begin + bytes) that are not yet in RAM come from
  // memory node `node` when they are first touched (or locked), from
  // another node only when that one has none left. `begin` and `bytes` are
  // whole pages.
  virtual int placeOnNode(void* begin, u64 bytes, unsigned node) = 0;
  // The node of the page at `address` now: -1 when not in RAM or not known.
  virtual int nodeOfPage(const void* address) = 0;
};

#endif  // CELLCHECK_SEAM_PROCESSORS_H_
