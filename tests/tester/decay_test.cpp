#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tester/cellchecker.h"
#include "tester/pattern_generator.h"
#include "tests/support/bank_pair.h"
#include "tests/support/generator_state.h"
#include "tests/support/recording_tester.h"
#include "tests/support/snapshot_tester.h"
#include "tests/support/stuck_bits.h"

namespace {

constexpr u64 kDrawsPerRun = 2 * 1024 * 1024;

// Bank A holds k + 1 at k, bank B zero: every pair differs.
void makeEveryPairDiffer(BankPair& banks) {
  for (u64 k = 0; k < banks.words(); ++k) {
    banks.a()[k] = static_cast<u32>(k + 1);
    banks.b()[k] = 0;
  }
}

// After seedRand(45435243) the first sweep probes pair 317 and writes
// 2171575353 to it, then probes pair 479 and writes 3177005517 to it. A pair
// is compared before it is written, so with every pair differing each probe
// of a new pair reports it, and report sees the words that differed.
TEST(DecayTest, WorkedExample) {
  BankPair banks(1000);
  makeEveryPairDiffer(banks);
  SnapshotTester tester(3);
  tester.useBanks(banks.a(), banks.b(), 1000);
  tester.seedRand(45435243);

  tester.runDecayTest();

  ASSERT_GE(tester.pairs.size(), 3u);
  EXPECT_EQ(tester.pairs[0], 317u);
  EXPECT_EQ(tester.pairs[1], 479u);
  EXPECT_EQ(tester.seen[0].a[317], 318u);
  EXPECT_EQ(tester.seen[0].b[317], 0u);
  EXPECT_EQ(tester.seen[1].a[317], 2171575353u);
  EXPECT_EQ(tester.seen[1].b[317], 2171575353u);
  EXPECT_EQ(tester.seen[1].a[479], 480u);
  EXPECT_EQ(tester.seen[2].a[479], 3177005517u);
  EXPECT_EQ(tester.seen[2].b[479], 3177005517u);
}

TEST(DecayTest, EveryDifferingPairIsReportedOnceThenRewritten) {
  BankPair banks(1000);
  makeEveryPairDiffer(banks);
  RecordingTester tester;
  tester.useBanks(banks.a(), banks.b(), 1000);
  tester.passCount = 3;
  seedRandNumber(8);

  tester.runDecayTest();

  // A million probes reach every one of 1000 pairs; only the first probe of
  // each finds it differing.
  std::vector<u64> reported = tester.pairs;
  std::sort(reported.begin(), reported.end());
  std::vector<u64> all(1000);
  for (u64 k = 0; k < 1000; ++k) all[k] = k;
  EXPECT_EQ(reported, all);
  EXPECT_EQ(banks.copyOfA(), banks.copyOfB());
  EXPECT_TRUE(banks.sentinelsIntact());
  EXPECT_EQ(tester.passCount, 3u);
}

TEST(DecayTest, EqualBanksStayEqualWithoutReports) {
  BankPair banks(1000);
  RecordingTester tester;
  tester.useBanks(banks.a(), banks.b(), 1000);
  seedRandNumber(8);

  tester.runDecayTest();

  EXPECT_TRUE(tester.pairs.empty());
  EXPECT_EQ(banks.copyOfA(), banks.copyOfB());
  EXPECT_NE(banks.copyOfA(), std::vector<u32>(1000, 0)) << "pairs rewritten";
  EXPECT_TRUE(banks.sentinelsIntact());
  EXPECT_TRUE(standsDrawsAfterSeed(kDrawsPerRun, 8));
}

TEST(DecayTest, OneDifferingPairInATinyBankIsReportedOnce) {
  struct Case {
    u64 words;
    u64 differing;
  };
  for (Case c : {Case{1, 0}, Case{4, 2}}) {
    BankPair banks(c.words);
    banks.a()[c.differing] = 0xDEAD;
    RecordingTester tester;
    tester.useBanks(banks.a(), banks.b(), c.words);
    seedRandNumber(8);

    tester.runDecayTest();

    EXPECT_EQ(tester.pairs, std::vector<u64>{c.differing}) << c.words;
    EXPECT_EQ(banks.copyOfA(), banks.copyOfB());
  }
}

// A stuck bit shows at every probe after one that wrote the other value
// into its word; report sees the two words differ in that bit alone.
// The banks are 64 pages each: every store to the page of the held word is
// stepped, and each pair is still probed about 16 times.
TEST(DecayFaultTest, StuckBitIsReportedOnlyAtItsPair) {
  constexpr u64 kWords = 64 * 1024;
  for (bool inBankA : {true, false}) {
    BankPair banks(kWords);
    u32* word = inBankA ? &banks.a()[700] : &banks.b()[700];
    SnapshotTester tester(64);
    tester.useBanks(banks.a(), banks.b(), kWords);
    seedRandNumber(8);
    int stores;
    int forced;
    {
      StuckBit stuck(word, 5, true);
      tester.runDecayTest();
      stores = stuck.stores();
      forced = stuck.forced();
    }

    ASSERT_FALSE(tester.pairs.empty());
    EXPECT_LT(tester.pairs.size(), static_cast<size_t>(stores));
    // Each report follows a store that the fault changed, or the forcing of
    // the zeroed word when the fault was made.
    EXPECT_LE(tester.pairs.size(), static_cast<size_t>(forced) + 1);
    EXPECT_EQ(tester.pairs, std::vector<u64>(tester.pairs.size(), 700));
    for (const SnapshotTester::Banks& seen : tester.seen) {
      const u32 faulty = inBankA ? seen.a[700] : seen.b[700];
      EXPECT_EQ(faulty & 0x20, 0x20u);
      EXPECT_EQ(seen.a[700] ^ seen.b[700], 0x20u);
    }
  }
}

// Banks of up to 2^32 words take the low half of the draw; larger ones the
// whole draw, so that words at 2^32 and above are probed too.
TEST(DecayProbePositionTest, ReachesEveryWordOfAnyBank) {
  struct Case {
    u64 draw;
    u64 words;
    u64 position;
  };
  constexpr u64 k2To32 = u64{1} << 32;
  const Case cases[] = {
      // the worked example's first probe
      {780520928ull << 32 | 503592317, 1000, 317},
      {0xFFFFFFFF00000005, 1, 0},
      {0xFFFFFFFF00000005, 7, 5},
      {0x0000000500000007, k2To32 - 1, 7},
      {0x12345678FFFFFFFE, k2To32, 0xFFFFFFFE},  // the last word of the bank
      {0x0000000100000000, k2To32 + 1, k2To32},  // the first word above
      {3 * k2To32 + 5, u64{1} << 34, 3 * k2To32 + 5},
      {(u64{1} << 34) - 1, u64{1} << 34, (u64{1} << 34) - 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decayProbePosition(c.draw, c.words), c.position)
        << std::hex << c.draw << " in " << c.words << " words";
  }
}

}  // namespace
