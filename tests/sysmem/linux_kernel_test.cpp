#include "sysmem/linux_kernel.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <string>

namespace {

constexpr u64 kHuge = u64{2} << 20;

TEST(InnerHugePagesTest, KeepsOnlyWholeAlignedPages) {
  struct Case {
    uintptr_t start;
    u64 bytes;
    uintptr_t begin;
    u64 length;
  };
  for (Case c : {
           Case{10 * kHuge, 4 * kHuge, 10 * kHuge, 4 * kHuge},
           // Ragged at both ends: the pages inside.
           Case{10 * kHuge + 4096, 4 * kHuge, 11 * kHuge, 3 * kHuge},
           Case{10 * kHuge - 4096, 4 * kHuge, 10 * kHuge, 3 * kHuge},
           // Across a boundary but no whole page inside.
           Case{10 * kHuge - 4096, kHuge, 0, 0},
           Case{10 * kHuge + 4096, kHuge - 8192, 0, 0},
       }) {
    const HugePageRange range = innerHugePages(c.start, c.bytes);
    EXPECT_EQ(range.begin, c.begin) << c.start << " " << c.bytes;
    EXPECT_EQ(range.length, c.length) << c.start << " " << c.bytes;
  }
}

// True when the mapping that holds `p` was advised for huge pages (its
// VmFlags in /proc/self/smaps carry "hg").
bool advisedForHugePages(const void* p) {
  FILE* smaps = fopen("/proc/self/smaps", "r");
  if (smaps == nullptr) return false;
  const uintptr_t address = reinterpret_cast<uintptr_t>(p);
  char line[512];
  bool inside = false;
  bool advised = false;
  while (fgets(line, sizeof line, smaps) != nullptr) {
    uintptr_t start;
    uintptr_t end;
    if (sscanf(line, "%" SCNxPTR "-%" SCNxPTR " ", &start, &end) == 2) {
      inside = start <= address && address < end;
    } else if (inside && std::string(line).rfind("VmFlags:", 0) == 0) {
      advised = std::string(line).find(" hg") != std::string::npos;
    }
  }
  fclose(smaps);
  return advised;
}

// Taking a test area only maps memory (nothing is changed in the kernel), so
// the real backend can be asked for one here.
TEST(AllocateAreaTest, AsksForHugePagesOnTheWholePagesInside) {
  if (access("/sys/kernel/mm/transparent_hugepage/enabled", F_OK) != 0) {
    GTEST_SKIP() << "kernel without transparent huge pages";
  }
  constexpr u64 kBytes = 8 * kHuge + 4096;
  char* area = LinuxKernel().allocateArea(kBytes);
  ASSERT_NE(area, nullptr);
  const HugePageRange inner =
      innerHugePages(reinterpret_cast<uintptr_t>(area), kBytes);
  ASSERT_NE(inner.length, 0u);
  const char* begin = reinterpret_cast<const char*>(inner.begin);
  EXPECT_TRUE(advisedForHugePages(begin));
  EXPECT_TRUE(advisedForHugePages(begin + inner.length - 1));
  // The ragged ends, where there are any, stay on small pages.
  if (begin != area) {
    EXPECT_FALSE(advisedForHugePages(area));
  }
  if (begin + inner.length != area + kBytes) {
    EXPECT_FALSE(advisedForHugePages(area + kBytes - 1));
  }
  munmap(area, kBytes);
}

}  // namespace
