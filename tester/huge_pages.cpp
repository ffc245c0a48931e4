#include "tester/huge_pages.h"

#include <sys/mman.h>
#include <unistd.h>

void adviseHugePages(void* begin, uint64_t bytes) {
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t start = reinterpret_cast<uintptr_t>(begin);
  const uintptr_t first = (start + page - 1) & ~(page - 1);
  const uintptr_t last = (start + bytes) & ~(page - 1);
  if (first >= last) return;
  // The result does not matter: without huge pages the area works the same.
  madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}
