// The kernel tunables start-up writes, as one table (seam/tunables.inc):
// each one's ProcFile, path and value.
#ifndef CELLCHECK_SEAM_TUNABLES_H_
#define CELLCHECK_SEAM_TUNABLES_H_

#include "seam/files.h"

struct Tunable {
  ProcFile file;
  const char* path;
  const char* value;  // what start-up writes there
};

constexpr Tunable kTunables[] = {
#define TUNABLE(name, path, value) {ProcFile::name, path, value},
#include "seam/tunables.inc"
#undef TUNABLE
};

constexpr int kTunableCount = sizeof kTunables / sizeof kTunables[0];

// The enum and the table come from the one list: the tunables follow
// kMeminfo in the table's order, which is what lets a ProcFile index a
// table of files.
constexpr bool tunablesFollowMeminfo() {
  for (int i = 0; i < kTunableCount; ++i) {
    if (static_cast<int>(kTunables[i].file) != i + 1) return false;
  }
  return true;
}
static_assert(tunablesFollowMeminfo(), "ProcFile and kTunables disagree");

// The tunable `file` stands for; null for a ProcFile that is none
// (kMeminfo).
constexpr const Tunable* tunableOf(ProcFile file) {
  for (const Tunable& tunable : kTunables) {
    if (tunable.file == file) return &tunable;
  }
  return nullptr;
}

#endif  // CELLCHECK_SEAM_TUNABLES_H_
