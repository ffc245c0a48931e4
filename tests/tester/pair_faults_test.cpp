// Faults that act alike on the two words of a pair: one data line stuck in
// every word of both banks, two lines bridged, a coupling from each word to
// its partner, an address fault that makes partners one cell. The tests
// that compare bank with bank cannot see a stuck line; the march sweep and
// the complement test, which know what each word should hold, name the
// words and the bits at once.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "tester/cellchecker.h"
#include "tester/pattern_generator.h"
#include "tests/support/aliased_area.h"
#include "tests/support/bank_pair.h"
#include "tests/support/recording_tester.h"
#include "tests/support/stuck_bits.h"

namespace {

// A bank of one page: the smallest the copy tests run on.
constexpr u64 kWords = 1024;
constexpr int kBit = 13;

// Holds bit kBit at `level` in every word of both banks.
std::vector<std::unique_ptr<StuckBit>> stuckLine(u32* a, u32* b, u64 words,
                                                 bool level) {
  std::vector<std::unique_ptr<StuckBit>> held;
  for (u64 k = 0; k < words; ++k) {
    held.push_back(std::make_unique<StuckBit>(&a[k], kBit, level));
    held.push_back(std::make_unique<StuckBit>(&b[k], kBit, level));
  }
  return held;
}

// The bank-against-bank tests over a data line stuck in every word: the
// random bank test, the copy tests, the write-speed test, and the decay
// test (its banks are larger, so that few of its million probes are
// stepped: the line is stuck over one page of each bank at the same
// offsets, which is all the decay test can tell, comparing only partners).
TEST(PairFaultTest, TheBankAgainstBankTestsFindNoStuckLine) {
  for (bool level : {false, true}) {
    SCOPED_TRACE(level);
    BankPair banks(kWords);
    RecordingTester tester;
    tester.useBanks(banks.a(), banks.b(), kWords);
    seedRandNumber(31);
    const auto held = stuckLine(banks.a(), banks.b(), kWords, level);
    tester.runTestBanksAllRand();
    EXPECT_EQ(tester.runCopyTest(), 0);
    EXPECT_EQ(tester.runCopyTestB(), 0);
    tester.runTestBanksAllRand();
    for (u64 lag : {0, 1, 255}) tester.testWriteSpeed(lag);
    EXPECT_TRUE(tester.pairs.empty());
    EXPECT_TRUE(tester.crossPairs.empty());
    // The data did pass through the stuck line.
    EXPECT_EQ(banks.a()[100] >> kBit & 1, level ? 1u : 0u);
  }
  constexpr u64 kDecayWords = 256 * kWords;
  BankPair banks(kDecayWords);
  RecordingTester tester;
  tester.useBanks(banks.a(), banks.b(), kDecayWords);
  seedRandNumber(32);
  tester.runTestBanksAllRand();
  const auto held =
      stuckLine(banks.a() + 5 * kWords, banks.b() + 5 * kWords, kWords, false);
  tester.runDecayTest();
  EXPECT_TRUE(tester.pairs.empty());
}

// Where a case's fault lies and how the banks are laid out.
struct Fixture {
  u32* a;
  u32* b;
};

struct Case {
  const char* name;
  // Makes the fault over banks of kWords words; what it returns holds it.
  std::function<std::shared_ptr<void>(Fixture)> fault;
  // The words named are all in bank B (the victims); else the march names
  // a word of bank A first, and the complement test either word of a pair.
  bool inBankB;
  u32 bits;  // the bits a report may name (0: any)
  bool complementFinds;
};

std::shared_ptr<void> keep(std::vector<std::unique_ptr<StuckBit>> held) {
  return std::make_shared<decltype(held)>(std::move(held));
}

const Case kCases[] = {
    {"a data line stuck at 0",
     [](Fixture f) { return keep(stuckLine(f.a, f.b, kWords, false)); }, false,
     1u << kBit, true},
    {"a data line stuck at 1",
     [](Fixture f) { return keep(stuckLine(f.a, f.b, kWords, true)); }, false,
     1u << kBit, true},
    {"two lines bridged",
     [](Fixture f) -> std::shared_ptr<void> {
       auto held =
           std::make_shared<std::vector<std::unique_ptr<BridgedBits>>>();
       for (u64 k = 0; k < kWords; ++k) {
         held->push_back(std::make_unique<BridgedBits>(&f.a[k], 6));
         held->push_back(std::make_unique<BridgedBits>(&f.b[k], 6));
       }
       return held;
     },
     false, 3u << 6, true},
    // A rise in a word of bank A sets its partner's bit: the complement
    // test writes bank B first, so the partner already holds its value.
    {"a coupling from each word to its partner, setting",
     [](Fixture f) -> std::shared_ptr<void> {
       auto held = std::make_shared<std::vector<std::unique_ptr<CoupledBit>>>();
       for (u64 k = 0; k < kWords; ++k) {
         held->push_back(std::make_unique<CoupledBit>(&f.a[k], &f.b[k], 4, 1));
       }
       return held;
     },
     true, 1u << 4, true},
    // Clearing: the complement test's partner holds the complement of a
    // rising bit, 0, already; only the march meets this one.
    {"a coupling from each word to its partner, clearing",
     [](Fixture f) -> std::shared_ptr<void> {
       auto held = std::make_shared<std::vector<std::unique_ptr<CoupledBit>>>();
       for (u64 k = 0; k < kWords; ++k) {
         held->push_back(std::make_unique<CoupledBit>(&f.a[k], &f.b[k], 4, 0));
       }
       return held;
     },
     true, 1u << 4, false},
    // The other way round: the march meets it in its downward elements,
    // which visit bank B's word first; the complement test writes the
    // victim after its partner and never sees it.
    {"a coupling from each word of bank B to its partner",
     [](Fixture f) -> std::shared_ptr<void> {
       auto held = std::make_shared<std::vector<std::unique_ptr<CoupledBit>>>();
       for (u64 k = 0; k < kWords; ++k) {
         held->push_back(std::make_unique<CoupledBit>(&f.b[k], &f.a[k], 4, 1));
       }
       return held;
     },
     false, 1u << 4, false},
};

using TestRun = u64 (Cellchecker::*)();

// Runs a test over the fixture after a random bank test (as the schedule
// leaves the banks) with the fault made in between.
void expectFound(const Case& c, TestRun run, bool finds) {
  BankPair banks(kWords);
  RecordingTester tester;
  tester.useBanks(banks.a(), banks.b(), kWords);
  seedRandNumber(40);
  tester.seedRand(40);
  tester.runTestBanksAllRand();
  const std::shared_ptr<void> fault = c.fault(Fixture{banks.a(), banks.b()});
  const u64 found = (tester.*run)();
  EXPECT_EQ(found, tester.badWords.size());
  if (!finds) {
    EXPECT_TRUE(tester.badWords.empty());
    return;
  }
  ASSERT_FALSE(tester.badWords.empty());
  if (run == &Cellchecker::runMarchSweep) {
    EXPECT_EQ(tester.badWords.front().inBankB, c.inBankB);
  }
  for (const RecordingTester::WordReport& r : tester.badWords) {
    if (c.inBankB) {
      EXPECT_TRUE(r.inBankB);
    }
    EXPECT_NE(r.bits(), 0u);
    EXPECT_EQ(r.bits() & ~c.bits, 0u) << std::hex << r.bits();
  }
}

TEST(PairFaultTest, TheMarchSweepFindsEachAtOnceWithTheWordAndTheBit) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    expectFound(c, &Cellchecker::runMarchSweep, true);
  }
}

