#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tester/cellchecker.h"
#include "tester/pattern_generator.h"
#include "tests/support/aliased_area.h"
#include "tests/support/bank_pair.h"
#include "tests/support/generator_state.h"
#include "tests/support/recording_tester.h"
#include "tests/support/stuck_bits.h"

namespace {

TEST(RandomBankTest, FillsBothBanksWithOneStreamAndReportsNothingWhenSound) {
  for (u64 words : {1, 2, 3, 4, 5, 17, 1000}) {
    BankPair banks(words);
    RecordingTester tester;
    tester.useBanks(banks.a(), banks.b(), words);
    tester.passCount = 4;
    seedRandNumber(9);

    tester.runTestBanksAllRand();

    SCOPED_TRACE(words);
    EXPECT_EQ(tester.passCount, 5u);
    EXPECT_TRUE(tester.pairs.empty());
    EXPECT_TRUE(banks.sentinelsIntact());
    EXPECT_TRUE(standsDrawsAfterSeed(words, 9));
    seedRandNumber(9);
    for (u64 k = 0; k < words; ++k) {
      const u32 drawn = nextRand();
      ASSERT_EQ(banks.a()[k], drawn) << k;
      ASSERT_EQ(banks.b()[k], drawn) << k;
    }
  }
}

TEST(RandomBankTest, SecondRunContinuesTheSequence) {
  BankPair banks(1000);
  RecordingTester tester;
  tester.useBanks(banks.a(), banks.b(), 1000);
  seedRandNumber(9);
  tester.runTestBanksAllRand();
  tester.runTestBanksAllRand();

  seedRandNumber(9);
  for (int n = 0; n < 1000; ++n) nextRand();
  EXPECT_EQ(banks.a()[0], nextRand());
  EXPECT_EQ(tester.passCount, 2u);
}

TEST(RandomBankTest, WithoutATestAreaOnlyCountsThePass) {
  RecordingTester tester;  // no banks: any access would crash
  seedRandNumber(9);
  const std::vector<u32> before = generatorState();
  tester.runTestBanksAllRand();
  EXPECT_EQ(tester.passCount, 1u);
  EXPECT_EQ(generatorState(), before);
  EXPECT_TRUE(tester.pairs.empty());
}

// Stuck bits, each at the value the clean run does not write there.
class RandomBankFaultTest : public ::testing::Test {
 protected:
  static constexpr unsigned kSeed = 31;
};

TEST_F(RandomBankFaultTest, ReportsEachDifferingPairOnceInAscendingOrder) {
  struct Fault {
    bool inBankA;
    u64 index;
  };
  struct Case {
    std::vector<Fault> faults;
    std::vector<u64> reported;
  };
  const Case cases[] = {
      {{{true, 9}, {false, 3}}, {3, 9}},
      {{{false, 0}, {true, 999}}, {0, 999}},  // the first and the last pair
      // Both words of pair 500 read back the same wrong value: the banks are
      // only compared with each other, so that pair is not seen.
      {{{true, 500}, {false, 500}, {true, 501}}, {501}},
  };
  for (const Case& c : cases) {
    BankPair banks(1000);
    RecordingTester tester;
    tester.useBanks(banks.a(), banks.b(), 1000);
    seedRandNumber(kSeed);
    tester.runTestBanksAllRand();

    std::vector<std::unique_ptr<StuckBit>> stuck;
    for (const Fault& f : c.faults) {
      u32* word = f.inBankA ? &banks.a()[f.index] : &banks.b()[f.index];
      stuck.push_back(std::make_unique<StuckBit>(word, 7, (*word & 0x80) == 0));
    }
    seedRandNumber(kSeed);
    tester.runTestBanksAllRand();
    EXPECT_EQ(tester.pairs, c.reported);
  }
}

// Bank B's first page is bank A's second page: an address-decoder fault.
// With the stores alternating A[k], B[k], the write of A[1024 + k] lands last
// in the shared page, so pairs 0 to 1023 differ and the pairs of the second
// page agree. (Filling bank A first and then bank B would have made pairs
// 1024 to 2047 differ.)
TEST(RandomBankAliasTest, AddressFaultIsReportedForEveryPairItBreaks) {
  AliasedArea area(4);
  area.alias(2, 1);
  RecordingTester tester;
  tester.useBanks(area.words(), area.words() + 2048, 2048);
  seedRandNumber(17);
  tester.runTestBanksAllRand();

  seedRandNumber(17);
  std::vector<u32> drawn;
  for (int n = 0; n < 2048; ++n) drawn.push_back(nextRand());
  std::vector<u64> expected;
  for (u64 k = 0; k < 1024; ++k) {
    if (drawn[k] != drawn[k + 1024]) expected.push_back(k);
  }
  EXPECT_EQ(tester.pairs, expected);
}

}  // namespace
