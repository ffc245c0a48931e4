// The write-speed test: a burst of 1024 random words written to random pairs,
// each pair compared exactly `lag` writes after it was written.
#include "tester/cellchecker.h"
#include "tester/pattern_generator.h"

namespace {

constexpr u64 kBurst = 1024;

}  // namespace

void Cellchecker::testWriteSpeed(u64 lag) {
  // Past 1024 the steps between the last write and the first compare do
  // nothing, so a larger lag acts as 1024 (and cannot overflow the count of
  // steps).
  if (lag > kBurst) lag = kBurst;
  const u64 words = wordsPerBank;
  u32* const a = bankA;
  u32* const b = bankB;
  // Positions in draw order, data in reverse draw order: write j stores the
  // low half of draw 1023 - j. Everything is drawn before the burst starts.
  u64 position[kBurst];
  u32 datum[kBurst];
  {
    RandDraws draws;
    for (u64 j = 0; j < kBurst; ++j) {
      const u64 draw = draws.nextRand64();
      position[j] = draw % words;
      datum[kBurst - 1 - j] = static_cast<u32>(draw);
    }
  }

  auto write = [&](u64 j) {
    a[position[j]] = datum[j];
    b[position[j]] = datum[j];
  };
  auto compare = [&](u64 j) {
    const u64 i = position[j];
    const u32 inB = b[i];
    const u32 inA = a[i];
    if (inA != inB) report(i);
  };

  // Step j compares the pair written at step j - lag, then writes its own.
  u64 j = 0;
  for (; j < lag; ++j) write(j);
  for (; j < kBurst; ++j) {
    compare(j - lag);
    write(j);
  }
  for (; j < kBurst + lag; ++j) compare(j - lag);
}
