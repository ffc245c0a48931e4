#include "tester/block_kernels.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace {

constexpr uint32_t kSentinel = 0xC0FFEE00;

// Lengths around every grouping boundary of both kernels: the 8-word moves
// of the copy, the four-word groups and sixteen-word steps of the compare.
const uint64_t kCounts[] = {1,  2,  3,  4,  5,  7,  8,  9,  12,  15,
                            16, 17, 20, 21, 24, 25, 31, 32, 33,  36,
                            37, 63, 64, 65, 68, 69, 80, 81, 100, 257};

// Word offsets from a 16-byte boundary: aligned, and 4, 8 and 12 bytes past
// it (4 bytes past an 8-byte boundary included).
const uint64_t kOffsets[] = {0, 1, 2, 3};

// A buffer aligned to 16 bytes, filled with sentinels; blocks are placed at
// word offsets inside it.
struct Buffer {
  explicit Buffer(uint64_t words) : memory(words + 8, kSentinel) {
    const auto address = reinterpret_cast<uintptr_t>(memory.data());
    base = memory.data() + (16 - address % 16) % 16 / 4;
  }
  std::vector<uint32_t> memory;
  uint32_t* base;
};

// Two pages, the second inaccessible: a block placed to end at the first
// page's end faults on any access past it.
class GuardedPage {
 public:
  GuardedPage() {
    const long page = sysconf(_SC_PAGESIZE);
    void* p = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED ||
        mprotect(static_cast<char*>(p) + page, page, PROT_NONE) != 0) {
      abort();
    }
    base_ = static_cast<uint32_t*>(p);
    words_ = page / 4;
  }
  ~GuardedPage() { munmap(base_, words_ * 8); }
  GuardedPage(const GuardedPage&) = delete;
  GuardedPage& operator=(const GuardedPage&) = delete;

  // The last `count` words before the guard.
  uint32_t* blockEndingAtGuard(uint64_t count) {
    return base_ + words_ - count;
  }
  uint32_t* guard() { return base_ + words_; }

 private:
  uint32_t* base_;
  uint64_t words_;
};

TEST(MemCopyFastTest, CopiesExactlyTheBlockAtAnyWordOffset) {
  for (uint64_t count : kCounts) {
    for (uint64_t dstOffset : kOffsets) {
      for (uint64_t srcOffset : kOffsets) {
        Buffer dst(count + 8);
        Buffer src(count + 8);
        uint32_t* to = dst.base + dstOffset;
        uint32_t* from = src.base + srcOffset;
        for (uint64_t i = 0; i < count; ++i) from[i] = 0x1000 + i * 7;
        const std::vector<uint32_t> srcBefore = src.memory;

        memCopyFast(to, from, count);

        SCOPED_TRACE(::testing::Message()
                     << "count " << count << " dst +" << dstOffset << " src +"
                     << srcOffset);
        for (uint64_t i = 0; i < count; ++i) ASSERT_EQ(to[i], from[i]) << i;
        EXPECT_EQ(src.memory, srcBefore);
        for (uint32_t* w = dst.memory.data(); w < to; ++w) {
          ASSERT_EQ(*w, kSentinel) << "before the block";
        }
        for (uint32_t* w = to + count;
             w < dst.memory.data() + dst.memory.size(); ++w) {
          ASSERT_EQ(*w, kSentinel) << "after the block";
        }
      }
    }
  }
}

TEST(MemCopyFastTest, CountZeroTouchesNothing) {
  GuardedPage page;
  // Both pointers at the guard: any access would fault.
  memCopyFast(page.guard(), page.guard(), 0);
}

TEST(MemCopyFastTest, ReadsAndWritesNothingPastTheBlock) {
  for (uint64_t count : kCounts) {
    GuardedPage dst;
    GuardedPage src;
    uint32_t* from = src.blockEndingAtGuard(count);
    for (uint64_t i = 0; i < count; ++i) from[i] = static_cast<uint32_t>(i);
    memCopyFast(dst.blockEndingAtGuard(count), from, count);
    EXPECT_EQ(dst.blockEndingAtGuard(count)[count - 1], count - 1);
  }
}

