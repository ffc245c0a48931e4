#include "tester/cellchecker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "tests/support/recording_tester.h"

namespace {

// An area with a guard word on each side, to see that nothing outside the
// handed-over bytes is written.
struct GuardedArea {
  explicit GuardedArea(size_t bytes) : words(bytes / 4 + 4, kGuard) {}
  char* area() { return reinterpret_cast<char*>(words.data() + 2); }
  bool guardsIntact(size_t bytes) const {
    return words[0] == kGuard && words[1] == kGuard &&
           words[2 + bytes / 4] == kGuard && words[3 + bytes / 4] == kGuard;
  }
  static constexpr u32 kGuard = 0x5A5A5A5A;
  std::vector<u32> words;
};

struct SplitCase {
  u64 sizeBytes;
  u64 wordsPerBank;
  u64 bankBOffset;
};

class InitNoAllocSplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(InitNoAllocSplitTest, SplitsTheAreaAndPreTestsIt) {
  const SplitCase& c = GetParam();
  GuardedArea memory(c.sizeBytes);
  RecordingTester tester;
  tester.errorCount = 9;

  ASSERT_EQ(tester.initNoAlloc(c.sizeBytes, memory.area()), kInitOk);
  EXPECT_EQ(tester.wordsPerBank, c.wordsPerBank);
  EXPECT_EQ(reinterpret_cast<char*>(tester.bankA), memory.area());
  EXPECT_EQ(reinterpret_cast<char*>(tester.bankB),
            memory.area() + c.bankBOffset);
  EXPECT_EQ(tester.errorCount, 0u);
  EXPECT_EQ(tester.passCount, 1u);
  EXPECT_EQ(tester.status,
            std::vector<std::string>{"Preparing and pre-testing memory..."});
  EXPECT_TRUE(tester.addresses.empty());
  EXPECT_TRUE(memory.guardsIntact(c.sizeBytes));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, InitNoAllocSplitTest,
    ::testing::Values(SplitCase{16384, 2048, 8192},
                      // 2049 words rounded down to even; B still at the middle
                      SplitCase{16392, 2048, 8196},
                      // odd word counts and a middle that is not a whole word
                      SplitCase{16396, 2048, 8196},
                      SplitCase{16386, 2048, 8192},
                      // the smallest area: 1024 words per bank
                      SplitCase{8192, 1024, 4096},
                      SplitCase{8200, 1024, 4100}));

TEST(InitNoAllocTest, RefusesAnAreaTooSmallForTheTests) {
  for (u64 bytes : {u64{0}, u64{8}, u64{8184}, u64{8191}}) {
    GuardedArea memory(bytes);
    RecordingTester tester;
    EXPECT_EQ(tester.initNoAlloc(bytes, memory.area()), kInitAreaTooSmall);
    EXPECT_EQ(tester.bankA, nullptr);
    EXPECT_EQ(tester.bankB, nullptr);
    EXPECT_EQ(tester.wordsPerBank, 0u);
    EXPECT_EQ(tester.passCount, 0u);
    EXPECT_TRUE(tester.status.empty());
    for (u32 w : memory.words) EXPECT_EQ(w, GuardedArea::kGuard);
  }
}

// A tester whose allocator fails chosen requests and records releases.
class AllocatingTester : public RecordingTester {
 public:
  explicit AllocatingTester(int failingRequest) : failing_(failingRequest) {}
  ~AllocatingTester() override {
    for (u32* p : live) free(p);
  }

  u32* allocate(u64 bytes) override {
    requests.push_back(bytes);
    if (static_cast<int>(requests.size()) == failing_) return nullptr;
    u32* p = static_cast<u32*>(malloc(bytes));
    live.push_back(p);
    return p;
  }
  void releaseMemory(u32* p) override {
    released.push_back(p);
    if (p == nullptr) return;
    live.erase(std::find(live.begin(), live.end(), p));
    free(p);
  }

  std::vector<u64> requests;
  std::vector<u32*> live;
  std::vector<u32*> released;

