// A kernel for tests: chosen memory figures, /proc files that are ordinary
// files in a temporary folder, and a memory measurement that really forks
// but whose child sees only a small free-memory figure and can be made to
// fail or die half way. Nothing reaches the host's kernel settings.
#ifndef CELLCHECK_TESTS_SUPPORT_FAKE_KERNEL_H_
#define CELLCHECK_TESTS_SUPPORT_FAKE_KERNEL_H_

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sysmem/kernel.h"
#include "sysmem/tunables.h"

class FakeKernel : public Kernel {
 public:
  static constexpr u64 kPageBytes = 4096;

  FakeKernel();
  ~FakeKernel() override;
  FakeKernel(const FakeKernel&) = delete;
  FakeKernel& operator=(const FakeKernel&) = delete;

  // What the kernel reports and does; tests change these before a run.
  bool init = true;
  u64 physPageCount = 16 * kMiB / kPageBytes * 1024;  // 16 GiB
  u64 freePageCount = 64 * kMiB / kPageBytes;         // 64 MiB
  bool sharedWordFails = false;
  bool forkFails = false;
  // The measuring child's first requests that are refused.
  u64 probeRefusals = 0;
  // When not 0: the child's block has only this many usable bytes; touching
  // the rest kills the child (SIGSEGV), as the out-of-memory killer would.
  u64 probeUsableBytes = 0;
  // Test area requests above this many bytes are refused.
  u64 areaLimit = ~u64{0};
  // lockArea refuses, as under a memory-lock limit.
  bool lockRefused = false;
  // When set, allocateArea lists the area it gives in the fake
  // /proc/self/smaps, with this many KiB of it on huge pages.
  std::optional<u64> areaHugePagesKiB;
  // The fake pagemap: the frame of each page (by the page's address) that
  // has one; every other page's frame is unknown (0).
  std::map<u64, u64> frames;
  // Pages (by address) the kernel took away, with the frame each had.
  std::map<u64, u64> poisonedFrames;
  // replacePoisonedPage refuses.
  bool replaceRefused = false;

  // Module files whose loading fails, with the error number loadModule
  // returns for them; and kernel files that appear once a module has loaded
  // (a bus driver binds its devices, and their devices show up in /sys).
  std::map<std::string, int> moduleErrors;
  std::multimap<std::string, std::pair<std::string, std::string>> filesOnLoad;

  // What the program did.
  int mounts = 0;
  int sysMounts = 0;
  std::vector<std::string> loadedModules;  // in the order loaded
  int reaps = 0;
  int powerOffs = 0;
  int consoleLogLevel = -1;  // -1: never set
  int sharedWords = 0;
  std::vector<u64> areaRequests;
  std::vector<std::pair<char*, u64>> locks;
  bool hugePageCollapseStopped = false;
  bool memoryErrorsEarly = false;
  // The pages replaced, in order: called from a signal handler, so kept in
  // a fixed table.
  struct Replacement {
    void* page;
    u64 bytes;
    bool locked;
  };
  static constexpr int kMaxReplacements = 16;
  Replacement replacements[kMaxReplacements] = {};
  volatile int replacementCount = 0;
  // Whether the last test area held anything but zeros when huge-page
  // collapse was stopped: the pre-test fills it with its patterns.
  bool areaFilledWhenCollapseStopped = false;

  // The /proc files: their contents (empty when missing), new contents, and
  // a file that cannot be opened at all (its folder does not exist).
  std::string read(ProcFile file) const;
  void write(ProcFile file, const std::string& text);
  void makeUnopenable(ProcFile file);
  // A kernel file (an absolute /proc or /sys path) with `text` in it, its
  // folders made as needed; file() then points there.
  void putFile(const std::string& kernelPath, const std::string& text);

  // The kernel's log buffer, as kernelLog() returns it.
  std::string log;

  bool isInit() override { return init; }
  void mountProc() override { ++mounts; }
  void mountSys() override { ++sysMounts; }
  void setConsoleLogLevel(int level) override { consoleLogLevel = level; }
  u64 physPages() override { return physPageCount; }
  u64 pageSize() override { return kPageBytes; }
  u64 freePages() override { return freePageCount; }
  const char* path(ProcFile file) override;
  std::string file(const char* kernelPath) override;
  std::string kernelLog() override { return log; }
  volatile u64* mapSharedWord() override;
  int loadModule(const char* modulePath) override;
  void reapChildren() override { ++reaps; }
  void powerOff() override { ++powerOffs; }
  pid_t forkChild() override;
  void waitChild(pid_t child) override;
  [[noreturn]] void endChild() override;
  char* allocateProbe(u64 bytes) override;
  char* allocateArea(u64 bytes) override;
  bool lockArea(char* area, u64 bytes) override;
  void stopHugePageCollapse() override;
  u64 pageFrame(const void* address) override;
  void catchMemoryErrorsEarly() override { memoryErrorsEarly = true; }
  u64 poisonedFrame(const void* address) override;
  // Fills the page with zeros, as a fresh page would read.
  bool replacePoisonedPage(void* page, u64 bytes, bool locked) override;

  // Gives the page holding `address` the frame `frame` in the fake pagemap.
  void setFrame(const void* address, u64 frame);

 private:
  std::string folder_;
  static constexpr int kProcFiles = 1 + kTunableCount;  // meminfo, tunables
  std::string paths_[kProcFiles];
  std::vector<std::pair<void*, u64>> mappings_;
};

#endif  // CELLCHECK_TESTS_SUPPORT_FAKE_KERNEL_H_
