// The bulk memory kernels of the block tests. Their access order and the
// 64-bit units of the copy are part of what the tests test, not only their
// results. A block needs only 4-byte alignment; every access is made at the
// address it falls on.
#ifndef CELLCHECK_TESTER_BLOCK_KERNELS_H_
#define CELLCHECK_TESTER_BLOCK_KERNELS_H_

#include <cstdint>

// Copies `count` words from src to dst, which must not overlap: 8-word moves
// of four 64-bit units while more than 8 words remain, then the last 1 to 8
// words one by one, all in ascending order.
void memCopyFast(uint32_t* dst, const uint32_t* src, uint64_t count);

// Blocks of this many words or more are copied with streaming stores (the
// same 64-bit units, in the same order): no cache keeps such a block until it
// is read again, so reading each destination line in first, as a plain store
// must, only adds traffic; and the copy tests' check then reads the copy back
// from memory, not from a cache. Bank-sized copies run about 1.5 times faster
// so, small ones several times slower.
constexpr uint64_t kStreamingCopyWords = uint64_t{1} << 20;  // 4 MiB

// Writes `count` words of `block`, a small buffer the cache holds, to dst
// with streaming stores in ascending order: 16-byte units wherever dst is
// aligned for them, so that whole lines fill the write-combining buffers, and
// single words at an unaligned head and tail. The caller issues the fence
// (_mm_sfence) before anything reads dst.
void streamBlock(uint32_t* dst, const uint32_t* block, uint64_t count);

// The random bank test draws this many words into a block before it streams
// the block to both banks: a few whole lines per bank, and small enough that
// the block stays in the first-level cache beside the generator's state.
constexpr uint64_t kFillBlockWords = 512;  // 2 KiB

// 1 if any pair a[i], b[i] of the `count` pairs differs, else 0. Reads every
// word of both blocks exactly once, in ascending order, with no early exit
// and no branch per word.
int memCmpFast(const uint32_t* a, const uint32_t* b, uint64_t count);

// 1 if any pair a[i], b[i] of the `count` pairs is not a word and its
// complement (a[i] != ~b[i]), else 0. Reads as memCmpFast does, 16-byte
// units where it can, with no early exit and no branch per word.
int memCmpComplementFast(const uint32_t* a, const uint32_t* b, uint64_t count);

#endif  // CELLCHECK_TESTER_BLOCK_KERNELS_H_
