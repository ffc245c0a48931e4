// The reference for every branch-free check: the fastest plain reduction of
// a[i] XOR b[i] over 16-byte loads, bound by no grouping or order rule.
#ifndef CELLCHECK_BENCH_READ_REDUCTION_H_
#define CELLCHECK_BENCH_READ_REDUCTION_H_

#include <emmintrin.h>

#include "tester/cellchecker.h"

// 1 if any pair differs. Four independent 16-byte accumulators.
inline int readReduction(const u32* a, const u32* b, u64 count) {
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

#endif  // CELLCHECK_BENCH_READ_REDUCTION_H_
