#include "tester/pattern_generator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/generator_state.h"
#include "tests/support/recording_tester.h"

namespace {

std::vector<uint32_t> draws(int n) {
  std::vector<uint32_t> out;
  for (int i = 0; i < n; ++i) out.push_back(nextRand());
  return out;
}

struct SeedCase {
  unsigned seed;
  uint32_t entry1AfterWarmUp;
  std::vector<uint32_t> firstSix;
};

class SeedNumberTest : public ::testing::TestWithParam<SeedCase> {};

TEST_P(SeedNumberTest, GivesTheKnownTableAndDraws) {
  const SeedCase& c = GetParam();
  seedRandNumber(c.seed);
  EXPECT_EQ(randTable[1], c.entry1AfterWarmUp);
  EXPECT_EQ(randTable[kLeadCursor], 55u);
  EXPECT_EQ(randTable[kTrailCursor], 24u);
  EXPECT_EQ(randTable[kSelector], 77u);
  EXPECT_EQ(draws(6), c.firstSix);
}

INSTANTIATE_TEST_SUITE_P(
    KnownSeeds, SeedNumberTest,
    ::testing::Values(SeedCase{0,
                               3336226508u,
                               {644556933u, 1760777507u, 3365330207u,
                                1711925664u, 2603468954u, 800566519u}},
                      SeedCase{45435243,
                               347302498u,
                               {780520928u, 503592317u, 2898600777u,
                                3379311479u, 2590367944u, 2229671779u}}));

TEST(PatternGeneratorTest, SeedZeroTableEntriesAndStateAfterSixDraws) {
  seedRandNumber(0);
  EXPECT_EQ(randTable[55], 1937140623u);
  EXPECT_EQ(randTable[56], 2794673477u);
  EXPECT_EQ(randTable[97], 3365330207u);
  draws(6);
  EXPECT_EQ(randTable[kLeadCursor], 49u);
  EXPECT_EQ(randTable[kTrailCursor], 18u);
  EXPECT_EQ(randTable[kSelector], 800566519u);
}

TEST(PatternGeneratorTest, CursorsMoveDownTogetherAndWrapAfter55Draws) {
  seedRandNumber(7);
  for (uint32_t n = 1; n <= 110; ++n) {
    nextRand();
    const uint32_t lead = 55 - n % 55;
    ASSERT_EQ(randTable[kLeadCursor], lead) << "after " << n;
    ASSERT_EQ(randTable[kTrailCursor], lead > 31 ? lead - 31 : lead + 24)
        << "after " << n;
  }
}

TEST(PatternGeneratorTest, NextRand64PutsTheFirstDrawHigh) {
  seedRandNumber(45435243);
  EXPECT_EQ(nextRand64(), 780520928ull << 32 | 503592317ull);
}

TEST(PatternGeneratorTest, LoopDrawsMatchSingleDrawsAndKeepTheTableCurrent) {
  seedRandNumber(99);
  const std::vector<uint32_t> single = draws(200);
  const std::vector<uint32_t> afterSingle(randTable, randTable + 101);

  seedRandNumber(99);
  std::vector<uint32_t> looped;
  {
    RandDraws d;
    for (int i = 0; i < 100; ++i) {
      const uint64_t two = d.nextRand64();
      looped.push_back(static_cast<uint32_t>(two >> 32));
      looped.push_back(static_cast<uint32_t>(two));
    }
  }
  EXPECT_EQ(looped, single);
  EXPECT_EQ(std::vector<uint32_t>(randTable, randTable + 101), afterSingle);
}

// Block fills from every phase of the cursors' turn, of lengths around whole
// turns, give the single draws' sequence and leave the same table, and the
// single draws after them go on where they should.
TEST(PatternGeneratorTest, FilledBlocksAreTheSingleDrawsInOrder) {
  for (int before : {0, 1, 30, 54, 55, 56}) {
    for (int count : {0, 1, 54, 55, 56, 110, 111, 512}) {
      seedRandNumber(7);
      draws(before);
      const std::vector<uint32_t> single = draws(count + 3);
      const std::vector<uint32_t> afterSingle(randTable, randTable + 101);

      seedRandNumber(7);
      draws(before);
      std::vector<uint32_t> filled(count + 3);
      {
        RandDraws d;
        d.fill(filled.data(), count);
        for (int i = 0; i < 3; ++i) filled[count + i] = d.nextRand();
      }
      EXPECT_EQ(filled, single) << before << " then " << count;
      EXPECT_EQ(std::vector<uint32_t>(randTable, randTable + 101), afterSingle)
          << before << " then " << count;
    }
  }
}

struct DrawRun {
  std::vector<uint32_t> draws;
  std::vector<uint32_t> state;  // entries 0 to 100 afterwards
};

TEST(PatternGeneratorTest, LoopDrawsFollowTheAlgorithmWordForWord) {
  // Runs that end around the cursors' cycle of 55 draws and the shuffle's
  // 42 slots, one long enough to revisit every slot many times, and runs
  // split over several loops, each taking up the state the last one left.
  struct Case {
    unsigned seed;
    std::vector<int> loops;  // draws per loop, one loop after the other
  };
  for (const Case& c : std::vector<Case>{{0, {1}},
                                         {0, {41}},
                                         {0, {42}},
                                         {45435243, {54}},
                                         {45435243, {55}},
                                         {45435243, {56}},
                                         {7, {110}},
                                         {7, {200000}},
                                         {99, {1, 54, 1000, 3, 30000}}}) {
    int total = 0;
    for (int n : c.loops) total += n;
    SCOPED_TRACE(testing::Message()
                 << "seed " << c.seed << ", " << total << " draws in "
                 << c.loops.size() << " loop(s)");
    DrawRun literal;
    seedRandNumber(c.seed);
    for (int i = 0; i < total; ++i) literal.draws.push_back(literalDraw());
    literal.state.assign(randTable, randTable + 101);

    DrawRun looped;
    seedRandNumber(c.seed);
    for (int n : c.loops) {
      RandDraws loop;
      for (int i = 0; i < n; ++i) looped.draws.push_back(loop.nextRand());
    }
    looped.state.assign(randTable, randTable + 101);

    EXPECT_EQ(looped.draws, literal.draws);
    EXPECT_EQ(looped.state, literal.state);
  }
}

TEST(PatternGeneratorTest, ReseedingRestartsTheSequenceWhateverWasDrawn) {
  seedRandNumber(45435243);
  const std::vector<uint32_t> first = draws(60);
  draws(1234);
  seedRandNumber(45435243);
  EXPECT_EQ(draws(60), first);
}

TEST(PatternGeneratorTest, SeedingWritesOnlyEntriesOneTo100) {
  randTable[0] = 0xDEAD;
  randTable[101] = 0xBEEF;
  randTable[999] = 0xF00D;
  seedRandNumber(1);
  EXPECT_EQ(randTable[0], 0xDEADu);
  EXPECT_EQ(randTable[101], 0xBEEFu);
  EXPECT_EQ(randTable[999], 0xF00Du);
  randTable[0] = randTable[101] = randTable[999] = 0;
}

TEST(SeedTextTest, SpreadsTheSeedStringBeforeTheWarmUp) {
  for (unsigned seed : {0u, 4294967295u}) {
    const std::string text = "Nasty" + std::to_string(seed) + "boy";
    ASSERT_TRUE(spreadSeedText(text.c_str()));
    EXPECT_EQ(randTable[1], 563849470u);
    EXPECT_EQ(randTable[10], 637403896u);  // the N of Nasty
    EXPECT_EQ(randTable[97], 662005786u);  // a Q of the padding
  }
}

TEST(SeedTextTest, BytesCountAsSigned) {
  ASSERT_TRUE(spreadSeedText("\xFF"));
  EXPECT_EQ(randTable[10], 4286805549u);
}

TEST(SeedTextTest, EmptyTextIsPrefixAndPaddingOnly) {
  init_rand("");
  EXPECT_EQ(draws(3),
            (std::vector<uint32_t>{2317447234u, 2969409565u, 4188582265u}));
}

TEST(SeedTextTest, EightyFiveBytesAreTheLongestAcceptedText) {
  const std::string longest(85, 'x');
  const std::string tooLong(86, 'x');

  seedRandNumber(3);
  draws(10);
  const std::vector<uint32_t> before(randTable, randTable + 101);
  init_rand(longest.c_str());
  EXPECT_NE(std::vector<uint32_t>(randTable, randTable + 101), before);
  EXPECT_EQ(randTable[kLeadCursor], 55u);

  // A text that is too long changes nothing: the old sequence goes on.
  seedRandNumber(3);
  const std::vector<uint32_t> expected = draws(20);
  seedRandNumber(3);
  draws(10);
  init_rand(tooLong.c_str());
  EXPECT_EQ(draws(10),
            std::vector<uint32_t>(expected.begin() + 10, expected.end()));
}

TEST(SeedTextTest, SeedRandMemberSeedsLikeTheFreeFunction) {
  RecordingTester tester;
  tester.seedRand(45435243);
  EXPECT_EQ(nextRand(), 780520928u);
}

}  // namespace
