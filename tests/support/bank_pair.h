// Two banks for the tests, each followed by a sentinel word, so that a write
// past the end of either bank shows. They lie on pages of their own (zeroed),
// so a stuck bit can hold any of their words without catching other data.
#ifndef CELLCHECK_TESTS_SUPPORT_BANK_PAIR_H_
#define CELLCHECK_TESTS_SUPPORT_BANK_PAIR_H_

#include <sys/mman.h>

#include <cstdlib>
#include <vector>

#include "tester/cellchecker.h"

class BankPair {
 public:
  static constexpr u32 kSentinel = 0xC0FFEE00;

  explicit BankPair(u64 words)
      : words_(words),
        bytes_((2 * (words + 1) * sizeof(u32) + 4095) & ~4095ul) {
    void* memory = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) abort();
    memory_ = static_cast<u32*>(memory);
    memory_[words] = kSentinel;
    memory_[2 * words + 1] = kSentinel;
  }
  ~BankPair() { munmap(memory_, bytes_); }
  BankPair(const BankPair&) = delete;
  BankPair& operator=(const BankPair&) = delete;

  u32* a() { return memory_; }
  u32* b() { return memory_ + words_ + 1; }
  u64 words() const { return words_; }

  std::vector<u32> copyOfA() const { return {memory_, memory_ + words_}; }
  std::vector<u32> copyOfB() const {
    return {memory_ + words_ + 1, memory_ + 2 * words_ + 1};
  }
  bool sentinelsIntact() const {
    return memory_[words_] == kSentinel && memory_[2 * words_ + 1] == kSentinel;
  }

 private:
  u64 words_;
  size_t bytes_;
  u32* memory_;
};

#endif  // CELLCHECK_TESTS_SUPPORT_BANK_PAIR_H_
