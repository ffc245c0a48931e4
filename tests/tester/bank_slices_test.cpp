#include "tester/bank_slices.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr u64 kPageWords = kSlicePageBytes / sizeof(u32);

// A fake bank address: nothing is read or written through it.
const u32* bankAt(uintptr_t address) {
  return reinterpret_cast<const u32*>(address);
}

struct SliceCase {
  const char* name;
  uintptr_t bankA;
  u64 words;
  unsigned workers;
};

class BankSliceTest : public ::testing::TestWithParam<SliceCase> {};

// The slices follow each other without gap or overlap, cover the bank, meet
// on page boundaries of bank A, and are as even as whole pages allow.
TEST_P(BankSliceTest, SlicesCoverTheBankAndMeetOnPageBoundaries) {
  const SliceCase& c = GetParam();
  u64 next = 0;
  for (unsigned worker = 0; worker < c.workers; ++worker) {
    const WordRange slice =
        bankSlice(bankAt(c.bankA), c.words, c.workers, worker);
    SCOPED_TRACE(worker);
    EXPECT_EQ(slice.begin, next);
    EXPECT_LE(slice.begin, slice.end);
    if (slice.begin > 0 && slice.begin < c.words) {
      EXPECT_EQ((c.bankA + slice.begin * sizeof(u32)) % kSlicePageBytes, 0u);
    }
    const u64 even = c.words / c.workers;
    EXPECT_LE(slice.size(), even + 2 * kPageWords);
    if (even >= 4 * kPageWords) {
      EXPECT_GE(slice.size(), even - 2 * kPageWords);
    }
    next = slice.end;
  }
  EXPECT_EQ(next, c.words);
}

INSTANTIATE_TEST_SUITE_P(
    Banks, BankSliceTest,
    ::testing::Values(SliceCase{"OneWorkerTakesAll", 0x10000, 5000, 1},
                      SliceCase{"PageAlignedBank", 0x10000, 1 << 20, 2},
                      SliceCase{"BankOffItsPage", 0x10000 + 4 * 7, 1 << 20, 3},
                      SliceCase{"OddSize", 0x7f0000001234, (1 << 20) + 17, 5},
                      SliceCase{"ManyWorkers", 0x200000, 1 << 24, 64},
                      SliceCase{"FewerPagesThanWorkers", 0x10000 + 8, 3 * 1024,
                                8}),
    [](const ::testing::TestParamInfo<SliceCase>& param) {
      return param.param.name;
    });

TEST(BankSliceTest, ABankSmallerThanAPageGoesToOneWorker) {
  std::vector<u64> sizes;
  for (unsigned worker = 0; worker < 4; ++worker) {
    sizes.push_back(bankSlice(bankAt(0x10000), 100, 4, worker).size());
  }
  EXPECT_EQ(sizes, (std::vector<u64>{0, 0, 0, 100}));
}

TEST(BlockShareTest, PartOfABlockInsideASlice) {
  struct Case {
    WordRange slice;
    u64 first;
    u64 count;
    WordRange share;
  };
  const Case cases[] = {
      {{0, 1024}, 5, 2000, {0, 1019}},        // the block starts in the slice
      {{1024, 2048}, 5, 2000, {1019, 2000}},  // ... and ends in the next one
      {{1024, 2048}, 5, 5000, {1019, 2043}},  // the slice lies inside it
      {{0, 4}, 5, 100, {0, 0}},               // the slice ends before it
      {{200, 300}, 5, 100, {0, 0}},           // ... begins after it
      {{0, 0}, 0, 10, {0, 0}},                // an empty slice
      {{0, 1024}, 1024, 0, {0, 0}},           // an empty block
  };
  for (const Case& c : cases) {
    const WordRange share = blockShare(c.slice, c.first, c.count);
    EXPECT_EQ(share.begin, c.share.begin)
        << c.slice.begin << ".." << c.slice.end << " first " << c.first;
    EXPECT_EQ(share.end, c.share.end)
        << c.slice.begin << ".." << c.slice.end << " first " << c.first;
  }
}

}  // namespace
