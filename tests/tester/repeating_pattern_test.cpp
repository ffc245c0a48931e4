#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tester/cellchecker.h"
#include "tester/pattern_generator.h"
#include "tests/support/bank_pair.h"
#include "tests/support/generator_state.h"
#include "tests/support/recording_tester.h"
#include "tests/support/stuck_bits.h"

namespace {

constexpr u64 kShortBlock = 1023;
constexpr u64 kLongBlock = 224095;
TEST(RepeatingPatternTest, CleanBankIsTheFirstBlockRepeated) {
  BankPair banks(2046);
  RecordingTester tester;
  tester.useBanks(banks.a(), banks.b(), 2046);
  seedRandNumber(5);
  tester.runTestBanksRepRand(1);

  EXPECT_TRUE(standsDrawsAfterSeed(kShortBlock, 5));
  seedRandNumber(5);
  for (u64 k = 0; k < kShortBlock; ++k) ASSERT_EQ(banks.a()[k], nextRand());
  for (u64 k = kShortBlock; k < 2046; ++k) {
    ASSERT_EQ(banks.a()[k], banks.a()[k - kShortBlock]) << k;
  }
  EXPECT_TRUE(tester.addresses.empty());
  EXPECT_TRUE(banks.sentinelsIntact());
}

TEST(RepeatingPatternTest, BankArgumentChoosesTheBanksAndOnePassIsCounted) {
  for (int banksArg : {2, 7, 1, 0, -3}) {
    BankPair banks(3000);
    RecordingTester tester;
    tester.useBanks(banks.a(), banks.b(), 3000);
    tester.passCount = 10;
    seedRandNumber(11);
    EXPECT_EQ(tester.runTestBanksRepRand(banksArg), 0);

    const bool both = banksArg >= 2;
    EXPECT_EQ(tester.passCount, 11u);
    EXPECT_TRUE(standsDrawsAfterSeed(both ? 2 * kShortBlock : kShortBlock, 11));
    EXPECT_EQ(banks.b()[0] != 0, both) << banksArg;
    if (both) {
      // Bank B's block continues the sequence that filled bank A's.
      seedRandNumber(11);
      for (u64 k = 0; k < kShortBlock; ++k) nextRand();
      EXPECT_EQ(banks.b()[0], nextRand());
    }
    EXPECT_TRUE(banks.sentinelsIntact());
  }
}

TEST(RepeatingPatternTest, BlockLengthDependsOnTheBankSize) {
  struct Case {
    u64 wordsPerBank;
    u64 blockWords;
  };
  for (Case c : {Case{448189, kShortBlock}, Case{448190, kLongBlock}}) {
    BankPair banks(c.wordsPerBank);
    RecordingTester tester;
    tester.useBanks(banks.a(), banks.b(), c.wordsPerBank);
    seedRandNumber(2);
    tester.runTestBanksRepRand(1);
    EXPECT_TRUE(standsDrawsAfterSeed(c.blockWords, 2)) << c.wordsPerBank;
    EXPECT_EQ(banks.a()[c.blockWords], banks.a()[0]);
    EXPECT_TRUE(tester.addresses.empty());
  }
}

TEST(RepeatingPatternTest, HugeBanksUseTheLongBlock) {
  for (u64 words :
       {u64{1} << 32, (u64{1} << 32) + 448189, u64{1} << 40, ~u64{0}}) {
    EXPECT_EQ(repeatingBlockWords(words), kLongBlock) << words;
  }
}

TEST(RepeatingPatternWorkerTest, ABankNoLongerThanTheBlockIsOnlyFilled) {
  struct Case {
    u64 words;
    u64 copied;
  };
  for (Case c : {Case{kShortBlock, 0}, Case{kShortBlock + 1, 1}}) {
    std::vector<u32> bank(c.words + 1, BankPair::kSentinel);
    RecordingTester tester;
    seedRandNumber(3);
    EXPECT_EQ(
        tester.runTestBanksRepRandWorker(kShortBlock, c.words, bank.data()), 0);
    EXPECT_EQ(tester.passCount, 0u) << "the worker counts nothing";
    if (c.copied == 1) {
      EXPECT_EQ(bank[kShortBlock], bank[0]);
    }
    EXPECT_EQ(bank[c.words], BankPair::kSentinel);
  }
}

// Faults: a bit that stays stuck whatever is written to the word. The bit is
// chosen to disagree with what the clean run writes there.
class RepeatingPatternFaultTest : public ::testing::Test {
 protected:
  // Runs the test once clean to learn the value of `word`, then stucks its
  // lowest bit at the other value. The caller reseeds before the real run.
  void stickAfterCleanRun(RecordingTester& tester, u32* word, int banks) {
    seedRandNumber(kSeed);
    tester.runTestBanksRepRand(banks);
    faults.push_back(std::make_unique<StuckBit>(word, 0, (*word & 1) == 0));
    tester.addresses.clear();
  }

