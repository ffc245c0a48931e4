#include "bench/areas.h"

#include <sys/mman.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/bank_split.h"
#include "sysmem/linux_kernel.h"

namespace {

constexpr u64 kStartupBytes = 1043398656;
constexpr u64 kAlignedBytes = u64{1} << 30;

// Huge pages (KiB) in the mappings that overlap [begin, begin + bytes), from
// /proc/self/smaps.
u64 hugePagesKiB(const char* begin, u64 bytes) {
  FILE* smaps = fopen("/proc/self/smaps", "r");
  if (smaps == nullptr) return 0;
  const uintptr_t first = reinterpret_cast<uintptr_t>(begin);
  const uintptr_t last = first + bytes;
  char line[256];
  bool inside = false;
  u64 total = 0;
  while (fgets(line, sizeof line, smaps) != nullptr) {
    uintptr_t start;
    uintptr_t end;
    u64 kib;
    if (sscanf(line, "%" SCNxPTR "-%" SCNxPTR " ", &start, &end) == 2 &&
        strchr(line, '-') < strchr(line, ' ')) {
      inside = start < last && first < end;
    } else if (inside && sscanf(line, "AnonHugePages: %" SCNu64, &kib) == 1) {
      total += kib;
    }
  }
  fclose(smaps);
  return total;
}

// With huge pages the area is taken as start-up takes it; without, it is
// kept on small pages whatever the system default.
BenchArea makeArea(const char* label, u64 bytes, bool hugePages) {
  char* base = hugePages ? LinuxKernel().allocateArea(bytes)
                         : static_cast<char*>(malloc(bytes));
  if (base == nullptr) {
    fprintf(stderr, "cannot take %s area of %" PRIu64 " bytes\n", label, bytes);
    exit(1);
  }
  const BankSplit split = bankSplitOf(bytes);
  BenchArea area{reinterpret_cast<u32*>(base),
                 reinterpret_cast<u32*>(base + split.bankBOffset),
                 split.wordsPerBank};
  if (!hugePages) {
    const uintptr_t page = 4096;
    const uintptr_t first =
        (reinterpret_cast<uintptr_t>(base) + page - 1) & ~(page - 1);
    const uintptr_t last =
        (reinterpret_cast<uintptr_t>(base) + bytes) & ~(page - 1);
    madvise(reinterpret_cast<void*>(first), last - first, MADV_NOHUGEPAGE);
  }
  memset(base, 0, bytes);
  fprintf(stderr,
          "%s area: %" PRIu64 " bytes, banks %" PRIu64 " bytes apart, %" PRIu64
          " MiB on huge pages\n",
          label, bytes,
          static_cast<u64>(reinterpret_cast<char*>(area.bankB) - base),
          hugePagesKiB(base, bytes) >> 10);
  return area;
}

}  // namespace

const BenchArea& benchArea(AreaKind kind) {
  switch (kind) {
    case AreaKind::kStartup: {
      static const BenchArea area = makeArea("start-up", kStartupBytes, true);
      return area;
    }
    case AreaKind::kAligned: {
      static const BenchArea area = makeArea("aligned", kAlignedBytes, true);
      return area;
    }
    case AreaKind::kSmallPages:
      break;
  }
  static const BenchArea area = makeArea("small-page", kStartupBytes, false);
  return area;
}

void useArea(Cellchecker& tester, const BenchArea& area) {
  tester.bankA = area.bankA;
  tester.bankB = area.bankB;
  tester.wordsPerBank = area.wordsPerBank;
}
