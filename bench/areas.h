// The test areas the big benchmarks run on, made once and kept for the whole
// run (about 3 GiB in all). Each is taken with malloc and split into banks as
// initNoAlloc splits it, then touched once so no benchmark pays its faults.
#ifndef CELLCHECK_BENCH_AREAS_H_
#define CELLCHECK_BENCH_AREAS_H_

#include "tester/cellchecker.h"

struct BenchArea {
  u32* bankA;
  u32* bankB;
  u64 wordsPerBank;
};

enum class AreaKind {
  // 1,043,398,656 bytes, what start-up takes when 1 GiB + 64 KiB is
  // available, with the huge-page advice the tester gives its area.
  kStartup,
  // 1 GiB: the banks start exactly 512 MiB apart.
  kAligned,
  // The start-up size on small pages only.
  kSmallPages,
};

const BenchArea& benchArea(AreaKind kind);

// Points a tester at an area's banks without the pre-test.
void useArea(Cellchecker& tester, const BenchArea& area);

// How much of an area the kernel put on huge pages, read once it was filled.
struct AreaPages {
  const char* label;
  u64 bytes;
  u64 hugeKiB;
  bool hugePagesWanted;
};

// One line per area made in this run: its size, its share on huge pages, and
// whether an area meant for huge pages stayed mostly on small ones, which
// makes every figure measured on it a small-page figure.
void printHugePageTable();

#endif  // CELLCHECK_BENCH_AREAS_H_
