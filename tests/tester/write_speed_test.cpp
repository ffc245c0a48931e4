#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "tester/cellchecker.h"
#include "tester/pattern_generator.h"
#include "tests/support/bank_pair.h"
#include "tests/support/generator_state.h"
#include "tests/support/recording_tester.h"
#include "tests/support/snapshot_tester.h"
#include "tests/support/stuck_bits.h"

namespace {

constexpr u64 kBurst = 1024;
// What the banks hold before a call: equal in both, and none of the data.
constexpr u32 kPoison = 0x5A5A5A5A;

// The pairs a call started from `seed` writes: write j stores d(j) at pair
// p(j).
struct Burst {
  Burst(unsigned seed, u64 words) : p(kBurst), d(kBurst) {
    seedRandNumber(seed);
    std::vector<u64> list(kBurst);
    for (u64& value : list) value = nextRand64();
    for (u64 j = 0; j < kBurst; ++j) {
      p[j] = list[j] % words;
      d[j] = static_cast<u32>(list[kBurst - 1 - j]);
    }
  }
  // Position p(j) is written by write j and by no other.
  bool writtenOnce(u64 j) const {
    return std::count(p.begin(), p.end(), p[j]) == 1;
  }
  std::vector<u64> p;
  std::vector<u32> d;
};

void poison(BankPair& banks) {
  std::fill(banks.a(), banks.a() + banks.words(), kPoison);
  std::fill(banks.b(), banks.b() + banks.words(), kPoison);
}

// A stuck bit in bank A at pair p(j): it keeps the poison's value of a bit in
// which d(j) differs, so the pair reads equal until write j, and differs from
// then on.
std::unique_ptr<StuckBit> spoilWrite(BankPair& banks, const Burst& burst,
                                     u64 j) {
  int bit = 0;
  while (((burst.d[j] ^ kPoison) >> bit & 1) == 0) ++bit;
  return std::make_unique<StuckBit>(&banks.a()[burst.p[j]], bit,
                                    (kPoison >> bit & 1) != 0);
}

class WriteSpeedFaultTest : public ::testing::Test {};

// After seedRand(45435243) with 1000 words: p(0) = 5, d(0) = 2171575353,
// p(1) = 471, d(1) = 3177005517. With lag 1, step 0 writes pair 5, step 1
// compares it and then writes pair 471, step 2 compares pair 471. Both words
// of bank A drop bit 0 (both data are odd), so each compare reports.
TEST_F(WriteSpeedFaultTest, WorkedExample) {
  BankPair banks(1000);
  poison(banks);
  StuckBit at5(&banks.a()[5], 0, false);
  StuckBit at471(&banks.a()[471], 0, false);
  SnapshotTester tester(2);
  tester.useBanks(banks.a(), banks.b(), 1000);
  tester.seedRand(45435243);

  tester.testWriteSpeed(1);

  ASSERT_GE(tester.pairs.size(), 2u);
  EXPECT_EQ(tester.pairs[0], 5u);
  EXPECT_EQ(tester.seen[0].b[5], 2171575353u);
  EXPECT_EQ(tester.seen[0].a[5], 2171575352u);
  EXPECT_EQ(tester.seen[0].b[471], kPoison) << "compared before written";
  EXPECT_EQ(tester.pairs[1], 471u);
  EXPECT_EQ(tester.seen[1].b[471], 3177005517u);
}

// Four writes spoiled by stuck bits: each pair is compared exactly once, in
// write order, after exactly `lag` further writes and before the next one.
// A lag past 1024 acts as 1024: all writes, then all compares.
TEST_F(WriteSpeedFaultTest, EachPairIsComparedOnceExactlyLagWritesLater) {
  constexpr u64 kWords = u64{1} << 20;
  constexpr unsigned kSeed = 606;
  const Burst burst(kSeed, kWords);
  const u64 spoiled[] = {0, 1, 600, 1023};
  for (u64 j : spoiled) ASSERT_TRUE(burst.writtenOnce(j)) << j;

  for (u64 lag : {u64{1}, u64{2}, u64{255}, u64{1024}, u64{1025}, ~u64{0}}) {
    BankPair banks(kWords);
    poison(banks);
    std::vector<std::unique_ptr<StuckBit>> stuck;
    std::vector<u64> expected;
    for (u64 j : spoiled) {
      stuck.push_back(spoilWrite(banks, burst, j));
      expected.push_back(burst.p[j]);
    }
    SnapshotTester tester(4);
    tester.useBanks(banks.a(), banks.b(), kWords);
    seedRandNumber(kSeed);

    tester.testWriteSpeed(lag);

    SCOPED_TRACE(::testing::Message() << "lag " << lag);
    ASSERT_EQ(tester.pairs, expected);
    for (size_t r = 0; r < 4; ++r) {
      // The compare of pair p(j) is step j + lag; writes 0 to step - 1 are
      // done, and the write of that step is not.
      const u64 step = spoiled[r] + std::min<u64>(lag, kBurst);
      const u64 lastWrite = std::min(step, kBurst) - 1;
      EXPECT_EQ(tester.seen[r].b[burst.p[lastWrite]], burst.d[lastWrite]) << r;
      if (step < kBurst) {
        ASSERT_TRUE(burst.writtenOnce(step));
        EXPECT_EQ(tester.seen[r].b[burst.p[step]], kPoison) << r;
      }
    }
    for (const auto& fault : stuck) EXPECT_EQ(fault->stores(), 1);
  }
}

// Lag 0: each step compares its pair just before writing it, so a compare
// sees what earlier tests left there and never this call's own writes.
TEST_F(WriteSpeedFaultTest, LagZeroComparesEachPairBeforeWritingIt) {
  constexpr u64 kWords = u64{1} << 20;
  constexpr unsigned kSeed = 606;
  const Burst burst(kSeed, kWords);
  for (u64 j : {0, 300, 699, 700}) ASSERT_TRUE(burst.writtenOnce(j)) << j;
  BankPair banks(kWords);
  poison(banks);
  banks.b()[burst.p[0]] ^= 0x100;
  banks.b()[burst.p[700]] ^= 0x100;
  const auto stuck = spoilWrite(banks, burst, 300);  // never compared after
  SnapshotTester tester(2);
  tester.useBanks(banks.a(), banks.b(), kWords);
  seedRandNumber(kSeed);

  tester.testWriteSpeed(0);

  EXPECT_EQ(tester.pairs, (std::vector<u64>{burst.p[0], burst.p[700]}));
  ASSERT_EQ(tester.seen.size(), 2u);
  EXPECT_EQ(tester.seen[0].b[burst.p[0]], kPoison ^ 0x100);
  EXPECT_EQ(tester.seen[1].b[burst.p[699]], burst.d[699]);
  EXPECT_EQ(tester.seen[1].b[burst.p[700]], kPoison ^ 0x100);
  for (u64 j = 0; j < kBurst; ++j) {
    if (j == 300) continue;
    EXPECT_EQ(banks.a()[burst.p[j]], banks.b()[burst.p[j]]) << j;
  }
  EXPECT_NE(banks.a()[burst.p[300]], banks.b()[burst.p[300]]);
}

TEST(WriteSpeedTest, SoundMemoryGivesNoReportForAnyLag) {
  for (u64 lag : {0, 1, 255, 1024}) {
    BankPair banks(1000);
    RecordingTester tester;
    tester.useBanks(banks.a(), banks.b(), 1000);
    tester.passCount = 2;
    seedRandNumber(3);

    tester.testWriteSpeed(lag);

    EXPECT_TRUE(tester.pairs.empty()) << lag;
    EXPECT_EQ(tester.passCount, 2u);
    EXPECT_TRUE(banks.sentinelsIntact());
    EXPECT_TRUE(standsDrawsAfterSeed(2 * kBurst, 3));
    // Each pair holds the datum of its last write.
    const Burst burst(3, 1000);
    for (u64 j = 0; j < kBurst; ++j) {
      if (std::find(burst.p.begin() + j + 1, burst.p.end(), burst.p[j]) !=
          burst.p.end()) {
        continue;
      }
      ASSERT_EQ(banks.a()[burst.p[j]], burst.d[j]) << j;
      ASSERT_EQ(banks.b()[burst.p[j]], burst.d[j]) << j;
    }
  }
}

TEST(WriteSpeedTest, SingleWordBankEndsWithTheLastDatum) {
  BankPair banks(1);
  RecordingTester tester;
  tester.useBanks(banks.a(), banks.b(), 1);
  seedRandNumber(3);
  tester.testWriteSpeed(3);

  seedRandNumber(3);
  const u32 firstDrawLowHalf = static_cast<u32>(nextRand64());
  EXPECT_EQ(banks.a()[0], firstDrawLowHalf);
  EXPECT_EQ(banks.b()[0], firstDrawLowHalf);
  EXPECT_TRUE(tester.pairs.empty());
  EXPECT_TRUE(banks.sentinelsIntact());
}

// Positions take the whole 64-bit draw: on banks of 2^34 words (reserved,
// never backed but for the pages written) most of them lie above 2^32.
TEST(WriteSpeedTest, PositionsReachWordsAbove4GiWords) {
  constexpr u64 kWords = u64{1} << 34;
  const size_t bytes = 2 * kWords * sizeof(u32);
  void* area = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (area == MAP_FAILED) GTEST_SKIP() << "no room for 128 GiB of addresses";
  u32* a = static_cast<u32*>(area);
  RecordingTester tester;
  tester.useBanks(a, a + kWords, kWords);
  seedRandNumber(3);

  tester.testWriteSpeed(1);

  const Burst burst(3, kWords);
  EXPECT_GT(*std::max_element(burst.p.begin(), burst.p.end()), u64{1} << 33);
  for (u64 j = 0; j < kBurst; ++j) {
    ASSERT_EQ(a[burst.p[j]], burst.d[j]) << j;
    ASSERT_EQ(a[kWords + burst.p[j]], burst.d[j]) << j;
  }
  EXPECT_TRUE(tester.pairs.empty());
  munmap(area, bytes);
}

}  // namespace
