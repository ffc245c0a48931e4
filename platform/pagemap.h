// Reads page frame numbers from a pagemap file (/proc/self/pagemap): one
// little-endian 64-bit entry per virtual page of the process, bit 63 set
// when the page is in RAM, bits 0 to 54 then its frame number, which the
// kernel shows as 0 to a reader without the right to see it.
#ifndef CELLCHECK_PLATFORM_PAGEMAP_H_
#define CELLCHECK_PLATFORM_PAGEMAP_H_

#include "base/types.h"

// The frame number an entry gives, 0 when it gives none.
u64 frameOfPagemapEntry(u64 entry);

// When the kernel takes a page out of use after an uncorrected memory error,
// it leaves an entry that is not in RAM but names the lost frame, in the
// swap entry's fields (bits 0 to 4 its kind, bits 5 to 54 the frame). This
// is that frame, 0 for an entry of any other shape. The image has no swap,
// so the kind is not checked here; the frame's poison flag confirms it.
u64 frameOfRemovedPageEntry(u64 entry);
// Whether a frame's flags in /proc/kpageflags say the kernel poisoned it.
bool pageFlagsSayPoisoned(u64 flags);

class Pagemap {
 public:
  Pagemap() = default;
  ~Pagemap();
  Pagemap(const Pagemap&) = delete;
  Pagemap& operator=(const Pagemap&) = delete;

  // Opens the pagemap at `path` unless one is open already; false when it
  // cannot be read.
  bool open(const char* path);
  // The frame of the page holding `address` (pages of `pageBytes`), 0 when
  // unknown or when no pagemap is open. One read, no allocation.
  u64 frameOf(const void* address, u64 pageBytes) const;
  // The page's whole entry, 0 when it cannot be read. One read, no
  // allocation: safe in a signal handler.
  u64 entryOf(const void* address, u64 pageBytes) const;

 private:
  int fd_ = -1;
};

#endif  // CELLCHECK_PLATFORM_PAGEMAP_H_
