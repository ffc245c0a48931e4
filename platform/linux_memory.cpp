// The memory roles on Linux: the memory measurement's child and shared
// word, and the test area (taken, locked, its physical addresses).
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/linux_kernel.h"

namespace {}  // namespace

u64 LinuxKernel::freeBytes() {
  return static_cast<u64>(sysconf(_SC_AVPHYS_PAGES)) * pageBytes_;
}

volatile u64* LinuxKernel::mapSharedWord() {
  void* word = mmap(nullptr, sizeof(u64), PROT_READ | PROT_WRITE,
                    MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return word == MAP_FAILED ? nullptr : static_cast<volatile u64*>(word);
}

pid_t LinuxKernel::forkChild() { return fork(); }

void LinuxKernel::waitChild(pid_t child) {
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}

void LinuxKernel::endChild() { _exit(0); }

char* LinuxKernel::allocateProbe(u64 bytes) {
  return static_cast<char*>(malloc(bytes));
}

char* LinuxKernel::allocateArea(u64 bytes) {
  void* area = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (area == MAP_FAILED) return nullptr;
  const HugePageRange huge =
      innerHugePages(reinterpret_cast<uintptr_t>(area), bytes);
  // Only advice: without huge pages the area works as well, just slower.
  if (huge.length != 0) {
    madvise(reinterpret_cast<void*>(huge.begin), huge.length, MADV_HUGEPAGE);
  }
  return static_cast<char*>(area);
}

bool LinuxKernel::lockArea(char* area, u64 bytes) {
  return mlock(area, bytes) == 0;
}

bool LinuxKernel::stopHugePageCollapse() {
  return prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) == 0;
}

u64 LinuxKernel::physicalAddress(const void* address) {
  // Opened here only on the main path, when the fault handler's setting up
  // did not (no handler then reads it). The literal path, not file(): a
  // std::string of it would allocate, and this is asked on the error path.
  pagemap_.open("/proc/self/pagemap");
  const u64 frame = pagemap_.frameOf(address, pageBytes_);
  if (frame == 0) return kUnknownAddress;
  return frame * pageBytes_ + reinterpret_cast<uintptr_t>(address) % pageBytes_;
}

HugePageRange innerHugePages(uintptr_t start, u64 bytes) {
  const uintptr_t begin = (start + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  const uintptr_t end = (start + bytes) & ~(kHugePageBytes - 1);
  return end > begin ? HugePageRange{begin, end - begin} : HugePageRange{0, 0};
}
