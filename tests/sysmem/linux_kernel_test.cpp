#include "sysmem/linux_kernel.h"

#include <gtest/gtest.h>

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

}  // namespace
