// Physical addresses for tests: blocks of the test's own memory are placed
// at chosen physical addresses; everything else is unknown.
#ifndef CELLCHECK_TESTS_SUPPORT_FIXED_ADDRESSES_H_
#define CELLCHECK_TESTS_SUPPORT_FIXED_ADDRESSES_H_

#include <cstdint>
#include <vector>

#include "badmem/physical_addresses.h"

class FixedAddresses : public PhysicalAddresses {
 public:
  // The `bytes` at `begin` lie at `physical` onwards.
  void place(const void* begin, u64 bytes, u64 physical) {
    blocks_.push_back(
        Block{reinterpret_cast<uintptr_t>(begin), bytes, physical});
  }

  u64 of(const void* address) override {
    const uintptr_t at = reinterpret_cast<uintptr_t>(address);
    for (const Block& block : blocks_) {
      if (at >= block.begin && at - block.begin < block.bytes) {
        return block.physical + (at - block.begin);
      }
    }
    return kUnknownAddress;
  }

 private:
  struct Block {
    uintptr_t begin;
    u64 bytes;
    u64 physical;
  };
  std::vector<Block> blocks_;
};

#endif  // CELLCHECK_TESTS_SUPPORT_FIXED_ADDRESSES_H_
