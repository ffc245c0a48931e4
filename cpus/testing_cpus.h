// Which CPUs test, in which order, and where each worker's slice of the
// banks lies in memory. One worker per CPU this process may run on (at most
// as many as asked for), grouped by memory node, so that neighbouring
// slices of the banks lie on the same node and each worker tests memory of
// its own node.
#ifndef CELLCHECK_CPUS_TESTING_CPUS_H_
#define CELLCHECK_CPUS_TESTING_CPUS_H_

#include <string>
#include <vector>

#include "base/types.h"
#include "seam/files.h"
#include "seam/processors.h"

struct TestingCpus {
  // Worker k runs on cpus[k], next to memory node nodes[k] (-1 when the
  // kernel does not say, or the node has no memory of its own).
  std::vector<unsigned> cpus;
  std::vector<int> nodes;
  // The memory nodes the workers' slices are on: at least 1.
  unsigned memoryNodes = 1;
};

// "0-3,8,10-11", the kernel's list of CPUs or nodes, ascending; empty for
// anything malformed.
std::vector<unsigned> parseCpuList(const std::string& text);

// The CPUs to test with: every CPU this process may run on, or at most
// `cap` of them (0: no cap), taken from each node in turn so that a cap
// still uses every node's memory. Without an answer from the kernel, CPU 0
// alone.
TestingCpus chooseTestingCpus(KernelProcessors& processors, KernelFiles& files,
                              unsigned cap);

// "Testing with 4 CPUs on 2 memory nodes".
std::string testingCpusLine(unsigned cpus, unsigned memoryNodes);

// Asks that each worker's slice of both banks of the test area come from
// its node when the area is first brought in (before it is locked). The
// area's pages are placed at page granularity: a page shared by two slices
// goes with the first. Nothing with one node. Returns the number of
// stretches the kernel refused.
unsigned placeSlices(KernelProcessors& processors, char* area, u64 areaBytes,
                     const TestingCpus& testing);

// Worker k's slice of the test area, as two stretches of whole pages (in
// bank A and in bank B), for placement and for checking where it is.
struct SliceStretch {
  char* begin;
  u64 bytes;
};
void sliceStretches(char* area, u64 areaBytes, unsigned workers,
                    unsigned worker, SliceStretch* inA, SliceStretch* inB);

#endif  // CELLCHECK_CPUS_TESTING_CPUS_H_