 private:
  int failing_;
};

TEST(InitTest, ObtainsBothBanksAndPreTestsThem) {
  AllocatingTester tester(0);
  tester.errorCount = 4;
  ASSERT_EQ(tester.init(16392), kInitOk);
  EXPECT_EQ(tester.requests, (std::vector<u64>{8196, 8196}));
  EXPECT_EQ(tester.wordsPerBank, 2049u);  // not rounded to even here
  EXPECT_EQ(tester.bankA, tester.live[0]);
  EXPECT_EQ(tester.bankB, tester.live[1]);
  EXPECT_EQ(tester.errorCount, 0u);
  EXPECT_EQ(tester.passCount, 1u);
  EXPECT_EQ(tester.status.size(), 1u);
}

TEST(InitTest, FailingRequestIsReportedAndNoBankIsKept) {
  struct Case {
    int failingRequest;
    int result;
  };
  for (Case c : {Case{1, kInitNoBankA}, Case{2, kInitNoBankB}}) {
    AllocatingTester tester(c.failingRequest);
    EXPECT_EQ(tester.init(16384), c.result);
    EXPECT_EQ(tester.requests.size(), 2u) << "both requests come first";
    EXPECT_EQ(tester.released.size(), 1u);
    EXPECT_TRUE(tester.live.empty()) << "the bank obtained is given back";
    EXPECT_EQ(tester.bankA, nullptr);
    EXPECT_EQ(tester.bankB, nullptr);
    EXPECT_EQ(tester.wordsPerBank, 0u);
    EXPECT_EQ(tester.passCount, 0u);
    EXPECT_TRUE(tester.status.empty());
  }
}

TEST(InitTest, RefusesATooSmallAreaBeforeAllocating) {
  AllocatingTester tester(0);
  EXPECT_EQ(tester.init(8184), kInitAreaTooSmall);
  EXPECT_TRUE(tester.requests.empty());
  EXPECT_EQ(tester.bankA, nullptr);
  EXPECT_EQ(tester.wordsPerBank, 0u);
}

TEST(CleanupTest, ReleasesBothBanksAndEmptiesTheTester) {
  AllocatingTester tester(0);
  ASSERT_EQ(tester.init(16384), kInitOk);
  u32* a = tester.bankA;
  u32* b = tester.bankB;
  tester.errorCount = 3;
  tester.cleanup();
  EXPECT_EQ(tester.released, (std::vector<u32*>{a, b}));
  EXPECT_EQ(tester.bankA, nullptr);
  EXPECT_EQ(tester.bankB, nullptr);
  EXPECT_EQ(tester.wordsPerBank, 0u);
  EXPECT_EQ(tester.passCount, 0u);
  EXPECT_EQ(tester.errorCount, 0u);

  tester.cleanup();  // on an empty tester: releases null, harmlessly
  EXPECT_EQ(tester.released.size(), 4u);
}

TEST(CountersTest, CoverageIsPassesOver2000InSinglePrecision) {
  RecordingTester tester;
  struct Case {
    u64 passes;
    float percent;
  };
  for (Case c : {Case{0, 0.0f}, Case{40, 2.0f}, Case{57, 2.85f},
                 Case{2000, 100.0f}, Case{2001, 100.05f}}) {
    tester.passCount = c.passes;
    EXPECT_EQ(tester.percentCoverage(), c.percent) << c.passes;
  }
}

TEST(CountersTest, MBIsBothBanksInMiB) {
  RecordingTester tester;
  tester.wordsPerBank = 131072;
  EXPECT_EQ(tester.MB(), 1u);
  tester.wordsPerBank = 131071;
  EXPECT_EQ(tester.MB(), 0u);
  tester.wordsPerBank = u64{3} << 30;  // two 12 GiB banks
  EXPECT_EQ(tester.MB(), 24576u);
}

TEST(FindAndReportErrorsTest, ReportsEveryDifferingPairInOrder) {
  std::vector<u32> a(20, 7), b(20, 7);
  RecordingTester tester;
  tester.useBanks(a.data(), b.data(), 20);
  // Ten pairs from A[5] and B[2]; pairs k = 1 and k = 8 differ, and one
  // difference lies just outside the range.
  a[6] = 1;
  b[10] = 0x80000007;
  a[15] = 0;
  tester.findAndReportErrors(5, 2, 10);
  EXPECT_EQ(tester.crossPairs,
            (std::vector<std::pair<u64, u64>>{{6, 3}, {13, 10}}));

  tester.crossPairs.clear();
  tester.findAndReportErrors(5, 2, 0);
  EXPECT_TRUE(tester.crossPairs.empty());
}

}  // namespace
