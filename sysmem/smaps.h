// How much of a stretch of this process's memory the kernel backs with
// transparent huge pages, from the process's smaps file.
#ifndef CELLCHECK_SYSMEM_SMAPS_H_
#define CELLCHECK_SYSMEM_SMAPS_H_

#include "base/types.h"

// KiB on huge pages (the AnonHugePages figures) in the mappings of the smaps
// file at `path` that overlap [begin, begin + bytes); a mapping that reaches
// past the stretch counts whole. False, and *kib untouched, when the file
// cannot be opened. Allocates only what opening a file takes.
bool hugePagesKiB(const char* path, const void* begin, u64 bytes, u64* kib);

// Whether a stretch with `hugeKiB` of its `bytes` on huge pages is mostly on
// small pages: less than half of it on huge ones. A random probe that lands
// on a small page pays a page walk (the decay test runs 1.65 times as fast
// on huge pages as on small ones on the development machine's Xeon), so
// below half the random-access tests lose a quarter of their speed or more.
// Above it, what is left on small pages is the usual: the two ends of the
// area that hold no whole huge page, and memory the kernel could not gather
// into free 2 MiB blocks at the top of a nearly full machine.
bool mostlySmallPages(u64 hugeKiB, u64 bytes);

#endif  // CELLCHECK_SYSMEM_SMAPS_H_
