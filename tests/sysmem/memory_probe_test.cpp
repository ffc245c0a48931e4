#include "sysmem/memory_probe.h"

#include <gtest/gtest.h>

#include <string>

#include "base/console_ring.h"
#include "tests/support/console_capture.h"
#include "tests/support/fake_kernel.h"

namespace {

// /proc/meminfo of a 6.1 kernel: lines 42 to 44 are huge-page counters that
// read 0, the DirectMap lines come last.
const char kMeminfo61[] =
    "MemTotal:         468144 kB\nMemFree:          441360 kB\n"
    "MemAvailable:     431604 kB\nBuffers:               0 kB\n"
    "Cached:            14764 kB\nSwapCached:            0 kB\n"
    "Active:                 0 kB\nInactive:          13132 kB\n"
    "Active(anon):           0 kB\nInactive(anon):    13132 kB\n"
    "Active(file):           0 kB\nInactive(file):        0 kB\n"
    "Unevictable:         1632 kB\nMlocked:               0 kB\n"
    "SwapTotal:             0 kB\nSwapFree:              0 kB\n"
    "Zswap:                 0 kB\nZswapped:              0 kB\n"
    "Dirty:                 0 kB\nWriteback:             0 kB\n"
    "AnonPages:            12 kB\nMapped:                0 kB\n"
    "Shmem:             14764 kB\nKReclaimable:       2040 kB\n"
    "Slab:               7124 kB\nSReclaimable:       2040 kB\n"
    "SUnreclaim:         5084 kB\nKernelStack:         672 kB\n"
    "PageTables:           28 kB\nSecPageTables:         0 kB\n"
    "NFS_Unstable:          0 kB\nBounce:                0 kB\n"
    "WritebackTmp:          0 kB\nCommitLimit:      234072 kB\n"
    "Committed_AS:       14908 kB\nVmallocTotal:   34359738367 kB\n"
    "VmallocUsed:         1736 kB\nVmallocChunk:          0 kB\n"
    "Percpu:              336 kB\nHardwareCorrupted:     0 kB\n"
    "AnonHugePages:         0 kB\nShmemHugePages:        0 kB\n"
    "ShmemPmdMapped:        0 kB\nFileHugePages:         0 kB\n"
    "FilePmdMapped:         0 kB\nHugePages_Total:       0\n"
    "HugePages_Free:        0\nHugePages_Rsvd:        0\n"
    "HugePages_Surp:        0\nHugepagesize:       2048 kB\n"
    "Hugetlb:               0 kB\nDirectMap4k:       10240 kB\n"
    "DirectMap2M:     2086912 kB\nDirectMap1G:    14680064 kB\n";

struct MeminfoCase {
  const char* name;
  std::string text;
  u64 kib;
};

class KMemInstalledTest : public ::testing::TestWithParam<MeminfoCase> {};

TEST_P(KMemInstalledTest, SumsTheDirectMapLinesByName) {
  FakeKernel kernel;
  kernel.write(ProcFile::kMeminfo, GetParam().text);
  EXPECT_EQ(kMemInstalled(kernel), GetParam().kib);
}

std::string filler(int lines) {
  std::string text;
  for (int i = 0; i < lines; ++i)
    text += "Other" + std::to_string(i) + ": 5 kB\n";
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, KMemInstalledTest,
    ::testing::Values(
        MeminfoCase{"Kernel61", kMeminfo61, 16777216},
        // An older kernel had them at lines 42 to 44.
        MeminfoCase{"AtLine42",
                    filler(41) + "DirectMap4k:       10240 kB\n"
                                 "DirectMap2M:     2086912 kB\n"
                                 "DirectMap1G:    14680064 kB\n",
                    16777216},
        // Only what the machine has: no 1 GiB mappings.
        MeminfoCase{"NoGigabyteMappings",
                    "MemTotal: 468144 kB\nDirectMap4k: 116608 kB\n"
                    "DirectMap2M: 407552 kB\n",
                    524160},
        // Figures past 2^31 KiB (2 TiB) are summed whole.
        MeminfoCase{"Beyond32Bits",
                    "DirectMap4k: 4194304 kB\nDirectMap2M: 4294967296 kB\n"
                    "DirectMap1G: 8589934592 kB\n",
                    4194304ull + 4294967296ull + 8589934592ull},
        // A line that carries no number adds nothing.
        MeminfoCase{"Unreadable",
                    "DirectMap4k: 1024 kB\nDirectMap2M: -- kB\nDirectMap1G\n",
                    1024},
        MeminfoCase{"NoDirectMapLines", filler(50), 0},
        MeminfoCase{"Empty", "", 0}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(KMemInstalledMissingTest, AnUnreadableFileGivesZero) {
  FakeKernel kernel;
  kernel.makeUnopenable(ProcFile::kMeminfo);
  EXPECT_EQ(kMemInstalled(kernel), 0u);
}

TEST(ProcSetTest, WritesTheBareValueOverWhatWasThere) {
  FakeKernel kernel;
  kernel.write(ProcFile::kOvercommit, "0\n");
  ConsoleCapture console;
  procSet(kernel.path(ProcFile::kOvercommit), "2");
  EXPECT_EQ(kernel.read(ProcFile::kOvercommit), "2");
  EXPECT_EQ(console.take(), "");
}

TEST(ProcSetTest, AFileThatCannotBeOpenedIsNamedWithoutALineBreak) {
  FakeKernel kernel;
  kernel.makeUnopenable(ProcFile::kMinFree);
  ConsoleCapture console;
  procSet(kernel.path(ProcFile::kMinFree), "4");
  EXPECT_EQ(console.take(),
            std::string("ERROR ") + kernel.path(ProcFile::kMinFree));
  EXPECT_EQ(kernel.read(ProcFile::kMinFree), "");
}

// The measurement forks for real; the child sees 64 MiB free.
struct MeasureCase {
  const char* name;
  u64 freePages;
  bool forkFails;
  u64 probeRefusals;
  u64 probeUsableBytes;
  u64 bytes;
  const char* dots;
};

class CalcAvailableRamTest : public ::testing::TestWithParam<MeasureCase> {};

TEST_P(CalcAvailableRamTest, CountsTheBlocksTheChildZeroed) {
  const MeasureCase& c = GetParam();
  FakeKernel kernel;
  kernel.freePageCount = c.freePages;
  kernel.forkFails = c.forkFails;
  kernel.probeRefusals = c.probeRefusals;
  kernel.probeUsableBytes = c.probeUsableBytes;
  volatile u64* shared = kernel.mapSharedWord();
  // Left over from before: the measurement starts from 0.
  *shared = 12345;

  std::string kept;
  const auto keep = [&kept](const char* text, size_t length) {
    kept.append(text, length);
  };
  u64 linesLost = 0;
  consoleRing().drain(keep, &linesLost);
  kept.clear();

  ConsoleCapture console;
  EXPECT_EQ(calcAvailableRam(kernel, shared), c.bytes);
  EXPECT_EQ(*shared, c.bytes);
  EXPECT_EQ(console.take(), c.dots);
  // The report on the stick keeps what the screen showed, the child's dots
  // included.
  consoleRing().drain(keep, &linesLost);
  EXPECT_EQ(kept, c.dots);
}

constexpr u64 kFree64MiB = 64 * kMiB / FakeKernel::kPageBytes;

INSTANTIATE_TEST_SUITE_P(
    Children, CalcAvailableRamTest,
    ::testing::Values(
        // 16 blocks per MiB, all zeroed; the odd pages beyond whole MiB are
        // not asked for.
        MeasureCase{"Clean", kFree64MiB + 100, false, 0, 0, 67108864, "..."},
        // One MiB less is granted.
        MeasureCase{"FirstRequestRefused", kFree64MiB, false, 1, 0, 63 * kMiB,
                    "..."},
        MeasureCase{"ManyRequestsRefused", kFree64MiB, false, 60, 0, 4 * kMiB,
                    "..."},
        // Killed in block 1001: the thousand before it count.
        MeasureCase{"KilledHalfWay", kFree64MiB, false, 0, 1000 * 65536,
                    65536000, "..."},
        MeasureCase{"KilledAtOnce", kFree64MiB, false, 0, 4096, 0, "..."},
        MeasureCase{"EveryRequestRefused", kFree64MiB, false, 64, 0, 0, "..."},
        MeasureCase{"NothingFree", 0, false, 0, 0, 0, "..."},
        // No child: nothing counted, one dot.
        MeasureCase{"ForkFails", kFree64MiB, true, 0, 0, 0, "."}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
