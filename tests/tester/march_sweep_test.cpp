// The march sweep and the complement test on sound memory and with one bad
// word: what they leave in the banks, that they take no draw and count no
// pass, and that a bad word is named alone with the bits that differ.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tester/cellchecker.h"
#include "tester/index_data.h"
#include "tester/pattern_generator.h"
#include "tests/support/bank_pair.h"
#include "tests/support/generator_state.h"
#include "tests/support/recording_tester.h"
#include "tests/support/stuck_bits.h"

namespace {

using TestRun = u64 (Cellchecker::*)();

struct Subject {
  const char* name;
  TestRun run;
};

const Subject kTests[] = {
    {"march sweep", &Cellchecker::runMarchSweep},
    {"complement test", &Cellchecker::runComplementTest},
};

// Each bank holds its index data: consecutive words a step apart.
bool holdsIndexData(const u32* bank, u64 words) {
  for (u64 k = 1; k < words; ++k) {
    if (bank[k] - bank[k - 1] != kIndexStep) return false;
  }
  return true;
}

// Two layouts: BankPair's, where bank B starts a word past bank A's
// alignment, and banks that lie alike within a line but off its start; so
// both the words alone and the 16-byte units (and whole lines) are used.
TEST(ExpectedValueTest, SoundMemoryIsLeftHoldingIndexDataAndNothingIsReported) {
  constexpr u32 kGuard = 0x5EEDu;
  for (const Subject& test : kTests) {
    for (bool alike : {false, true}) {
      for (u64 words : {1, 3, 4, 17, 33, 100, 1000}) {
        SCOPED_TRACE(test.name);
        SCOPED_TRACE(alike ? "alike" : "bank pair");
        SCOPED_TRACE(words);
        BankPair pair(words);
        const u64 stride = (words + 15) / 16 * 16 + 16;
        std::vector<u32> area(2 * stride + 32, kGuard);
        u32* const a =
            alike ? area.data() + 16 -
                        reinterpret_cast<uintptr_t>(area.data()) / 4 % 16 + 3
                  : pair.a();
        u32* const b = alike ? a + stride : pair.b();
        if (alike) {
          a[words] = kGuard;
          a[-1] = kGuard;
          b[-1] = kGuard;
          b[words] = kGuard;
        }
        RecordingTester tester;
        tester.useBanks(a, b, words);
        tester.seedRand(9);
        tester.passCount = 4;
        const std::vector<uint32_t> generator = generatorState();

        EXPECT_EQ((tester.*test.run)(), 0u);

        EXPECT_TRUE(tester.badWords.empty());
        EXPECT_TRUE(tester.pairs.empty());
        EXPECT_EQ(tester.passCount, 4u);
        EXPECT_EQ(generatorState(), generator);  // no draw taken
        if (alike) {
          EXPECT_EQ(a[-1], kGuard);
          EXPECT_EQ(a[words], kGuard);
          EXPECT_EQ(b[-1], kGuard);
          EXPECT_EQ(b[words], kGuard);
        } else {
          EXPECT_TRUE(pair.sentinelsIntact());
        }
        EXPECT_TRUE(holdsIndexData(a, words));
        // The sweep gives bank B data of its own; the complement test the
        // complement of bank A's.
        const bool complement = test.run == &Cellchecker::runComplementTest;
        std::vector<u32> inB(b, b + words);
        if (complement) {
          for (u32& word : inB) word = ~word;
        }
        EXPECT_TRUE(holdsIndexData(inB.data(), words));
        for (u64 k = 0; k < words; ++k) {
          if (complement) {
            ASSERT_EQ(b[k], ~a[k]) << k;
          } else {
            ASSERT_NE(b[k], a[k]) << k;
          }
        }
      }
    }
  }
}

TEST(ExpectedValueTest, EachRunWritesNewDataAndTheSameSeedTheSame) {
  for (const Subject& test : kTests) {
    SCOPED_TRACE(test.name);
    BankPair banks(100);
    RecordingTester tester;
    tester.useBanks(banks.a(), banks.b(), 100);
    tester.seedRand(5);
    (tester.*test.run)();
    const std::vector<u32> first = banks.copyOfA();
    (tester.*test.run)();
    EXPECT_NE(banks.copyOfA(), first);
    tester.seedRand(5);
    (tester.*test.run)();
    EXPECT_EQ(banks.copyOfA(), first);
  }
}

// One bit of one word held at a level: the march reads each word five
// times, as d, ~d, d, ~d, d, so it names the word three times when the
// level is not the bit's in d and twice when it is. The complement test
// names it once when the level is not what was written to it, else not at
// all. Always alone, with the one bit.
TEST(ExpectedValueTest, AStuckBitNamesItsWordAloneWithTheBit) {
  constexpr u64 kWords = 3000;
  constexpr int kBit = 11;
  struct Case {
    const Subject& test;
    bool inBankB;
    bool levelAsWritten;  // the level is the bit's value in what the run
                          // wrote last to the word
    size_t reports;
  };
  const Case cases[] = {
      {kTests[0], false, true, 2}, {kTests[0], false, false, 3},
      {kTests[0], true, true, 2},  {kTests[0], true, false, 3},
      {kTests[1], false, true, 0}, {kTests[1], false, false, 1},
      {kTests[1], true, true, 0},  {kTests[1], true, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.test.name);
    SCOPED_TRACE(c.inBankB ? "bank B" : "bank A");
    SCOPED_TRACE(c.levelAsWritten);
    BankPair banks(kWords);
    RecordingTester tester;
    tester.useBanks(banks.a(), banks.b(), kWords);
    u32* word = c.inBankB ? &banks.b()[2100] : &banks.a()[2100];
    tester.seedRand(77);
    (tester.*c.test.run)();  // what the run writes, with the same seed again
    const bool written = (*word >> kBit & 1) != 0;
    const bool level = c.levelAsWritten ? written : !written;
    tester.seedRand(77);
    u64 found;
    {
      StuckBit stuck(word, kBit, level);
      found = (tester.*c.test.run)();
    }
    EXPECT_EQ(found, c.reports);
    ASSERT_EQ(tester.badWords.size(), c.reports);
    for (const RecordingTester::WordReport& r : tester.badWords) {
      EXPECT_EQ(r.index, 2100u);
      EXPECT_EQ(r.inBankB, c.inBankB);
      EXPECT_EQ(r.bits(), 1u << kBit);
      EXPECT_EQ((r.read >> kBit & 1) != 0, level);
    }
    EXPECT_TRUE(tester.pairs.empty());
    EXPECT_TRUE(tester.crossPairs.empty());
  }
}

}  // namespace
