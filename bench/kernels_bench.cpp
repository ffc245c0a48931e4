// The block kernels beside the best the C library and plain code do with the
// same bytes: glibc memcpy beside memCopyFast; a read reduction over 16-byte
// loads and glibc memcmp beside memCmpFast. Bank-sized blocks run on the
// start-up area, bank B into bank A as copy test A moves them; small blocks
// stay in the L2 cache.
#include <benchmark/benchmark.h>
#include <emmintrin.h>

#include <cstring>
#include <vector>

#include "bench/areas.h"
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

// The fastest plain check of the same pairs: four independent 16-byte
// accumulators, no grouping rules.
int readReduction(const u32* a, const u32* b, u64 count) {
  __m128i acc0 = _mm_setzero_si128();
  __m128i acc1 = acc0;
  __m128i acc2 = acc0;
  __m128i acc3 = acc0;
  const auto load = [](const u32* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  };
  u64 i = 0;
  for (; i + 16 <= count; i += 16) {
    acc0 = _mm_or_si128(acc0, _mm_xor_si128(load(a + i), load(b + i)));
    acc1 = _mm_or_si128(acc1, _mm_xor_si128(load(a + i + 4), load(b + i + 4)));
    acc2 = _mm_or_si128(acc2, _mm_xor_si128(load(a + i + 8), load(b + i + 8)));
    acc3 =
        _mm_or_si128(acc3, _mm_xor_si128(load(a + i + 12), load(b + i + 12)));
  }
  const __m128i acc =
      _mm_or_si128(_mm_or_si128(acc0, acc1), _mm_or_si128(acc2, acc3));
  u32 rest = 0;
  for (; i < count; ++i) rest |= a[i] ^ b[i];
  return (_mm_movemask_epi8(_mm_cmpeq_epi8(acc, _mm_setzero_si128())) !=
          0xFFFF) |
         (rest != 0);
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
  const auto copyFast = copyBench<decltype(kMemCopyFast)>;
  add("copy/memCopyFast/bank", copyFast, bankBlocks, 512, kMemCopyFast);
  add("copy/memcpy/bank", copy, bankBlocks, 512, kMemcpy);
  add("copy/memCopyFast/bank-4-off", copyFast, bankBlocks, 513, kMemCopyFast);
  add("copy/memcpy/bank-4-off", copy, bankBlocks, 513, kMemcpy);
  add("copy/memCopyFast/256KiB", copyFast, cachedBlocks, 512, kMemCopyFast);
  add("copy/memcpy/256KiB", copy, cachedBlocks, 512, kMemcpy);

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
