// The march sweep: a march over both banks whose data is recomputed from each
// word's own index (tester/index_data.h), so that a word is compared with
// what it should hold. Faults that act alike on the two words of a pair (a
// data line stuck or two bridged in every word, a coupling or an address
// fault between partners) pass every bank-against-bank comparison; here they
// show. Its six elements, with d the word's data and ~d its complement:
//
//   up: write d; up: read d, write ~d; up: read ~d, write d;
//   down: read d, write ~d; down: read ~d, write d; down: read d.
//
// The two banks are one address space, bank A below bank B, so a fault
// coupling a word with its partner is met in both orders. On several workers
// each runs the march over its own slice of both banks, and all meet between
// the elements. A word that reads back wrong is reported at once, alone,
// with what it read and what it should have held.
#include <emmintrin.h>

#include "tester/cellchecker.h"
#include "tester/index_data.h"

namespace {

// Bank B's data differs from its partner's in bank A in every word: an
// address fault between partners shows whichever of the two is written last.
constexpr u32 kBankBSeedOffset = 0x6A09E667u;

enum class Access { kWrite, kReadWrite, kRead };

// One element over words [0, n) of `w`: word k should hold
// (v0 + k * kIndexStep) ^ readFlip and is given that ^ writeFlip. Misses go
// to miss(k, read, expected), out of the loop.
template <bool kUp, Access kAccess, class Miss>
void element(u32* w, u64 n, u32 v0, u32 readFlip, u32 writeFlip, Miss& miss) {
  const auto scalar = [&](u64 k) {
    const u32 value = v0 + static_cast<u32>(k) * kIndexStep;
    if (kAccess != Access::kWrite) {
      const u32 read = w[k];
      if (__builtin_expect(read != (value ^ readFlip), 0)) {
        miss(k, read, value ^ readFlip);
      }
    }
    if (kAccess != Access::kRead) w[k] = value ^ writeFlip;
  };

  // Whole 16-byte units in the middle, 16 words a step; words before the
  // first unit and after the last one alone.
  const u64 misalign = (reinterpret_cast<uintptr_t>(w) / 4) & 3;
  const u64 head = misalign == 0 ? 0 : (4 - misalign < n ? 4 - misalign : n);
  const u64 steps = (n - head) / 16;
  const u64 tail = head + steps * 16;

  const __m128i lanes = _mm_setr_epi32(0, static_cast<int>(kIndexStep),
                                       static_cast<int>(2 * kIndexStep),
                                       static_cast<int>(3 * kIndexStep));
  const __m128i four = _mm_set1_epi32(static_cast<int>(4 * kIndexStep));
  const __m128i readMask = _mm_set1_epi32(static_cast<int>(readFlip));
  const __m128i writeMask = _mm_set1_epi32(static_cast<int>(writeFlip));

  const auto step16 = [&](u64 k) {
    __m128i* const p = reinterpret_cast<__m128i*>(w + k);
    const __m128i v0v = _mm_add_epi32(
        _mm_set1_epi32(static_cast<int>(v0 + static_cast<u32>(k) * kIndexStep)),
        lanes);
    const __m128i v1v = _mm_add_epi32(v0v, four);
    const __m128i v2v = _mm_add_epi32(v1v, four);
    const __m128i v3v = _mm_add_epi32(v2v, four);
    __m128i r0 = _mm_setzero_si128(), r1 = r0, r2 = r0, r3 = r0, differ = r0;
    if (kAccess != Access::kWrite) {
      r0 = _mm_load_si128(p);
      r1 = _mm_load_si128(p + 1);
      r2 = _mm_load_si128(p + 2);
      r3 = _mm_load_si128(p + 3);
      differ = _mm_or_si128(
          _mm_or_si128(_mm_xor_si128(r0, _mm_xor_si128(v0v, readMask)),
                       _mm_xor_si128(r1, _mm_xor_si128(v1v, readMask))),
          _mm_or_si128(_mm_xor_si128(r2, _mm_xor_si128(v2v, readMask)),
                       _mm_xor_si128(r3, _mm_xor_si128(v3v, readMask))));
    }
    if (kAccess == Access::kWrite) {
      // Nothing is read: the lines go to memory without being read first.
      _mm_stream_si128(p, _mm_xor_si128(v0v, writeMask));
      _mm_stream_si128(p + 1, _mm_xor_si128(v1v, writeMask));
      _mm_stream_si128(p + 2, _mm_xor_si128(v2v, writeMask));
      _mm_stream_si128(p + 3, _mm_xor_si128(v3v, writeMask));
    } else if (kAccess == Access::kReadWrite) {
      _mm_store_si128(p, _mm_xor_si128(v0v, writeMask));
      _mm_store_si128(p + 1, _mm_xor_si128(v1v, writeMask));
      _mm_store_si128(p + 2, _mm_xor_si128(v2v, writeMask));
      _mm_store_si128(p + 3, _mm_xor_si128(v3v, writeMask));
    }
    if (kAccess != Access::kWrite &&
        __builtin_expect(_mm_movemask_epi8(_mm_cmpeq_epi32(
                             differ, _mm_setzero_si128())) != 0xFFFF,
                         0)) {
      // What was read, word by word (the words now hold what was written).
      u32 read[16];
      _mm_storeu_si128(reinterpret_cast<__m128i*>(read), r0);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(read + 4), r1);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(read + 8), r2);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(read + 12), r3);
      for (u64 j = 0; j < 16; ++j) {
        const u32 expected =
            (v0 + static_cast<u32>(k + j) * kIndexStep) ^ readFlip;
        if (read[j] != expected) miss(k + j, read[j], expected);
      }
    }
  };

  if (kUp) {
    for (u64 k = 0; k < head; ++k) scalar(k);
    for (u64 k = head; k < tail; k += 16) step16(k);
    for (u64 k = tail; k < n; ++k) scalar(k);
  } else {
    for (u64 k = n; k > tail; --k) scalar(k - 1);
    for (u64 k = tail; k > head; k -= 16) step16(k - 16);
    for (u64 k = head; k > 0; --k) scalar(k - 1);
  }
  if (kAccess == Access::kWrite) _mm_sfence();
}

}  // namespace

