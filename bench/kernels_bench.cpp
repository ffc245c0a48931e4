// The block kernels beside the best the C library and plain code do with the
// same bytes: glibc memcpy beside memCopyFast; a read reduction over 16-byte
// loads and glibc memcmp beside memCmpFast. Bank-sized blocks run on the
// start-up area, bank B into bank A as copy test A moves them; small blocks
// stay in the L2 cache.
#include <benchmark/benchmark.h>
#include <emmintrin.h>
#include <xmmintrin.h>

#include <cstring>
#include <vector>

#include "bench/areas.h"
#include "bench/read_reduction.h"
#include "tester/block_kernels.h"

namespace {

// A copy test's blocks: bank A from startA to its end, bank B from startB.
// startA odd puts every 64-bit unit of the copy 4 bytes off its alignment in
// bank A, as half of all copy tests do.
struct Blocks {
  u32* a;
  u32* b;
  u64 count;
};

Blocks bankBlocks(u64 startA, u64 startB) {
  const BenchArea& area = benchArea(AreaKind::kStartup);
  return {area.bankA + startA, area.bankB + startB, area.wordsPerBank - startA};
}

constexpr u64 kCachedWords = 64 * 1024;  // 256 KiB a block

Blocks cachedBlocks(u64 startA, u64 startB) {
  static std::vector<u32> a(kCachedWords + 1024);
  static std::vector<u32> b(kCachedWords + 1024);
  return {a.data() + startA, b.data() + startB, kCachedWords};
}

template <typename Copy>
void copyBench(benchmark::State& state, Blocks blocks, Copy copy) {
  for (auto _ : state) {
    copy(blocks);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * blocks.count);
  state.SetBytesProcessed(state.iterations() * blocks.count * 4);
}

// What the 64-bit units cost: the same ascending streaming copy with 16-byte
// units (the destination block of the aligned case is 16-byte aligned).
void streamCopy128(const Blocks& x) {
  const u32* src = x.b;
  u32* dst = x.a;
  u64 count = x.count;
  for (; count >= 16; count -= 16, dst += 16, src += 16) {
    _mm_prefetch(reinterpret_cast<const char*>(src + 1024), _MM_HINT_T0);
    for (int j = 0; j < 16; j += 4) {
      _mm_stream_si128(
          reinterpret_cast<__m128i*>(dst + j),
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + j)));
    }
  }
  for (u64 i = 0; i < count; ++i) dst[i] = src[i];
  _mm_sfence();
}

template <typename Compare>
void compareBench(benchmark::State& state, Blocks blocks, Compare compare) {
  memcpy(blocks.a, blocks.b, blocks.count * 4);
  int differ = 0;
  for (auto _ : state) {
    differ |= compare(blocks);
    benchmark::ClobberMemory();
  }
  if (differ) state.SkipWithError("the blocks should be equal");
  state.SetItemsProcessed(state.iterations() * blocks.count);
  state.SetBytesProcessed(state.iterations() * blocks.count * 8);
}

const auto kMemCopyFast = [](Blocks x) { memCopyFast(x.a, x.b, x.count); };
const auto kMemcpy = [](Blocks x) { memcpy(x.a, x.b, x.count * 4); };
const auto kStream128 = [](Blocks x) { streamCopy128(x); };
const auto kMemCmpFast = [](Blocks x) { return memCmpFast(x.a, x.b, x.count); };
const auto kReduction = [](Blocks x) {
  return readReduction(x.a, x.b, x.count);
};
const auto kMemcmp = [](Blocks x) {
  return static_cast<int>(memcmp(x.a, x.b, x.count * 4) != 0);
};

// Registered by hand: the blocks are made only when a benchmark runs, so a
// filtered run takes no area it does not use.
template <typename Bench, typename Kernel>
void add(const char* name, Bench bench, Blocks (*blocks)(u64, u64), u64 startA,
         Kernel kernel) {
  benchmark::RegisterBenchmark(name,
                               [=](benchmark::State& state) {
                                 bench(state, blocks(startA, 99), kernel);
                               })
      ->Unit(blocks == bankBlocks ? benchmark::kMillisecond
                                  : benchmark::kMicrosecond);
}

const bool kRegistered = [] {
  const auto copy = copyBench<decltype(kMemcpy)>;
  const auto stream = copyBench<decltype(kStream128)>;
  const auto copyFast = copyBench<decltype(kMemCopyFast)>;
  add("copy/memCopyFast/bank", copyFast, bankBlocks, 512, kMemCopyFast);
  add("copy/memcpy/bank", copy, bankBlocks, 512, kMemcpy);
  add("copy/memCopyFast/bank-4-off", copyFast, bankBlocks, 513, kMemCopyFast);
  add("copy/memcpy/bank-4-off", copy, bankBlocks, 513, kMemcpy);
  add("copy/memCopyFast/256KiB", copyFast, cachedBlocks, 512, kMemCopyFast);
  add("copy/memcpy/256KiB", copy, cachedBlocks, 512, kMemcpy);

  add("copy/stream-128-bit/bank", stream, bankBlocks, 512, kStream128);

  const auto cmpFast = compareBench<decltype(kMemCmpFast)>;
  const auto reduction = compareBench<decltype(kReduction)>;
  const auto cmp = compareBench<decltype(kMemcmp)>;
  add("compare/memCmpFast/bank", cmpFast, bankBlocks, 512, kMemCmpFast);
  add("compare/read-reduction/bank", reduction, bankBlocks, 512, kReduction);
  add("compare/memcmp/bank", cmp, bankBlocks, 512, kMemcmp);
  add("compare/memCmpFast/256KiB", cmpFast, cachedBlocks, 512, kMemCmpFast);
  add("compare/read-reduction/256KiB", reduction, cachedBlocks, 512,
      kReduction);
  add("compare/memcmp/256KiB", cmp, cachedBlocks, 512, kMemcmp);
  return true;
}();

}  // namespace
