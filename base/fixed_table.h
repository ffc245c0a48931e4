// A table of at most N entries inside the object, with its count, for the
// records that must never allocate once the test area is taken (the kernel
// refuses new memory then) or that a signal handler writes: the bad-memory
// record, the guard's log of replaced pages, the memory controllers' counts.
// What no longer fits is counted, never kept.
//
// An entry is written before the count that shows it (release order), so a
// reader on the same thread that a signal handler interrupted, or another
// thread that loads the count (acquire), sees only whole entries.
#ifndef CELLCHECK_BASE_FIXED_TABLE_H_
#define CELLCHECK_BASE_FIXED_TABLE_H_

#include <atomic>

#include "base/types.h"

template <class T, int N>
class FixedTable {
 public:
  static constexpr int kCapacity = N;

  FixedTable() = default;
  FixedTable(const FixedTable&) = delete;
  FixedTable& operator=(const FixedTable&) = delete;

  // Adds `entry` at the end; false (and one more not kept) when the table
  // is full.
  bool add(const T& entry) {
    const int n = count_.load(std::memory_order_relaxed);
    if (n == N) {
      notKept_.store(notKept_.load(std::memory_order_relaxed) + 1,
                     std::memory_order_relaxed);
      return false;
    }
    entries_[n] = entry;
    count_.store(n + 1, std::memory_order_release);
    return true;
  }
  // Empties the table and forgets what was not kept.
  void clear() {
    count_.store(0, std::memory_order_release);
    notKept_.store(0, std::memory_order_relaxed);
  }

  int size() const { return count_.load(std::memory_order_acquire); }
  bool full() const { return size() == N; }
  // Entries offered when the table was full.
  u64 notKept() const { return notKept_.load(std::memory_order_relaxed); }

  const T& operator[](int i) const { return entries_[i]; }
  T& operator[](int i) { return entries_[i]; }
  const T* begin() const { return entries_; }
  const T* end() const { return entries_ + size(); }
  T* begin() { return entries_; }
  T* end() { return entries_ + size(); }

 private:
  T entries_[N] = {};
  std::atomic<int> count_{0};
  std::atomic<u64> notKept_{0};
};

#endif  // CELLCHECK_BASE_FIXED_TABLE_H_
