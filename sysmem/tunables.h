// The kernel tunables that start-up writes, in the order of their ProcFile
// entries (after kMeminfo). The list itself is sysmem/tunables.inc, C string
// literals one a line, which the fault lab reads as well: a tunable added
// there is known to the program, its fake kernel, the lab's probe and the
// lab's host check at once.
#ifndef CELLCHECK_SYSMEM_TUNABLES_H_
#define CELLCHECK_SYSMEM_TUNABLES_H_

constexpr const char* kTunablePaths[] = {
#include "sysmem/tunables.inc"
};

constexpr int kTunableCount = sizeof kTunablePaths / sizeof kTunablePaths[0];

#endif  // CELLCHECK_SYSMEM_TUNABLES_H_
