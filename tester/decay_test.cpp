// The decay test: probes randomly chosen word pairs, each compared before it
// is written, so a comparison spans the whole time since the pair was last
// written, by this test or any other. Needs the banks equal word for word
// when it starts, as the random bank test leaves them.
#include "tester/cellchecker.h"
#include "tester/pattern_generator.h"

namespace {

constexpr int kSweeps = 1024;
constexpr int kProbesPerSweep = 1024;

}  // namespace

u64 decayProbePosition(u64 draw, u64 wordsPerBank) {
  // The low half alone reaches every word of a bank of up to 2^32 words.
  const u64 used = wordsPerBank > u64{1} << 32 ? draw : draw & 0xFFFFFFFF;
  return used % wordsPerBank;
}

void Cellchecker::runDecayTest() {
  const u64 words = wordsPerBank;
  u32* const a = bankA;
  u32* const b = bankB;
  // Positions in draw order, values in reverse draw order: probe k writes the
  // low half of the sweep's draw 1023 - k.
  u64 position[kProbesPerSweep];
  u32 value[kProbesPerSweep];

  for (int sweep = 0; sweep < kSweeps; ++sweep) {
    {
      RandDraws draws;
      for (int j = 0; j < kProbesPerSweep; ++j) {
        const u64 draw = draws.nextRand64();
        position[j] = decayProbePosition(draw, words);
        value[kProbesPerSweep - 1 - j] = static_cast<u32>(draw);
      }
    }
    for (int k = 0; k < kProbesPerSweep; ++k) {
      const u64 i = position[k];
      const u32 inB = b[i];
      const u32 inA = a[i];
      // report sees the words that differed; they are rewritten after it.
      if (inA != inB) report(i);
      a[i] = value[k];
      b[i] = value[k];
    }
  }
}
