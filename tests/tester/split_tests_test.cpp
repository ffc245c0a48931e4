// The tests on several workers: each worker on its own slice of both banks
// with its own generator, the reports still in ascending order of index and
// none lost.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "tester/cellchecker.h"
#include "tester/pattern_generator.h"
#include "tests/support/aliased_area.h"
#include "tests/support/bank_pair.h"
#include "tests/support/generator_state.h"
#include "tests/support/recording_tester.h"

namespace {

constexpr u64 kPageWords = 1024;

std::vector<unsigned> firstCpus(unsigned count) {
  std::vector<unsigned> cpus;
  for (unsigned cpu = 0; cpu < count; ++cpu) cpus.push_back(cpu);
  return cpus;
}

// A recording tester whose word-pair reports also say which thread made
// them (report runs one at a time, so the vector needs no lock of its own).
class ThreadRecordingTester : public RecordingTester {
 public:
  using RecordingTester::report;
  void report(u64 index) override {
    RecordingTester::report(index);
    threads.push_back(pthread_self());
  }
  std::vector<pthread_t> threads;
};

// Worker counts as parameters; the pool's threads are not pinned.
class SplitTest : public ::testing::TestWithParam<unsigned> {
 protected:
  SplitTest() : pool(firstCpus(GetParam()), nullptr) {}

  WordRange sliceOf(const Cellchecker& tester, unsigned worker) const {
    return bankSlice(tester.bankA, tester.wordsPerBank, GetParam(), worker);
  }

