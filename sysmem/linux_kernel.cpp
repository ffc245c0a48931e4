#include "sysmem/linux_kernel.h"

#include <fcntl.h>
#include <linux/module.h>
#include <sys/klog.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "sysmem/tunables.h"

namespace {

// klogctl actions.
constexpr int kSyslogReadAll = 3;
constexpr int kSyslogConsoleOn = 7;
constexpr int kSyslogConsoleLevel = 8;
constexpr int kSyslogSizeBuffer = 10;

constexpr u64 kHugePageBytes = u64{2} << 20;

}  // namespace

LinuxKernel::~LinuxKernel() {
  if (pageFlags_ >= 0) close(pageFlags_);
}

bool LinuxKernel::isInit() { return getpid() == 1; }

void LinuxKernel::mountProc() {
  // A boot image may lack the mount point; making it is harmless when it is
  // there.
  mkdir("/proc", 0555);
  mount("/proc", "/proc", "proc", 0, "");
}

void LinuxKernel::mountSys() {
  mkdir("/sys", 0555);
  mount("sysfs", "/sys", "sysfs", 0, "");
}

void LinuxKernel::setConsoleLogLevel(int level) {
  klogctl(kSyslogConsoleLevel, nullptr, level);
  klogctl(kSyslogConsoleOn, nullptr, 0);
}

u64 LinuxKernel::physPages() {
  return static_cast<u64>(sysconf(_SC_PHYS_PAGES));
}

u64 LinuxKernel::pageSize() { return pageBytes_; }

u64 LinuxKernel::freePages() {
  return static_cast<u64>(sysconf(_SC_AVPHYS_PAGES));
}

const char* LinuxKernel::path(ProcFile file) {
  if (file == ProcFile::kMeminfo) return "/proc/meminfo";
  const int tunable = static_cast<int>(file) - 1;
  return tunable < kTunableCount ? kTunablePaths[tunable] : "";
}

std::string LinuxKernel::file(const char* kernelPath) { return kernelPath; }

std::string LinuxKernel::kernelLog() {
  const int size = klogctl(kSyslogSizeBuffer, nullptr, 0);
  if (size <= 0) return std::string();
  std::string text(static_cast<size_t>(size), '\0');
  const int got = klogctl(kSyslogReadAll, &text[0], size);
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return text;
}

volatile u64* LinuxKernel::mapSharedWord() {
  void* word = mmap(nullptr, sizeof(u64), PROT_READ | PROT_WRITE,
                    MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return word == MAP_FAILED ? nullptr : static_cast<volatile u64*>(word);
}

int LinuxKernel::loadModule(const char* modulePath) {
  const int fd = open(modulePath, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  // A compressed module (Debian 13's are module.ko.xz) the kernel unpacks
  // itself, and checks its signature on what it unpacked.
  const std::string path(modulePath);
  const bool compressed = path.find(".ko.") != std::string::npos;
  // The C library has no wrapper for finit_module.
  const long loaded = syscall(SYS_finit_module, fd, "",
                              compressed ? MODULE_INIT_COMPRESSED_FILE : 0);
  const int error = loaded == 0 ? 0 : errno;
  close(fd);
  return error;
}

void LinuxKernel::reapChildren() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

void LinuxKernel::powerOff() {
  sync();
  reboot(RB_POWER_OFF);
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

void LinuxKernel::stopHugePageCollapse() {
  prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
}

u64 LinuxKernel::pageFrame(const void* address) {
  // The literal path, not file(): a std::string of it would allocate, and
  // this is asked on the error path.
  pagemap_.open("/proc/self/pagemap");
  return pagemap_.frameOf(address, pageBytes_);
}

void LinuxKernel::catchMemoryErrorsEarly() {
  prctl(PR_MCE_KILL, PR_MCE_KILL_SET, PR_MCE_KILL_EARLY, 0, 0);
}

u64 LinuxKernel::poisonedFrame(const void* address) {
  pagemap_.open("/proc/self/pagemap");
  const u64 frame =
      frameOfRemovedPageEntry(pagemap_.entryOf(address, pageBytes_));
  if (frame == 0) return 0;
  if (pageFlags_ < 0) {
    pageFlags_ = open("/proc/kpageflags", O_RDONLY | O_CLOEXEC);
  }
  u64 flags = 0;
  const off_t at = static_cast<off_t>(frame * sizeof flags);
  if (pageFlags_ < 0 ||
      pread(pageFlags_, &flags, sizeof flags, at) != sizeof flags) {
    return 0;
  }
  return pageFlagsSayPoisoned(flags) ? frame : 0;
}

bool LinuxKernel::replacePoisonedPage(void* page, u64 bytes, bool locked) {
  // The kernel left a marker for the lost page in the mapping. Dropping the
  // page clears it, and the next touch brings a new page of zeros under the
  // mapping's existing commitment; a new mapping would need a new one,
  // which strict accounting may refuse this close to the limit. Locked
  // pages cannot be dropped, so the lock is lifted for the page and set
  // again, which brings the new page in at once.
  munlock(page, bytes);
  if (madvise(page, bytes, MADV_DONTNEED) != 0) return false;
  return !locked || mlock(page, bytes) == 0;
}

void LinuxKernel::haltForever() {
  // The first process gets no signal it has not asked for, so pause never
  // returns; the loop is for certainty.
  for (;;) pause();
}

HugePageRange innerHugePages(uintptr_t start, u64 bytes) {
  const uintptr_t begin = (start + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  const uintptr_t end = (start + bytes) & ~(kHugePageBytes - 1);
  return end > begin ? HugePageRange{begin, end - begin} : HugePageRange{0, 0};
}
