#include "sysmem/smaps.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tests/support/fake_kernel.h"

namespace {

// A library mapping whose path is so long that what follows its first 255
// bytes, where a reader of 256-byte pieces goes on, looks like a mapping of
// its own.
const std::string kLibraryHeader =
    "7f0050000000-7f0050001000 r-xp 00000000 08:01 1234    /usr/lib/";

// A test area of 1 GiB from 0x7f0000100000, as the kernel lists it once its
// whole 2 MiB pages are advised huge: a small-page end, the advised middle
// and the other end; around it the heap and a mapping right after the area,
// both holding huge pages of their own; then that library, whose path looks
// like a mapping over the area.
const std::string kSmaps =
    "55d4c0000000-55d4c0400000 rw-p 00000000 00:00 0    [heap]\n"
    "Size:               4096 kB\n"
    "AnonHugePages:      2048 kB\n"
    "7f0000100000-7f0000200000 rw-p 00000000 00:00 0\n"
    "Size:               1024 kB\n"
    "AnonHugePages:         0 kB\n"
    "VmFlags: rd wr mr mw me lo ac sd\n"
    "7f0000200000-7f0040000000 rw-p 00000000 00:00 0\n"
    "Size:            1046528 kB\n"
    "AnonHugePages:   1040384 kB\n"
    "THPeligible:    1\n"
    "VmFlags: rd wr mr mw me lo ac sd hg\n"
    "7f0040000000-7f0040100000 rw-p 00000000 00:00 0\n"
    "Size:               1024 kB\n"
    "AnonHugePages:         0 kB\n"
    "7f0040100000-7f0040300000 rw-p 00000000 00:00 0\n"
    "Size:               2048 kB\n"
    "AnonHugePages:      2048 kB\n" +
    kLibraryHeader + std::string(255 - kLibraryHeader.size(), 'x') +
    "7f0000100000-7f0040100000 rw-p 00000000 00:00 0\n"
    "AnonHugePages:    999999 kB\n";

constexpr uintptr_t kAreaStart = 0x7f0000100000;
constexpr u64 kAreaBytes = u64{1} << 30;

const void* at(uintptr_t address) {
  return reinterpret_cast<const void*>(address);
}

TEST(HugePagesKiBTest, CountsTheMappingsThatOverlapTheStretch) {
  FakeKernel kernel;
  kernel.putFile("/proc/self/smaps", kSmaps);
  const std::string path = kernel.file("/proc/self/smaps");
  struct Case {
    const char* name;
    uintptr_t begin;
    u64 bytes;
    u64 kib;
  };
  for (Case c : {
           Case{"the whole area", kAreaStart, kAreaBytes, 1040384},
           Case{"its first end only", kAreaStart, 4096, 0},
           Case{"a page of the middle: the mapping counts whole",
                0x7f0000300000, 4096, 1040384},
           Case{"the heap", 0x55d4c0000000, 4096, 2048},
           Case{"the area and the mapping after it", kAreaStart,
                kAreaBytes + 4096, 1040384 + 2048},
           Case{"nothing mapped there", 0x7f0060000000, 4096, 0},
       }) {
    u64 kib = 12345;
    ASSERT_TRUE(hugePagesKiB(path.c_str(), at(c.begin), c.bytes, &kib))
        << c.name;
    EXPECT_EQ(kib, c.kib) << c.name;
  }
}

TEST(HugePagesKiBTest, AKernelWithoutHugePagesShowsNone) {
  FakeKernel kernel;
  kernel.putFile("/proc/self/smaps",
                 "7f0000100000-7f0040100000 rw-p 00000000 00:00 0\n"
                 "Size:            1049600 kB\n");
  u64 kib = 12345;
  ASSERT_TRUE(hugePagesKiB(kernel.file("/proc/self/smaps").c_str(),
                           at(kAreaStart), kAreaBytes, &kib));
  EXPECT_EQ(kib, 0u);
}

TEST(HugePagesKiBTest, AFileThatCannotBeOpenedGivesNoFigure) {
  FakeKernel kernel;
  u64 kib = 12345;
  EXPECT_FALSE(hugePagesKiB(kernel.file("/proc/self/smaps").c_str(),
                            at(kAreaStart), kAreaBytes, &kib));
  EXPECT_EQ(kib, 12345u);
}

TEST(MostlySmallPagesTest, LessThanHalfOnHugePages) {
  EXPECT_TRUE(mostlySmallPages(0, 8 * kMiB));
  EXPECT_TRUE(mostlySmallPages(4095, 8 * kMiB));
  EXPECT_FALSE(mostlySmallPages(4096, 8 * kMiB));
  EXPECT_FALSE(mostlySmallPages(8192, 8 * kMiB));
}

}  // namespace