  void rerun(RecordingTester& tester, int banks) {
    seedRandNumber(kSeed);
    tester.runTestBanksRepRand(banks);
  }

  static constexpr unsigned kSeed = 77;
  std::vector<std::unique_ptr<StuckBit>> faults;
};

TEST_F(RepeatingPatternFaultTest, WrongWordOfTheFirstBlockIsCarriedUnseen) {
  BankPair banks(5000);
  RecordingTester tester;
  tester.useBanks(banks.a(), banks.b(), 5000);
  u32* word = &banks.a()[100];
  stickAfterCleanRun(tester, word, 1);
  const u32 written = *word ^ 1;  // what the fill writes there

  rerun(tester, 1);
  EXPECT_NE(*word, written);
  for (u64 k = 100 + kShortBlock; k < 5000; k += kShortBlock) {
    EXPECT_EQ(banks.a()[k], *word) << "repetition at " << k;
  }
  EXPECT_TRUE(tester.addresses.empty());
}

TEST_F(RepeatingPatternFaultTest, WrongWordLaterGivesOneReportWithItsSource) {
  BankPair banks(5000);
  RecordingTester tester;
  tester.useBanks(banks.a(), banks.b(), 5000);
  const u64 j = 2 * kShortBlock + 17;
  stickAfterCleanRun(tester, &banks.a()[j], 1);

  rerun(tester, 1);
  const std::vector<std::pair<u32*, u32*>> expected = {
      {&banks.a()[j], &banks.a()[j - kShortBlock]}};
  EXPECT_EQ(tester.addresses, expected);
  EXPECT_EQ(banks.a()[j + kShortBlock], banks.a()[j]) << "carried on";
}

TEST_F(RepeatingPatternFaultTest, OnlyEveryOtherMismatchOfAPassIsReported) {
  BankPair banks(8000);
  RecordingTester tester;
  tester.useBanks(banks.a(), banks.b(), 8000);
  const u64 js[] = {1500, 2600, 3900, 5100};
  seedRandNumber(kSeed);
  tester.runTestBanksRepRand(1);
  for (u64 j : js) {
    u32* word = &banks.a()[j];
    faults.push_back(std::make_unique<StuckBit>(word, 0, (*word & 1) == 0));
  }
  rerun(tester, 1);
  const std::vector<std::pair<u32*, u32*>> expected = {
      {&banks.a()[1500], &banks.a()[1500 - kShortBlock]},
      {&banks.a()[3900], &banks.a()[3900 - kShortBlock]}};
  EXPECT_EQ(tester.addresses, expected);
}

TEST_F(RepeatingPatternFaultTest, EachBankStartsItsOwnAlternation) {
  BankPair banks(5000);
  RecordingTester tester;
  tester.useBanks(banks.a(), banks.b(), 5000);
  seedRandNumber(kSeed);
  tester.runTestBanksRepRand(2);
  for (u32* word : {&banks.a()[3000], &banks.b()[3000]}) {
    faults.push_back(std::make_unique<StuckBit>(word, 0, (*word & 1) == 0));
  }
  rerun(tester, 2);
  const std::vector<std::pair<u32*, u32*>> expected = {
      {&banks.a()[3000], &banks.a()[3000 - kShortBlock]},
      {&banks.b()[3000], &banks.b()[3000 - kShortBlock]}};
  EXPECT_EQ(tester.addresses, expected);
}

}  // namespace
