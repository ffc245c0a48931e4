#include "tester/block_kernels.h"

#include <emmintrin.h>
#include <xmmintrin.h>

#include <cstring>

namespace {

inline uint64_t load64(const uint32_t* p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

inline void store64(uint32_t* p, uint64_t v) { memcpy(p, &v, sizeof v); }

// Pins a unit of the copy to a general-purpose register. Without it the
// vectoriser (at -O3, or with wider -march settings) merges neighbouring
// 64-bit moves into 16- or 32-byte ones and turns the word-by-word tail into
// vector moves; the copy's units and order are what the copy tests exercise.
template <typename T>
inline T inRegister(T v) {
  asm("" : "+r"(v));
  return v;
}

// A 64-bit store that goes to memory without first reading the line into the
// cache.
inline void streamStore64(uint32_t* p, uint64_t v) {
  _mm_stream_si64(reinterpret_cast<long long*>(p), static_cast<long long>(v));
}

// Streaming copies ask for the source this far ahead; the hardware
// prefetcher alone leaves the loads waiting.
constexpr uint64_t kPrefetchWords = 1024;

template <bool kStreaming>
void copyBlock(uint32_t* dst, const uint32_t* src, uint64_t count) {
  for (; count > 8; count -= 8, dst += 8, src += 8) {
    if (kStreaming) {
      _mm_prefetch(reinterpret_cast<const char*>(src + kPrefetchWords),
                   _MM_HINT_T0);
      streamStore64(dst, inRegister(load64(src)));
      streamStore64(dst + 2, inRegister(load64(src + 2)));
      streamStore64(dst + 4, inRegister(load64(src + 4)));
      streamStore64(dst + 6, inRegister(load64(src + 6)));
    } else {
      store64(dst, inRegister(load64(src)));
      store64(dst + 2, inRegister(load64(src + 2)));
      store64(dst + 4, inRegister(load64(src + 4)));
      store64(dst + 6, inRegister(load64(src + 6)));
    }
  }
  for (uint64_t i = 0; i < count; ++i) dst[i] = inRegister(src[i]);
  // Streaming stores are weakly ordered: all of them land before the caller
  // reads the block.
  if (kStreaming) _mm_sfence();
}

inline __m128i load128(const uint32_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

}  // namespace

void memCopyFast(uint32_t* dst, const uint32_t* src, uint64_t count) {
  if (count >= kStreamingCopyWords) {
    copyBlock<true>(dst, src, count);
  } else {
    copyBlock<false>(dst, src, count);
  }
}

void streamBlock(uint32_t* dst, const uint32_t* block, uint64_t count) {
  for (; count > 0 && (reinterpret_cast<uintptr_t>(dst) & 15) != 0; --count) {
    _mm_stream_si32(reinterpret_cast<int*>(dst++), static_cast<int>(*block++));
  }
  for (; count >= 16; count -= 16, dst += 16, block += 16) {
    __m128i* const line = reinterpret_cast<__m128i*>(dst);
    _mm_stream_si128(line, load128(block));
    _mm_stream_si128(line + 1, load128(block + 4));
    _mm_stream_si128(line + 2, load128(block + 8));
    _mm_stream_si128(line + 3, load128(block + 12));
  }
  for (; count >= 4; count -= 4, dst += 4, block += 4) {
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst), load128(block));
  }
  for (; count > 0; --count) {
    _mm_stream_si32(reinterpret_cast<int*>(dst++), static_cast<int>(*block++));
  }
}

int memCmpFast(const uint32_t* a, const uint32_t* b, uint64_t count) {
  // The reference grouping: four-word groups while more than four words
  // remain, then the last 1 to 4 words. Four groups at a time are read as
  // 16-byte units; leftover groups and the tail word by word.
  const uint64_t groups = count > 4 ? (count - 5) / 4 + 1 : 0;
  const uint64_t wideSteps = groups / 4;

  __m128i wide = _mm_setzero_si128();
  for (uint64_t step = 0; step < wideSteps; ++step, a += 16, b += 16) {
    const __m128i d0 = _mm_xor_si128(load128(a), load128(b));
    const __m128i d1 = _mm_xor_si128(load128(a + 4), load128(b + 4));
    const __m128i d2 = _mm_xor_si128(load128(a + 8), load128(b + 8));
    const __m128i d3 = _mm_xor_si128(load128(a + 12), load128(b + 12));
    wide = _mm_or_si128(
        wide, _mm_or_si128(_mm_or_si128(d0, d1), _mm_or_si128(d2, d3)));
  }
  uint32_t lanes[4];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), wide);
  uint32_t acc = lanes[0] | lanes[1] | lanes[2] | lanes[3];

  for (uint64_t i = 0, rest = count - 16 * wideSteps; i < rest; ++i) {
    acc |= a[i] ^ b[i];
  }
  return acc != 0;
}

int memCmpComplementFast(const uint32_t* a, const uint32_t* b, uint64_t count) {
  // a ^ b is all ones where the pair holds a word and its complement: the
  // accumulator gathers the bits where it is not.
  const __m128i ones = _mm_set1_epi32(-1);
  __m128i wide0 = _mm_setzero_si128();
  __m128i wide1 = wide0;
  uint64_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m128i d0 = _mm_xor_si128(load128(a + i), load128(b + i));
    const __m128i d1 = _mm_xor_si128(load128(a + i + 4), load128(b + i + 4));
    const __m128i d2 = _mm_xor_si128(load128(a + i + 8), load128(b + i + 8));
    const __m128i d3 = _mm_xor_si128(load128(a + i + 12), load128(b + i + 12));
    wide0 = _mm_or_si128(wide0, _mm_xor_si128(_mm_and_si128(d0, d1), ones));
    wide1 = _mm_or_si128(wide1, _mm_xor_si128(_mm_and_si128(d2, d3), ones));
  }
  uint32_t lanes[4];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes),
                   _mm_or_si128(wide0, wide1));
  uint32_t acc = lanes[0] | lanes[1] | lanes[2] | lanes[3];
  for (; i < count; ++i) acc |= ~(a[i] ^ b[i]);
  return acc != 0;
}
