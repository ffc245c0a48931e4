// The decay test: probes randomly chosen word pairs, each compared before it
// is written, so a comparison spans the whole time since the pair was last
// written, by this test or any other. Needs the banks equal word for word
// when it starts, as the random bank test leaves them. On several workers
// the sweeps are shared among them, each probing its own slice with its own
// generator; they report as they find, one error at a time.
#include "tester/cellchecker.h"
#include "tester/pattern_generator.h"

namespace {

constexpr u64 kSweeps = 1024;
constexpr int kProbesPerSweep = 1024;

}  // namespace

u64 decayProbePosition(u64 draw, u64 wordsPerBank) {
  // The low half alone reaches every word of a bank of up to 2^32 words.
  const u64 used = wordsPerBank > u64{1} << 32 ? draw : draw & 0xFFFFFFFF;
  return used % wordsPerBank;
}

void Cellchecker::runDecayTest() {
  sliceBanks();
  // The sweeps go to the workers whose slice holds words, as evenly as
  // they divide; the first ones make one more.
  unsigned probing = 0;
  for (const Share& share : shares_) probing += share.slice.size() != 0;
  if (probing == 0) return;  // no test area
  for (unsigned worker = 0, rank = 0; worker < shares_.size(); ++worker) {
    Share& share = shares_[worker];
    share.sweeps = 0;
    if (share.slice.size() == 0) continue;
    share.sweeps = kSweeps / probing + (rank < kSweeps % probing ? 1 : 0);
    ++rank;
  }
  const bool alone = workers() == 1;

  auto probe = [&](unsigned worker) {
    const Share& share = shares_[worker];
    const u64 first = share.slice.begin;
    const u64 words = share.slice.size();
    u32* const a = bankA + first;
    u32* const b = bankB + first;
    uint32_t* const table = generators_.table(worker);
    // Positions in draw order, values in reverse draw order: probe k writes
    // the low half of the sweep's draw 1023 - k.
    u64 position[kProbesPerSweep];
    u32 value[kProbesPerSweep];

    for (u64 sweep = 0; sweep < share.sweeps; ++sweep) {
      {
        RandDraws draws(table);
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
        if (inA != inB) {
          if (alone) {
            report(first + i);
          } else {
            std::lock_guard<std::mutex> lock(errorPath_);
            report(first + i);
          }
        }
        a[i] = value[k];
        b[i] = value[k];
      }
    }
  };
  onEveryWorker(probe);
}
