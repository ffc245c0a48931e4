// The bad-memory summary as text: what was found, the bit picture, and the
// two ready lines that keep an operating system off the suspect pages (a
// Linux memmap= list and a Windows bad-page list). Rendering builds each
// line in a buffer of its own on the stack: it runs on the error path, where
// no memory can be allocated.
#ifndef CELLCHECK_BADMEM_SUMMARY_TEXT_H_
#define CELLCHECK_BADMEM_SUMMARY_TEXT_H_

#include <cstddef>

#include "badmem/bad_memory.h"

// Receives text one line at a time, without a line break at its end.
class LineSink {
 public:
  virtual ~LineSink() = default;
  virtual void line(const char* text) = 0;
};

// With more memmap= ranges than this the kernel gives up placing itself
// around them and may land on a bad page: past it, ranges are merged into
// fewer, larger ones.
constexpr int kMaxMemmapRanges = 4;
// The x86 kernel command line holds 2048 bytes; the memmap= list must leave
// room for the rest of it.
constexpr size_t kKernelCommandLineBytes = 2048;
// The longest memmap= parameter: "memmap=" 20 digits, a unit, "$0x" and 16
// hex digits, with a blank.
constexpr size_t kMaxMemmapParameterBytes = 48;
static_assert(kMaxMemmapRanges * kMaxMemmapParameterBytes <
                  kKernelCommandLineBytes / 4,
              "the memmap= list takes at most a quarter of the command line");
// Pages named in the Windows list at most (a command prompt line holds
// 8191 characters).
constexpr int kMaxWindowsPages = 128;

// Buffers of these sizes hold any ready line, and any summary line.
constexpr size_t kReadyLineBytes = 2560;
constexpr size_t kSummaryLineBytes = 3072;
// The Windows list: its command, then " 0x" and up to 13 hex digits a page.
static_assert(40 + kMaxWindowsPages * 16 < kReadyLineBytes,
              "the Windows list fits its line");
static_assert(kReadyLineBytes + 256 < kSummaryLineBytes,
              "a ready line fits a summary line with its words");

// The summary, one line after another: one line when nothing is bad,
// otherwise the counts, the suspect pages (most named first), the ranges,
// the bit picture, the memory modules whose controllers counted errors, and
// the two ready lines with a word on how to use each.
void renderSummary(const BadMemory& record, LineSink& sink);

// The ranges for memmap=: the record's ranges, merged across their smallest
// gaps down to at most kMaxMemmapRanges. Returns how many are in `out`.
int memmapRanges(const BadMemory& record,
                 PhysicalRange (&out)[kMaxMemmapRanges]);

// "memmap=4K$0x12345000 memmap=8K$0x9abcd000": one parameter per range of
// memmapRanges, SIZE in the largest unit (K, M, G) that gives a whole
// number. Empty when no range is known.
void linuxReadyLine(const BadMemory& record, char* out, size_t size);

// "bcdedit /set {badmemory} badmemorylist 0x12345 0x9abcd": the frame
// numbers of the pages of the record's ranges (not the merged ones: Windows
// takes any number), at most kMaxWindowsPages. Returns the number of pages
// in the ranges, which may be more than were listed; 0 and empty text when
// no range is known.
u64 windowsReadyLine(const BadMemory& record, char* out, size_t size);

#endif  // CELLCHECK_BADMEM_SUMMARY_TEXT_H_