  WorkerPool pool;
};

// Banks of ten pages and a bit: the last slice is not a whole page.
constexpr u64 kWords = 10 * kPageWords + 17;

TEST_P(SplitTest, RandomBankTestFillsEachSliceFromItsWorkersOwnStream) {
  BankPair banks(kWords);
  RecordingTester tester;
  tester.useWorkers(&pool);
  tester.useBanks(banks.a(), banks.b(), kWords);
  tester.seedRand(3);

  tester.runTestBanksAllRand();

  EXPECT_EQ(tester.passCount, 1u);
  EXPECT_TRUE(tester.pairs.empty());
  EXPECT_TRUE(banks.sentinelsIntact());
  GeneratorTable expected = {};
  for (unsigned worker = 0; worker < GetParam(); ++worker) {
    const WordRange slice = sliceOf(tester, worker);
    SCOPED_TRACE(worker);
    seedWorkerTable(expected, 3, worker);
    RandDraws draws(expected);
    for (u64 k = slice.begin; k < slice.end; ++k) {
      const u32 drawn = draws.nextRand();
      ASSERT_EQ(banks.a()[k], drawn) << k;
      ASSERT_EQ(banks.b()[k], drawn) << k;
    }
  }
}

// Bank B's page in the last slice is bank A's page in the first: the last
// worker's stores to bank B land in the first worker's slice of bank A. At
// each word of that page either the first slice's pair differs or the last
// one's, whichever store landed last. Every fill ends before any check, so
// each differing pair is found, once, in ascending order.
TEST_P(SplitTest, RandomBankTestCatchesStoresIntoOtherSlicesAndReportsInOrder) {
  const unsigned workers = GetParam();
  AliasedArea area(2 * workers);
  area.alias(2 * workers - 1, 0);
  RecordingTester tester;
  tester.useWorkers(&pool);
  tester.useBanks(area.words(), area.words() + workers * kPageWords,
                  workers * kPageWords);
  tester.seedRand(17);

  tester.runTestBanksAllRand();

  std::vector<u64> differing;
  for (u64 k = 0; k < tester.wordsPerBank; ++k) {
    if (tester.bankA[k] != tester.bankB[k]) differing.push_back(k);
  }
  EXPECT_EQ(tester.pairs, differing);
  EXPECT_EQ(differing.size(), kPageWords);
}

struct CopyRun {
  std::vector<u32> a;
  std::vector<u32> b;
  std::vector<int> results;
};

// Copy tests A and B, three times each, from seed 9 on banks whose words
// all differ.
CopyRun copyTests(WorkerPool* pool) {
  BankPair banks(kWords);
  for (u64 k = 0; k < kWords; ++k) {
    banks.a()[k] = static_cast<u32>(k * 2654435761u);
    banks.b()[k] = static_cast<u32>(~k * 40503u);
  }
  RecordingTester tester;
  tester.useWorkers(pool);
  tester.useBanks(banks.a(), banks.b(), kWords);
  tester.seedRand(9);
  CopyRun run;
  for (int round = 0; round < 3; ++round) {
    run.results.push_back(tester.runCopyTest());
    run.results.push_back(tester.runCopyTestB());
  }
  EXPECT_TRUE(tester.crossPairs.empty());
  EXPECT_EQ(tester.passCount, 6u);
  run.a = banks.copyOfA();
  run.b = banks.copyOfB();
  return run;
}

// One displacement for the whole test, drawn as with one thread: the split
// copy moves exactly what the one-thread copy moves.
TEST_P(SplitTest, CopyTestsMoveWhatOneThreadMoves) {
  const CopyRun alone = copyTests(nullptr);
  const CopyRun split = copyTests(&pool);
  EXPECT_EQ(split.results, alone.results);
  EXPECT_EQ(split.results, std::vector<int>(6, 0));
  EXPECT_TRUE(split.a == alone.a);
  EXPECT_TRUE(split.b == alone.b);
}

// Bank A's first page is also its last: copy test A writes it from the
// first worker's part and from the last one's. Every copy ends before any
// check, so the pairs the later store broke are found, whichever part they
// are in, in ascending order, each once.
TEST_P(SplitTest, CopyTestCatchesStoresIntoOtherPartsAndReportsInOrder) {
  const unsigned workers = GetParam();
  const u64 pages = 2 * workers;  // per bank
  AliasedArea area(2 * pages);
  area.alias(pages - 1, 0);
  RecordingTester tester;
  tester.useWorkers(&pool);
  tester.useBanks(area.words(), area.words() + pages * kPageWords,
                  pages * kPageWords);
  tester.seedRand(23);
  tester.runTestBanksAllRand();
  tester.seedRand(23);
  const u64 startA = (nextRand() & 0x3FF) + 1;
  const u64 startB = nextRand() % startA;
  tester.seedRand(23);

  const int result = tester.runCopyTest();

  std::vector<std::pair<u64, u64>> differing;
  for (u64 k = 0; startA + k < tester.wordsPerBank; ++k) {
    if (tester.bankA[startA + k] != tester.bankB[startB + k]) {
      differing.emplace_back(startA + k, startB + k);
    }
  }
  EXPECT_EQ(result, 1);
  EXPECT_FALSE(differing.empty());
  EXPECT_EQ(tester.crossPairs, differing);
}

// The same number of probes as one thread makes, shared among the workers:
// each worker's generator stands 2048 draws a sweep after the seed, and the
// sweeps add up to 1024.
TEST_P(SplitTest, DecayTestSharesTheSweepsAndReportsNothingOnEqualBanks) {
  const unsigned workers = GetParam();
  BankPair banks(kWords);
  RecordingTester tester;
  tester.useWorkers(&pool);
  tester.useBanks(banks.a(), banks.b(), kWords);
  tester.seedRand(4);
  tester.runTestBanksAllRand();
  tester.seedRand(4);

  tester.runDecayTest();

  EXPECT_TRUE(tester.pairs.empty());
  EXPECT_TRUE(banks.copyOfA() == banks.copyOfB());
  u64 sweeps = 0;
  for (unsigned worker = 0; worker < workers; ++worker) {
    const u64 share = 1024 / workers + (worker < 1024 % workers ? 1 : 0);
    sweeps += share;
    EXPECT_TRUE(workerStandsDrawsAfterSeed(tester.generatorOf(worker),
                                           2048 * share, 4, worker))
        << "worker " << worker;
  }
  EXPECT_EQ(sweeps, 1024u);
}

// Every pair differs when the test starts: each is reported at its first
// probe, by the worker whose slice holds it, exactly once, and rewritten.
// Workers report at once, one error at a time: none is lost.
TEST_P(SplitTest, DecayTestFloodOfErrorsFromEveryWorkerLosesNone) {
  const unsigned workers = GetParam();
  const u64 words = workers * 2 * kPageWords;
  BankPair banks(words);
  for (u64 k = 0; k < words; ++k) {
    banks.a()[k] = static_cast<u32>(k + 1);
    banks.b()[k] = 0;
  }
  ThreadRecordingTester tester;
  tester.useWorkers(&pool);
  tester.useBanks(banks.a(), banks.b(), words);
  tester.seedRand(8);

  tester.runDecayTest();

  std::set<u64> equalNow;
  for (u64 k = 0; k < words; ++k) {
    if (banks.a()[k] == banks.b()[k]) equalNow.insert(k);
  }
  const std::set<u64> reported(tester.pairs.begin(), tester.pairs.end());
  EXPECT_EQ(reported.size(), tester.pairs.size()) << "a pair reported twice";
  EXPECT_EQ(reported, equalNow);
  EXPECT_EQ(reported.size(), words);  // 1M probes reach every pair

  // Each slice's pairs were reported by one thread, its worker, and no two
  // slices by the same one.
  std::vector<pthread_t> reporter(workers);
  std::vector<bool> seen(workers, false);
  for (size_t n = 0; n < tester.pairs.size(); ++n) {
    unsigned worker = 0;
    while (sliceOf(tester, worker).end <= tester.pairs[n]) ++worker;
    if (!seen[worker]) {
      reporter[worker] = tester.threads[n];
      seen[worker] = true;
    }
    ASSERT_TRUE(pthread_equal(reporter[worker], tester.threads[n]))
        << "pair " << tester.pairs[n];
  }
  for (unsigned w = 1; w < workers; ++w) {
    EXPECT_FALSE(pthread_equal(reporter[w], reporter[0])) << "worker " << w;
  }
}

// The pre-test, split: each worker writes its own slice of each bank first,
// with a block of its own draws repeated to the slice's end.
TEST_P(SplitTest, PreTestRepeatsEachWorkersOwnBlockInItsSlice) {
  const unsigned workers = GetParam();
  const u64 words = workers * 600 * kPageWords;  // long blocks in each slice
  std::vector<u32> area(2 * words + 2);
  RecordingTester tester;
  tester.useWorkers(&pool);
  tester.seedRand(12);

  ASSERT_EQ(tester.initNoAlloc(area.size() * sizeof(u32),
                               reinterpret_cast<char*>(area.data())),
            kInitOk);

  EXPECT_EQ(tester.passCount, 1u);
  EXPECT_TRUE(tester.addresses.empty());
  GeneratorTable expected = {};
  for (unsigned worker = 0; worker < workers; ++worker) {
    const WordRange slice = sliceOf(tester, worker);
    const u64 block = repeatingBlockWords(slice.size());
    ASSERT_EQ(block, 224095u);
    SCOPED_TRACE(worker);
    seedWorkerTable(expected, 12, worker);
    RandDraws draws(expected);
    for (u32* bank : {tester.bankA, tester.bankB}) {
      for (u64 k = 0; k < block; ++k) {
        ASSERT_EQ(bank[slice.begin + k], draws.nextRand()) << k;
      }
      for (u64 k = block; k < slice.size(); ++k) {
        ASSERT_EQ(bank[slice.begin + k], bank[slice.begin + k - block]) << k;
      }
    }
  }
}

// A run is reproducible for a seed and a number of workers.
TEST_P(SplitTest, TheSameSeedGivesTheSameBanks) {
  std::vector<std::vector<u32>> runs;
  for (int run = 0; run < 2; ++run) {
    BankPair banks(kWords);
    RecordingTester tester;
    tester.useWorkers(&pool);
    tester.useBanks(banks.a(), banks.b(), kWords);
    tester.seedRand(31);
    tester.runTestBanksAllRand();
    tester.runDecayTest();
    tester.runCopyTest();
    tester.runCopyTestB();
    tester.runTestBanksRepRand(2);
    std::vector<u32> both = banks.copyOfA();
    const std::vector<u32> b = banks.copyOfB();
    both.insert(both.end(), b.begin(), b.end());
    runs.push_back(both);
  }
  EXPECT_TRUE(runs[0] == runs[1]);
}

// The tests that recompute their data write what one worker writes, and
// name the bad words of any worker's slice by their own bank and index.
// (Stuck bits are for one thread: the fault here is an address fault, bank
// B's last page being bank A's first, so that the first worker and the
// last one write one page.)
TEST_P(SplitTest, ExpectedValueTestsWriteWhatOneWorkerWritesAndNameBadWords) {
  using TestRun = u64 (Cellchecker::*)();
  for (TestRun run :
       {&Cellchecker::runMarchSweep, &Cellchecker::runComplementTest}) {
    BankPair one(kWords);
    BankPair split(kWords);
    RecordingTester alone;
    alone.useBanks(one.a(), one.b(), kWords);
    alone.seedRand(6);
    (alone.*run)();
    RecordingTester tester;
    tester.useWorkers(&pool);
    tester.useBanks(split.a(), split.b(), kWords);
    tester.seedRand(6);
    EXPECT_EQ((tester.*run)(), 0u);
    EXPECT_EQ(split.copyOfA(), one.copyOfA());
    EXPECT_EQ(split.copyOfB(), one.copyOfB());
    EXPECT_TRUE(split.sentinelsIntact());

    const unsigned workers = GetParam();
    const u64 words = workers * kPageWords;
    const u64 lastPage = words - kPageWords;
    AliasedArea area(2 * workers);
    area.alias(2 * workers - 1, 0);
    RecordingTester faulty;
    faulty.useWorkers(&pool);
    faulty.useBanks(area.words(), area.words() + words, words);
    faulty.seedRand(6);
    const u64 found = (faulty.*run)();

    EXPECT_EQ(found, faulty.badWords.size());
    ASSERT_FALSE(faulty.badWords.empty());
    for (const RecordingTester::WordReport& r : faulty.badWords) {
      // Bank A's first page or bank B's last one.
      if (r.inBankB) {
        EXPECT_GE(r.index, lastPage);
      } else {
        EXPECT_LT(r.index, kPageWords);
      }
    }
    if (run == &Cellchecker::runComplementTest) {
      // Whichever store came last, one word of the two in each cell.
      EXPECT_EQ(found, kPageWords);
      EXPECT_TRUE(std::is_sorted(faulty.badWords.begin(), faulty.badWords.end(),
                                 [](const RecordingTester::WordReport& x,
                                    const RecordingTester::WordReport& y) {
                                   return x.index < y.index;
                                 }));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Workers, SplitTest, ::testing::Values(2u, 3u, 4u));

}  // namespace
