// The kernel seam on Linux: the calls the real program makes.
#ifndef CELLCHECK_SYSMEM_LINUX_KERNEL_H_
#define CELLCHECK_SYSMEM_LINUX_KERNEL_H_

#include <unistd.h>

#include <cstdint>

#include "sysmem/kernel.h"
#include "sysmem/pagemap.h"

class LinuxKernel : public Kernel {
 public:
  LinuxKernel() = default;
  ~LinuxKernel() override;
  LinuxKernel(const LinuxKernel&) = delete;
  LinuxKernel& operator=(const LinuxKernel&) = delete;

  bool isInit() override;
  void mountProc() override;
  void mountSys() override;
  void setConsoleLogLevel(int level) override;
  u64 physPages() override;
  u64 pageSize() override;
  u64 freePages() override;
  const char* path(ProcFile file) override;
  std::string file(const char* kernelPath) override;
  std::string kernelLog() override;
  volatile u64* mapSharedWord() override;
  int loadModule(const char* modulePath) override;
  void reapChildren() override;
  void powerOff() override;
  pid_t forkChild() override;
  void waitChild(pid_t child) override;
  [[noreturn]] void endChild() override;
  char* allocateProbe(u64 bytes) override;
  // Anonymous memory, advised to be backed by transparent huge pages where
  // whole 2 MiB pages fit: the random-access tests run far faster with fewer
  // TLB misses.
  char* allocateArea(u64 bytes) override;
  bool lockArea(char* area, u64 bytes) override;
  void stopHugePageCollapse() override;
  u64 pageFrame(const void* address) override;
  void catchMemoryErrorsEarly() override;
  u64 poisonedFrame(const void* address) override;
  bool replacePoisonedPage(void* page, u64 bytes, bool locked) override;

  // What the first process does when it cannot go on: it waits for ever. It
  // must not return from main or crash, since either makes the kernel panic.
  [[noreturn]] static void haltForever();

 private:
  Pagemap pagemap_;
  // Read once: the signal handler's calls must not ask the C library.
  const u64 pageBytes_ = static_cast<u64>(sysconf(_SC_PAGESIZE));
  // /proc/kpageflags, opened when first needed and kept.
  int pageFlags_ = -1;
};

// The part of [start, start + bytes) made of whole 2 MiB pages: begin is
// start rounded up to 2 MiB, the end rounded down; length 0 when no whole
// page fits.
struct HugePageRange {
  uintptr_t begin;
  u64 length;
};
HugePageRange innerHugePages(uintptr_t start, u64 bytes);

#endif  // CELLCHECK_SYSMEM_LINUX_KERNEL_H_
