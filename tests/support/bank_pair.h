// Two banks for the tests, each followed by a sentinel word, so that a write
// past the end of either bank shows.
#ifndef CELLCHECK_TESTS_SUPPORT_BANK_PAIR_H_
#define CELLCHECK_TESTS_SUPPORT_BANK_PAIR_H_

#include <vector>

#include "tester/cellchecker.h"

class BankPair {
 public:
  static constexpr u32 kSentinel = 0xC0FFEE00;

  explicit BankPair(u64 words) : words_(words), memory_(2 * (words + 1), 0) {
    memory_[words] = kSentinel;
    memory_.back() = kSentinel;
  }

  u32* a() { return memory_.data(); }
  u32* b() { return memory_.data() + words_ + 1; }
  u64 words() const { return words_; }

  std::vector<u32> copyOfA() const {
    return {memory_.begin(), memory_.begin() + words_};
  }
  std::vector<u32> copyOfB() const {
    return {memory_.begin() + words_ + 1, memory_.end() - 1};
  }
  bool sentinelsIntact() const {
    return memory_[words_] == kSentinel && memory_.back() == kSentinel;
  }

 private:
  u64 words_;
  std::vector<u32> memory_;
};

#endif  // CELLCHECK_TESTS_SUPPORT_BANK_PAIR_H_
