#include "bench/areas.h"

#include <sys/mman.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/bank_split.h"
#include "platform/linux_kernel.h"
#include "sysmem/smaps.h"

namespace {

constexpr u64 kStartupBytes = 1043398656;
constexpr u64 kAlignedBytes = u64{1} << 30;

// What the closing table says of each area made, in the order made.
std::vector<AreaPages>& madeAreas() {
  static std::vector<AreaPages> areas;
  return areas;
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
  // Read once the area is filled, as start-up reads it after the pre-test.
  u64 hugeKiB = 0;
  hugePagesKiB("/proc/self/smaps", base, bytes, &hugeKiB);
  madeAreas().push_back({label, bytes, hugeKiB, hugePages});
  fprintf(stderr,
          "%s area: %" PRIu64 " bytes, banks %" PRIu64 " bytes apart, %" PRIu64
          " MiB on huge pages\n",
          label, bytes,
          static_cast<u64>(reinterpret_cast<char*>(area.bankB) - base),
          hugeKiB >> 10);
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

void printHugePageTable() {
  if (madeAreas().empty()) return;
  std::printf("\nHuge pages of each area once filled (AnonHugePages)\n");
  for (const AreaPages& area : madeAreas()) {
    const u64 mib = area.bytes >> 20;
    const u64 hugeMiB = area.hugeKiB >> 10;
    std::printf("%-10s %5" PRIu64 " MiB, %5" PRIu64
                " MiB on huge pages (%3.0f %%)",
                area.label, mib, hugeMiB,
                100.0 * static_cast<double>(area.hugeKiB) * 1024.0 /
                    static_cast<double>(area.bytes));
    if (!area.hugePagesWanted) {
      std::printf(", kept on small pages\n");
    } else if (mostlySmallPages(area.hugeKiB, area.bytes)) {
      std::printf(
          ", mostly on small pages: its figures are small-page figures\n");
    } else {
      std::printf("\n");
    }
  }
}
