#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <utility>
#include <vector>

#include "tester/cellchecker.h"
#include "tester/pattern_generator.h"
#include "tests/support/aliased_area.h"
#include "tests/support/bank_pair.h"
#include "tests/support/generator_state.h"
#include "tests/support/recording_tester.h"
#include "tests/support/stuck_bits.h"

namespace {

enum class Direction { kBIntoA, kAIntoB };

void PrintTo(Direction direction, std::ostream* os) {
  *os << (direction == Direction::kBIntoA ? "copy test A" : "copy test B");
}

int runCopy(RecordingTester& tester, Direction direction) {
  return direction == Direction::kBIntoA ? tester.runCopyTest()
                                         : tester.runCopyTestB();
}

// A seed whose first draw has these low ten bits.
unsigned seedWhoseFirstDrawEndsIn(u32 lowTenBits) {
  for (unsigned seed = 1;; ++seed) {
    seedRandNumber(seed);
    if ((nextRand() & 0x3FF) == lowTenBits) return seed;
  }
}

// The blocks a run started from `seed` copies.
struct Blocks {
  explicit Blocks(unsigned seed) {
    seedRandNumber(seed);
    startA = (nextRand() & 0x3FF) + 1;
    startB = nextRand() % startA;
  }
  u64 startA;
  u64 startB;
};

// Every word tells its bank and index, so a misplaced copy shows.
void fillDistinct(u32* a, u32* b, u64 words) {
  for (u64 i = 0; i < words; ++i) {
    a[i] = 0xA0000000u | static_cast<u32>(i);
    b[i] = 0xB0000000u | static_cast<u32>(i);
  }
}

struct CopyCase {
  Direction direction;
  unsigned seed;
};

void PrintTo(const CopyCase& c, std::ostream* os) {
  PrintTo(c.direction, os);
  *os << ", seed " << c.seed;
}

class CopyTest : public ::testing::TestWithParam<CopyCase> {};

TEST_P(CopyTest, CopiesTheDrawnBlockAndLeavesEverythingElseUnchanged) {
  const CopyCase& c = GetParam();
  constexpr u64 kWords = 4096;
  BankPair banks(kWords);
  fillDistinct(banks.a(), banks.b(), kWords);
  const std::vector<u32> a0 = banks.copyOfA();
  const std::vector<u32> b0 = banks.copyOfB();
  RecordingTester tester;
  tester.useBanks(banks.a(), banks.b(), kWords);
  tester.passCount = 7;
  seedRandNumber(c.seed);

  EXPECT_EQ(runCopy(tester, c.direction), 0);

  EXPECT_EQ(tester.passCount, 8u);
  EXPECT_TRUE(standsDrawsAfterSeed(2, c.seed));
  EXPECT_TRUE(tester.crossPairs.empty());
  EXPECT_TRUE(banks.sentinelsIntact());
  const Blocks blocks(c.seed);
  const u64 count = kWords - blocks.startA;
  std::vector<u32> a1 = a0;
  std::vector<u32> b1 = b0;
  for (u64 k = 0; k < count; ++k) {
    if (c.direction == Direction::kBIntoA) {
      a1[blocks.startA + k] = b0[blocks.startB + k];
    } else {
      b1[blocks.startB + k] = a0[blocks.startA + k];
    }
  }
  EXPECT_EQ(banks.copyOfA(), a1);
  EXPECT_EQ(banks.copyOfB(), b1);
}

INSTANTIATE_TEST_SUITE_P(
    DirectionsAndDraws, CopyTest,
    ::testing::Values(
        // Low ten bits 0: startA 1, startB 0, the longest block.
        CopyCase{Direction::kBIntoA, seedWhoseFirstDrawEndsIn(0)},
        CopyCase{Direction::kAIntoB, seedWhoseFirstDrawEndsIn(0)},
        // Low ten bits all set: startA 1024.
        CopyCase{Direction::kBIntoA, seedWhoseFirstDrawEndsIn(0x3FF)},
        CopyCase{Direction::kAIntoB, seedWhoseFirstDrawEndsIn(0x3FF)},
        CopyCase{Direction::kBIntoA, 12345},
        CopyCase{Direction::kAIntoB, 12345}));

TEST(CopyTestDraws, LowTenBitsOfTheFirstDrawGiveTheStart) {
  const Blocks shortest(seedWhoseFirstDrawEndsIn(0));
  EXPECT_EQ(shortest.startA, 1u);
  EXPECT_EQ(shortest.startB, 0u);
  const unsigned seed = seedWhoseFirstDrawEndsIn(0x3FF);
  const Blocks longest(seed);
  EXPECT_EQ(longest.startA, 1024u);
  seedRandNumber(seed);
  nextRand();
  EXPECT_EQ(longest.startB, nextRand() % 1024);
}

TEST(CopyTestEmptyBlock, BankOfStartAWordsCopiesNothing) {
  for (Direction direction : {Direction::kBIntoA, Direction::kAIntoB}) {
    BankPair banks(1024);
    fillDistinct(banks.a(), banks.b(), 1024);
    const std::vector<u32> a0 = banks.copyOfA();
    const std::vector<u32> b0 = banks.copyOfB();
    RecordingTester tester;
    tester.useBanks(banks.a(), banks.b(), 1024);
    seedRandNumber(seedWhoseFirstDrawEndsIn(0x3FF));

    EXPECT_EQ(runCopy(tester, direction), 0);
    EXPECT_EQ(tester.passCount, 1u);
    EXPECT_EQ(banks.copyOfA(), a0);
    EXPECT_EQ(banks.copyOfB(), b0);
    EXPECT_TRUE(tester.crossPairs.empty());
  }
}

// Stuck bits in the bank a copy test writes, at the value it does not copy
// there. Each is reported once, by both indices, in ascending order.
constexpr u64 kLastInBlock = ~u64{0};

struct FaultCase {
  Direction direction;
  std::vector<u64> positions;  // k within the block, or kLastInBlock
};

void PrintTo(const FaultCase& c, std::ostream* os) {
  PrintTo(c.direction, os);
  *os << ", faults at block words";
  for (u64 k : c.positions) {
    if (k == kLastInBlock) {
      *os << " last";
    } else {
      *os << " " << k;
    }
  }
}

class CopyFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(CopyFaultTest, ReportsEachFaultyWordByBothIndices) {
  const FaultCase& c = GetParam();
  constexpr u64 kWords = 4096;
  constexpr unsigned kSeed = 12345;
  BankPair banks(kWords);
  fillDistinct(banks.a(), banks.b(), kWords);
  const Blocks blocks(kSeed);
  const u64 count = kWords - blocks.startA;