TEST(PairFaultTest, TheComplementTestFindsEachButTheCouplingsItWritesOver) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    expectFound(c, &Cellchecker::runComplementTest, c.complementFinds);
  }
}

// A stuck line: every pair of the complement test has exactly one wrong
// word (the one whose written bit was not the line's level).
TEST(PairFaultTest, AStuckLineCostsTheComplementTestOneWordPerPair) {
  BankPair banks(kWords);
  RecordingTester tester;
  tester.useBanks(banks.a(), banks.b(), kWords);
  tester.seedRand(3);
  const auto held = stuckLine(banks.a(), banks.b(), kWords, true);
  EXPECT_EQ(tester.runComplementTest(), kWords);
  for (u64 k = 0; k < kWords; ++k) {
    ASSERT_EQ(tester.badWords[k].index, k);
    ASSERT_EQ(tester.badWords[k].bits(), 1u << kBit);
  }
}

// Bank B's page is bank A's: partners are one cell. The march's bank B
// data differs from bank A's in every word, so its first read of bank A
// finds bank B's data there; the complement test's bank A write lands last
// and bank B reads it back, every bit wrong.
TEST(PairFaultTest, AnAddressFaultBetweenPartnersIsNamedByWord) {
  struct AliasCase {
    const char* name;
    TestRun run;
    bool inBankB;
  };
  const AliasCase cases[] = {
      {"march sweep", &Cellchecker::runMarchSweep, false},
      {"complement test", &Cellchecker::runComplementTest, true},
  };
  for (const AliasCase& c : cases) {
    SCOPED_TRACE(c.name);
    AliasedArea area(2);
    area.alias(1, 0);
    RecordingTester tester;
    tester.useBanks(area.words(), area.words() + kWords, kWords);
    tester.seedRand(12);
    (tester.*c.run)();
    ASSERT_FALSE(tester.badWords.empty());
    EXPECT_EQ(tester.badWords.front().index, 0u);
    EXPECT_EQ(tester.badWords.front().inBankB, c.inBankB);
    if (c.inBankB) {
      EXPECT_EQ(tester.badWords.size(), kWords);
      EXPECT_EQ(tester.badWords.front().bits(), ~0u);
    }
  }
}

}  // namespace
