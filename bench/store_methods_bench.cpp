// What a fill of two banks costs by the way it stores, each factor on its own:
// plain against streaming stores, one bank against both (the pair written
// bank A first, then bank B), values that wait on a dependent chain of loads
// (as each draw waits on the previous one) against values at hand, and one
// 4-byte word a value against whole 64-byte lines written from a small
// buffer. The random bank test's fill is "stream/two/chain/words" as it
// was, "stream/two/chain/lines" as it is now.
#include <benchmark/benchmark.h>
#include <emmintrin.h>

#include <cstring>

#include "bench/areas.h"
#include "tester/block_kernels.h"

namespace {

struct Method {
  bool streaming;  // _mm_stream_* against plain stores
  bool twoBanks;   // bank A and bank B against bank A alone
  bool chain;      // each value waits on the load before it
  bool lines;      // whole lines from a buffer against a word a value
};

// Keeps the compiler from merging 4-byte stores into wider ones.
inline u32 opaque(u32 v) {
  asm("" : "+r"(v));
  return v;
}

// A cycle through 64 slots in the first-level cache: each value is the
// load the previous one pointed at, a chain as long as the generator's.
struct Chain {
  u32 next[64];
  u32 slot = 0;
  Chain() {
    for (u32 i = 0; i < 64; ++i) next[i] = (i * 37 + 11) % 64;
  }
  u32 value() { return slot = next[slot]; }
};

inline void storeWord(u32* p, u32 v, bool streaming) {
  if (streaming) {
    _mm_stream_si32(reinterpret_cast<int*>(p), static_cast<int>(v));
  } else {
    *p = v;
  }
}

// Whole lines of `block` to dst: streamBlock, or the same units as plain
// stores.
void writeBlock(u32* dst, const u32* block, u64 count, bool streaming) {
  if (streaming) {
    streamBlock(dst, block, count);
  } else {
    std::memcpy(dst, block, count * sizeof(u32));
  }
}

template <bool kStreaming, bool kTwoBanks, bool kChain, bool kLines>
void fill(const BenchArea& area, Chain& chain) {
  u32* const a = area.bankA;
  u32* const b = area.bankB;
  const u64 words = area.wordsPerBank;
  if (kLines) {
    alignas(64) u32 block[kFillBlockWords];
    for (u64 k = 0; k < words; k += kFillBlockWords) {
      const u64 count =
          words - k < kFillBlockWords ? words - k : kFillBlockWords;
      for (u64 i = 0; i < count; ++i) {
        block[i] = kChain ? chain.value() : opaque(static_cast<u32>(k + i));
      }
      writeBlock(a + k, block, count, kStreaming);
      if (kTwoBanks) writeBlock(b + k, block, count, kStreaming);
    }
  } else {
    for (u64 k = 0; k < words; ++k) {
      const u32 v = kChain ? chain.value() : opaque(static_cast<u32>(k));
      storeWord(a + k, v, kStreaming);
      if (kTwoBanks) storeWord(b + k, v, kStreaming);
    }
  }
  if (kStreaming) _mm_sfence();
}

template <bool kStreaming, bool kTwoBanks, bool kChain, bool kLines>
void storeMethod(benchmark::State& state, AreaKind kind) {
  const BenchArea& area = benchArea(kind);
  Chain chain;
  for (auto _ : state) {
    fill<kStreaming, kTwoBanks, kChain, kLines>(area, chain);
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(chain.slot);
  state.SetItemsProcessed(state.iterations() * area.wordsPerBank);
}

struct Registered {
  const char* name;
  void (*run)(benchmark::State&, AreaKind);
  AreaKind kind;
};

// streaming, two banks, chain, lines
constexpr Registered kMethods[] = {
    {"stores/plain/one/free/words", storeMethod<false, false, false, false>,
     AreaKind::kStartup},
    {"stores/plain/two/free/words", storeMethod<false, true, false, false>,
     AreaKind::kStartup},
    {"stores/plain/two/chain/words", storeMethod<false, true, true, false>,
     AreaKind::kStartup},
    {"stores/plain/two/chain/lines", storeMethod<false, true, true, true>,
     AreaKind::kStartup},
    {"stores/stream/one/free/words", storeMethod<true, false, false, false>,
     AreaKind::kStartup},
    {"stores/stream/one/chain/words", storeMethod<true, false, true, false>,
     AreaKind::kStartup},
    {"stores/stream/two/free/words", storeMethod<true, true, false, false>,
     AreaKind::kStartup},
    {"stores/stream/two/chain/words", storeMethod<true, true, true, false>,
     AreaKind::kStartup},
    {"stores/stream/one/free/lines", storeMethod<true, false, false, true>,
     AreaKind::kStartup},
    {"stores/stream/two/free/lines", storeMethod<true, true, false, true>,
     AreaKind::kStartup},
    {"stores/stream/two/chain/lines", storeMethod<true, true, true, true>,
     AreaKind::kStartup},
    {"stores/stream/two/chain/words/aligned",
     storeMethod<true, true, true, false>, AreaKind::kAligned},
    {"stores/stream/two/chain/lines/aligned",
     storeMethod<true, true, true, true>, AreaKind::kAligned},
    {"stores/plain/two/chain/words/aligned",
     storeMethod<false, true, true, false>, AreaKind::kAligned},
};

const bool kRegistered = [] {
  for (const Registered& method : kMethods) {
    benchmark::RegisterBenchmark(method.name, method.run, method.kind)
        ->Unit(benchmark::kMillisecond);
  }
  return true;
}();

// The chain alone: what every chained figure above cannot go below.
void chainAlone(benchmark::State& state) {
  const BenchArea& area = benchArea(AreaKind::kStartup);
  Chain chain;
  u32 sink = 0;
  for (auto _ : state) {
    for (u64 k = 0; k < area.wordsPerBank; ++k) sink ^= chain.value();
  }
  benchmark::DoNotOptimize(sink);
  state.SetItemsProcessed(state.iterations() * area.wordsPerBank);
}
BENCHMARK(chainAlone)
    ->Name("stores/chain-alone")
    ->Unit(benchmark::kMillisecond);

}  // namespace
