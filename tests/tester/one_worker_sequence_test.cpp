// A one-worker run draws exactly the sequence the tester drew when it had
// one thread, draw for draw: a fixed sequence of every kind of test, from a
// fixed seed, leaves both banks, the generator and the reports as they were
// then. The reference values were taken from the one-thread tester before
// the tests were split among workers.
#include <gtest/gtest.h>

#include <vector>

#include "tester/cellchecker.h"
#include "tester/pattern_generator.h"
#include "tests/support/recording_tester.h"

namespace {

// FNV-1a over 32-bit words.
uint64_t checksum(const u32* words, u64 count) {
  uint64_t hash = 14695981039346656037ull;
  for (u64 k = 0; k < count; ++k) {
    hash = (hash ^ words[k]) * 1099511628211ull;
  }
  return hash;
}

uint64_t checksum(const std::vector<u64>& values) {
  uint64_t hash = 14695981039346656037ull;
  for (u64 v : values) hash = (hash ^ v) * 1099511628211ull;
  return hash;
}

struct Outcome {
  uint64_t bankA;
  uint64_t bankB;
  uint64_t generator;
  uint64_t reportedPairs;
  size_t reportCount;
  int copyResults;  // the four copy tests' results, one bit each
  u64 passCount;
};

// Every test the schedule runs, the pre-test included, and a decay test on
// banks a copy test left unequal, which reports many pairs.
Outcome runSequence(RecordingTester& tester, std::vector<u32>& area) {
  tester.seedRand(2024);
  tester.initNoAlloc(area.size() * sizeof(u32),
                     reinterpret_cast<char*>(area.data()));
  tester.runTestBanksAllRand();
  tester.seedRand(45435243);
  for (u64 lag : {0, 1, 255, 1024, 7}) tester.testWriteSpeed(lag);
  int copyResults = tester.runCopyTest();
  copyResults |= tester.runCopyTestB() << 1;
  tester.runTestBanksAllRand();
  tester.runDecayTest();
  copyResults |= tester.runCopyTest() << 2;
  copyResults |= tester.runCopyTestB() << 3;
  tester.runDecayTest();
  tester.runTestBanksAllRand();
  tester.runTestBanksRepRand(2);

  return {checksum(tester.bankA, tester.wordsPerBank),
          checksum(tester.bankB, tester.wordsPerBank),
          checksum(randTable, 101),
          checksum(tester.pairs),
          tester.pairs.size(),
          copyResults,
          tester.passCount};
}

struct Case {
  const char* name;
  u64 areaWords;  // of the whole area, both banks
  Outcome expected;
};

// The first case has the short repeating block and a bank B that starts a
// word past a 16-byte boundary; the second the long block.
const Case kCases[] = {
    {"ShortBlock",
     2 * 20001 + 1,
     {0xed02fc221edb2370ull, 0x6f67c54cd5cbf1bfull, 0x4a8f5a8005c21384ull,
      0xbc24c0289e47b31eull, 19901, 0, 9}},
    {"LongBlock",
     2 * 460000,
     {0x26cf3e675eb28273ull, 0xb72e8362ed0bffd1ull, 0x780db12585aebce9ull,
      0xca4762833ff9ec32ull, 412796, 0, 9}},
};

class OneWorkerSequenceTest : public ::testing::TestWithParam<Case> {};

// Without a pool, and with a pool of one CPU.
TEST_P(OneWorkerSequenceTest, LeavesBanksGeneratorAndReportsAsOneThreadDid) {
  const Case& c = GetParam();
  WorkerPool pool({3}, [](unsigned) { return 0; });
  for (WorkerPool* workers : {static_cast<WorkerPool*>(nullptr), &pool}) {
    SCOPED_TRACE(workers == nullptr ? "no pool" : "a pool of one");
    std::vector<u32> area(c.areaWords);
    RecordingTester tester;
    tester.useWorkers(workers);

    const Outcome got = runSequence(tester, area);

    EXPECT_EQ(got.bankA, c.expected.bankA);
    EXPECT_EQ(got.bankB, c.expected.bankB);
    EXPECT_EQ(got.generator, c.expected.generator);
    EXPECT_EQ(got.reportedPairs, c.expected.reportedPairs);
    EXPECT_EQ(got.reportCount, c.expected.reportCount);
    EXPECT_EQ(got.copyResults, c.expected.copyResults);
    EXPECT_EQ(got.passCount, c.expected.passCount);
    EXPECT_TRUE(tester.crossPairs.empty());
    EXPECT_TRUE(tester.addresses.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, OneWorkerSequenceTest,
                         ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& param) {
                           return param.param.name;
                         });

}  // namespace
