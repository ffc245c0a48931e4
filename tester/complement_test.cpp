// The complement test: bank B filled with the complement of bank A, in
// descending order, each pair bank B first, then every pair checked as
// A == ~B. Every other test fills upward, writes a pair bank A first and
// gives both banks the same data; a fault that acts on both words of a pair
// alike (a stuck or bridged data line, a coupling between partners that
// follows the usual order) passes them all, and shows here. Its data is
// recomputed from each word's index and a seed of its own run
// (tester/index_data.h), not drawn from the pattern generator, so the
// generator's sequence is the same with or without it.
//
// The check compares memory with memory, branch-free, as the other block
// tests do; only after it found a difference does a word-by-word pass name
// each word that does not hold what was written to it. On several workers
// each fills and checks its own slice, all fills ending before any check.
// The banks are left unequal: a random bank test must come before the next
// test that needs them equal.
#include <emmintrin.h>

#include "tester/block_kernels.h"
#include "tester/cellchecker.h"
#include "tester/index_data.h"

namespace {

// Words [0, n) of both banks from the top down, bank B's word of a pair
// before bank A's: a[k] = value(k), b[k] = ~value(k), value(k) = v0 + k *
// kIndexStep. Streaming stores where the two banks allow 16-byte units.
void fillDescending(u32* a, u32* b, u64 n, u32 v0) {
  const auto pair = [&](u64 k) {
    const u32 value = v0 + static_cast<u32>(k) * kIndexStep;
    _mm_stream_si32(reinterpret_cast<int*>(b + k), static_cast<int>(~value));
    _mm_stream_si32(reinterpret_cast<int*>(a + k), static_cast<int>(value));
  };
  const uintptr_t offsetA = reinterpret_cast<uintptr_t>(a) & 15;
  const uintptr_t offsetB = reinterpret_cast<uintptr_t>(b) & 15;
  u64 k = n;
  if (offsetA == offsetB) {
    // Alone down to a line boundary of bank A (of bank B too: they lie
    // alike within 16 bytes, and in the program a whole number of pages
    // apart).
    const u64 misalign = (reinterpret_cast<uintptr_t>(a + n) / 4) & 15;
    for (u64 j = 0; j < misalign && k > 0; ++j) pair(--k);
    const __m128i lanes = _mm_setr_epi32(0, static_cast<int>(kIndexStep),
                                         static_cast<int>(2 * kIndexStep),
                                         static_cast<int>(3 * kIndexStep));
    const __m128i ones = _mm_set1_epi32(-1);
    // A whole line of each bank a step, bank B's first: each write-
    // combining buffer fills at once and leaves as one line.
    const __m128i four = _mm_set1_epi32(static_cast<int>(4 * kIndexStep));
    for (; k >= 16; k -= 16) {
      const u64 low = k - 16;
      const __m128i w0 = _mm_add_epi32(
          _mm_set1_epi32(
              static_cast<int>(v0 + static_cast<u32>(low) * kIndexStep)),
          lanes);
      const __m128i w1 = _mm_add_epi32(w0, four);
      const __m128i w2 = _mm_add_epi32(w1, four);
      const __m128i w3 = _mm_add_epi32(w2, four);
      __m128i* const pa = reinterpret_cast<__m128i*>(a + low);
      __m128i* const pb = reinterpret_cast<__m128i*>(b + low);
      _mm_stream_si128(pb + 3, _mm_xor_si128(w3, ones));
      _mm_stream_si128(pb + 2, _mm_xor_si128(w2, ones));
      _mm_stream_si128(pb + 1, _mm_xor_si128(w1, ones));
      _mm_stream_si128(pb, _mm_xor_si128(w0, ones));
      _mm_stream_si128(pa + 3, w3);
      _mm_stream_si128(pa + 2, w2);
      _mm_stream_si128(pa + 1, w1);
      _mm_stream_si128(pa, w0);
    }
  }
  while (k > 0) pair(--k);
  _mm_sfence();  // every streaming store lands before the check reads
}

}  // namespace

u64 Cellchecker::runComplementTest() {
  if (wordsPerBank == 0) return 0;
  sliceBanks();
  const u32 seed = indexDataSeed(dataSeed_, dataRuns_++);

  auto fillAndCheck = [&](unsigned worker) {
    Share& share = shares_[worker];
    const WordRange slice = share.slice;
    u32* const a = bankA + slice.begin;
    u32* const b = bankB + slice.begin;
    fillDescending(a, b, slice.size(), indexData(seed, slice.begin));
    workersMeet();
    share.differs = memCmpComplementFast(a, b, slice.size()) != 0;
  };
  onEveryWorker(fillAndCheck);

  // The word-by-word pass, on this thread, the slices in order: each word
  // that does not hold what was written to it is named on its own (both
  // words of a pair, when both are wrong).
  u64 found = 0;
  u32* const a = bankA;
  u32* const b = bankB;
  for (const Share& share : shares_) {
    if (!share.differs) continue;
    for (u64 k = share.slice.begin; k < share.slice.end; ++k) {
      const u32 inB = b[k];
      const u32 inA = a[k];
      if (inA == ~inB) continue;
      const u32 value = indexData(seed, k);
      if (inA != value) {
        ++found;
        reportWord(k, false, inA, value);
      }
      if (inB != ~value) {
        ++found;
        reportWord(k, true, inB, ~value);
      }
    }
  }
  return found;
}
