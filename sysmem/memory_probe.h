// What start-up learns from the kernel before it takes the test area: the
// RAM installed, new values for the memory tunables, and how much memory a
// process can really obtain and touch.
#ifndef CELLCHECK_SYSMEM_MEMORY_PROBE_H_
#define CELLCHECK_SYSMEM_MEMORY_PROBE_H_

#include "seam/files.h"
#include "seam/measurement.h"

// The RAM the kernel has mapped, in KiB: the sum of meminfo's DirectMap
// lines (DirectMap4k, DirectMap2M, DirectMap1G, whichever there are and
// wherever they stand), which cover all RAM the firmware handed over. 0 when
// the file cannot be read or has no such line: then nothing is known.
u64 kMemInstalled(KernelFiles& kernel);

// Writes `value` as it is (no line feed) to the file `path`. A file that
// cannot be opened prints "ERROR <path>" and nothing else happens.
void procSet(const char* path, const char* value);

// The memory a process can really obtain and touch, in bytes, a multiple of
// kProbeBlockBytes. A child process takes the largest block of whole MiB the
// kernel will commit (starting from the free memory and going down one MiB
// at a time) and zeroes it block by block, counting each finished block in
// `shared` (a word shared with it, see MemoryMeasurement::mapSharedWord). A
// child that is killed on the way leaves the count of the blocks it finished.
// Prints three dots: two from the child, one once it has ended. 0 when no child
// could be made or it got nothing.
u64 calcAvailableRam(MemoryMeasurement& kernel, volatile u64* shared);

constexpr u64 kProbeBlockBytes = 65536;

#endif  // CELLCHECK_SYSMEM_MEMORY_PROBE_H_