// Overlapping blocks are outside the copy's contract; copying a buffer one
// word up onto itself makes the units and their order visible. An 8-word
// move of four 64-bit units, each read and written before the next is read,
// turns 0 1 2 3 4 5 6 7 into 0 0 1 1 3 3 5 5 7; single words in ascending
// order smear the last value forwards.
TEST(MemCopyFastTest, MovesFourOrderedSixtyFourBitUnitsThenSingleWords) {
  struct Case {
    uint64_t count;
    std::vector<uint32_t> expected;  // words 0 to count + 1 afterwards
  };
  const Case cases[] = {
      {8, {0, 0, 0, 0, 0, 0, 0, 0, 0, 9}},
      {9, {0, 0, 1, 1, 3, 3, 5, 5, 7, 7, 10}},
      {16, {0, 0, 1, 1, 3, 3, 5, 5, 7, 7, 7, 7, 7, 7, 7, 7, 7, 17}},
      {17, {0, 0, 1, 1, 3, 3, 5, 5, 7, 7, 9, 9, 11, 11, 13, 13, 15, 15, 18}},
  };
  for (const Case& c : cases) {
    Buffer buffer(c.count + 2);
    uint32_t* words = buffer.base + 1;  // 4 bytes past an 8-byte boundary
    for (uint64_t i = 0; i < c.count + 2; ++i) words[i] = i;
    memCopyFast(words + 1, words, c.count);
    EXPECT_EQ(std::vector<uint32_t>(words, words + c.count + 2), c.expected)
        << "count " << c.count;
  }
}

TEST(MemCmpFastTest, EqualBlocksCompareEqual) {
  for (uint64_t count : kCounts) {
    for (uint64_t offset : kOffsets) {
      Buffer a(count + 4);
      Buffer b(count + 4);
      for (uint64_t i = 0; i < count; ++i) {
        a.base[offset + i] = b.base[3 - offset + i] = 0x9E3779B9u * i;
      }
      // Different words just past the block are not read.
      a.base[offset + count] = 1;
      b.base[3 - offset + count] = 2;
      EXPECT_EQ(memCmpFast(a.base + offset, b.base + 3 - offset, count), 0)
          << "count " << count << " offset " << offset;
    }
  }
}

// A single flipped bit in any word of either block, wherever it falls in the
// grouping, is found.
TEST(MemCmpFastTest, FindsOneFlippedBitInAnyWord) {
  for (uint64_t count : kCounts) {
    for (uint64_t offset : kOffsets) {
      Buffer a(count + 4);
      Buffer b(count + 4);
      uint32_t* blockA = a.base + offset;
      uint32_t* blockB = b.base + offset;
      for (uint64_t i = 0; i < count; ++i) blockA[i] = blockB[i] = ~i;
      for (uint64_t i = 0; i < count; ++i) {
        uint32_t* side = i % 2 ? blockA : blockB;
        const uint32_t bit = 1u << (i * 5 % 32);
        side[i] ^= bit;
        ASSERT_EQ(memCmpFast(blockA, blockB, count), 1)
            << "count " << count << " offset " << offset << " word " << i;
        side[i] ^= bit;
      }
    }
  }
}

TEST(MemCmpFastTest, CountZeroReadsNothing) {
  GuardedPage page;
  EXPECT_EQ(memCmpFast(page.guard(), page.guard(), 0), 0);
}

TEST(MemCmpFastTest, ReadsNothingPastTheBlock) {
  for (uint64_t count : kCounts) {
    GuardedPage a;
    GuardedPage b;
    uint32_t* blockA = a.blockEndingAtGuard(count);
    uint32_t* blockB = b.blockEndingAtGuard(count);
    EXPECT_EQ(memCmpFast(blockA, blockB, count), 0);
    blockB[count - 1] = 8;
    EXPECT_EQ(memCmpFast(blockA, blockB, count), 1);
  }
}

}  // namespace
