// The pattern generator's state, to check how many draws a test made.
#ifndef CELLCHECK_TESTS_SUPPORT_GENERATOR_STATE_H_
#define CELLCHECK_TESTS_SUPPORT_GENERATOR_STATE_H_

#include <cstdint>
#include <vector>

#include "tester/pattern_generator.h"

// Entries 0 to 100: the generator's whole state.
inline std::vector<uint32_t> generatorState() {
  return {randTable, randTable + 101};
}

// True when the generator stands exactly `draws` draws after a seeding with
// `seed`. Reseeds and draws to find out: call it after the run under test.
inline bool standsDrawsAfterSeed(uint64_t draws, unsigned seed) {
  const std::vector<uint32_t> now = generatorState();
  seedRandNumber(seed);
  {
    RandDraws loop;
    for (uint64_t n = 0; n < draws; ++n) loop.nextRand();
  }
  return generatorState() == now;
}

// True when worker `worker`'s table stands exactly `draws` draws after a
// run was seeded with `seed`. Leaves `table` as it was.
inline bool workerStandsDrawsAfterSeed(const uint32_t* table, uint64_t draws,
                                       unsigned seed, unsigned worker) {
  GeneratorTable expected = {};
  seedWorkerTable(expected, seed, worker);
  {
    RandDraws loop(expected);
    for (uint64_t n = 0; n < draws; ++n) loop.nextRand();
  }
  for (uint32_t i = 0; i < kGeneratorWords; ++i) {
    if (expected[i] != table[i]) return false;
  }
  return true;
}

// One draw as the algorithm states it, every cursor and the selector read
// from and written to the table at each step: what RandDraws must match
// word for word, however it holds its state between draws, and the
// reference its speed is measured against.
inline uint32_t literalDraw() {
  const uint32_t lead = randTable[kLeadCursor];
  const uint32_t trail = randTable[kTrailCursor];
  const uint32_t v = randTable[lead] - randTable[trail];
  randTable[lead] = v;
  randTable[kLeadCursor] = lead == 1 ? 55 : lead - 1;
  randTable[kTrailCursor] = trail == 1 ? 55 : trail - 1;
  const uint32_t slot = kShuffleFirst + randTable[kSelector] % kShuffleSize;
  randTable[kSelector] = randTable[slot];
  randTable[slot] = v;
  return randTable[kSelector];
}

#endif  // CELLCHECK_TESTS_SUPPORT_GENERATOR_STATE_H_
