#include "platform/pagemap.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

namespace {

constexpr u64 kPresent = u64{1} << 63;
constexpr u64 kSwapped = u64{1} << 62;
constexpr u64 kFrameMask = (u64{1} << 55) - 1;
// A swap-style entry: its kind in the low bits, the offset (here the frame)
// above them.
constexpr int kSwapKindBits = 5;
// KPF_HWPOISON of the kernel's page flags.
constexpr int kPoisonFlagBit = 19;

}  // namespace

u64 frameOfPagemapEntry(u64 entry) {
  // A swapped-out page (bit 62) carries its swap slot in the low bits, not a
  // frame; bit 63 is clear then.
  return (entry & kPresent) != 0 ? entry & kFrameMask : 0;
}

u64 frameOfRemovedPageEntry(u64 entry) {
  if ((entry & kPresent) != 0 || (entry & kSwapped) == 0) return 0;
  return (entry & kFrameMask) >> kSwapKindBits;
}

bool pageFlagsSayPoisoned(u64 flags) {
  return ((flags >> kPoisonFlagBit) & 1) != 0;
}

Pagemap::~Pagemap() {
  if (fd_ >= 0) close(fd_);
}

bool Pagemap::open(const char* path) {
  if (fd_ < 0) fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
  return fd_ >= 0;
}

u64 Pagemap::frameOf(const void* address, u64 pageBytes) const {
  return frameOfPagemapEntry(entryOf(address, pageBytes));
}

u64 Pagemap::entryOf(const void* address, u64 pageBytes) const {
  if (fd_ < 0 || pageBytes == 0) return 0;
  const u64 page = reinterpret_cast<uintptr_t>(address) / pageBytes;
  u64 entry = 0;
  const off_t at = static_cast<off_t>(page * sizeof entry);
  if (pread(fd_, &entry, sizeof entry, at) != sizeof entry) return 0;
  return entry;
}
