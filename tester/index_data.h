// Data that a test can always recompute from a word's own index and a seed,
// so that what a word reads back is compared with what it should hold, not
// only with another word. The tests that use it take none of the pattern
// generator's draws.
//
// value(i) = seed + i * kIndexStep (mod 2^32). The step is odd, so the low
// 32 bits of two indices never give one value: two addresses that reach one
// cell hold different data. Neighbouring words differ in their low bits and
// the step's carries spread that to the high bits, so every two data lines
// carry different bits in about half of the words (a bridge between them
// shows), and each word's value and its complement between them drive every
// line to both levels. Consecutive words differ by one constant, so a run of
// words is made with additions only.
#ifndef CELLCHECK_TESTER_INDEX_DATA_H_
#define CELLCHECK_TESTER_INDEX_DATA_H_

#include "base/types.h"

constexpr u32 kIndexStep = 0x9E3779B1u;

inline u32 indexData(u32 seed, u64 index) {
  return seed + static_cast<u32>(index) * kIndexStep;
}

// A fresh seed for each run of these tests: run `run` after seeding with
// `seed`. Mixed, so that runs in a row do not write shifted copies of one
// another.
inline u32 indexDataSeed(unsigned seed, u64 run) {
  u64 x = (u64{seed} << 32 | (run & 0xFFFFFFFF)) + 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return static_cast<u32>(x ^ (x >> 31));
}

#endif  // CELLCHECK_TESTER_INDEX_DATA_H_