  std::vector<std::unique_ptr<StuckBit>> stuck;
  std::vector<std::pair<u64, u64>> expected;
  for (u64 k : c.positions) {
    const u64 inBlock = k == kLastInBlock ? count - 1 : k;
    const u64 indexA = blocks.startA + inBlock;
    const u64 indexB = blocks.startB + inBlock;
    const bool intoA = c.direction == Direction::kBIntoA;
    const u32 copied = intoA ? banks.b()[indexB] : banks.a()[indexA];
    u32* word = intoA ? &banks.a()[indexA] : &banks.b()[indexB];
    stuck.push_back(std::make_unique<StuckBit>(word, 3, (copied & 8) == 0));
    expected.emplace_back(indexA, indexB);
  }
  RecordingTester tester;
  tester.useBanks(banks.a(), banks.b(), kWords);
  seedRandNumber(kSeed);

  EXPECT_EQ(runCopy(tester, c.direction), 1);
  EXPECT_EQ(tester.crossPairs, expected);
  EXPECT_TRUE(tester.pairs.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CopyFaultTest,
    ::testing::Values(FaultCase{Direction::kBIntoA, {0}},
                      FaultCase{Direction::kAIntoB, {0}},
                      FaultCase{Direction::kBIntoA, {kLastInBlock}},
                      FaultCase{Direction::kAIntoB, {kLastInBlock}},
                      FaultCase{Direction::kBIntoA, {17, 2500}},
                      FaultCase{Direction::kAIntoB, {17, 2500}}));

// The written bank's second page is its third page: an address-decoder
// fault. The block's words in page 2 are written after those in page 1 and
// land in both, so every word of page 1 holds the wrong value.
TEST(CopyAliasTest, EveryWordOfTheOverwrittenPageIsReported) {
  constexpr u64 kWords = 4096;
  constexpr unsigned kSeed = 12345;
  const Blocks blocks(kSeed);
  const u64 displacement = blocks.startA - blocks.startB;
  for (Direction direction : {Direction::kBIntoA, Direction::kAIntoB}) {
    AliasedArea faulty(4);
    BankPair sound(kWords);
    const bool intoA = direction == Direction::kBIntoA;
    u32* a = intoA ? faulty.words() : sound.a();
    u32* b = intoA ? sound.b() : faulty.words();
    fillDistinct(a, b, kWords);
    faulty.alias(1, 2);
    RecordingTester tester;
    tester.useBanks(a, b, kWords);
    seedRandNumber(kSeed);

    EXPECT_EQ(runCopy(tester, direction), 1);
    std::vector<std::pair<u64, u64>> expected;
    for (u64 i = 1024; i < 2048; ++i) {
      if (intoA) {
        expected.emplace_back(i, i - displacement);
      } else {
        expected.emplace_back(i + displacement, i);
      }
    }
    EXPECT_EQ(tester.crossPairs, expected);
  }
}

}  // namespace