u64 Cellchecker::runMarchSweep() {
  if (wordsPerBank == 0) return 0;
  sliceBanks();
  const u32 seedA = indexDataSeed(dataSeed_, dataRuns_++);
  const u32 seedB = seedA + kBankBSeedOffset;
  const u32 all = ~u32{0};

  auto march = [&](unsigned worker) {
    Share& share = shares_[worker];
    share.found = 0;
    const WordRange slice = share.slice;
    u32* const a = bankA + slice.begin;
    u32* const b = bankB + slice.begin;
    const u64 n = slice.size();
    const u32 dataA = indexData(seedA, slice.begin);
    const u32 dataB = indexData(seedB, slice.begin);
    // A miss leaves the loop for this, and takes the error path's lock only
    // when other workers may report at the same time.
    struct Miss {
      Cellchecker* tester;
      Share* share;
      u64 first;
      bool inBankB;
      __attribute__((noinline, cold)) void operator()(u64 k, u32 read,
                                                      u32 expected) {
        ++share->found;
        tester->reportWordAnyWorker(first + k, inBankB, read, expected);
      }
    };
    Miss missA{this, &share, slice.begin, false};
    Miss missB{this, &share, slice.begin, true};

    // Up: bank A's slice, then bank B's; down: bank B's, then bank A's.
    element<true, Access::kWrite>(a, n, dataA, 0, 0, missA);
    element<true, Access::kWrite>(b, n, dataB, 0, 0, missB);
    workersMeet();
    element<true, Access::kReadWrite>(a, n, dataA, 0, all, missA);
    element<true, Access::kReadWrite>(b, n, dataB, 0, all, missB);
    workersMeet();
    element<true, Access::kReadWrite>(a, n, dataA, all, 0, missA);
    element<true, Access::kReadWrite>(b, n, dataB, all, 0, missB);
    workersMeet();
    element<false, Access::kReadWrite>(b, n, dataB, 0, all, missB);
    element<false, Access::kReadWrite>(a, n, dataA, 0, all, missA);
    workersMeet();
    element<false, Access::kReadWrite>(b, n, dataB, all, 0, missB);
    element<false, Access::kReadWrite>(a, n, dataA, all, 0, missA);
    workersMeet();
    element<false, Access::kRead>(b, n, dataB, 0, 0, missB);
    element<false, Access::kRead>(a, n, dataA, 0, 0, missA);
  };
  onEveryWorker(march);

  u64 found = 0;
  for (const Share& share : shares_) found += share.found;
  return found;
}
