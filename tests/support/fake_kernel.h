// A kernel for tests, every role of the seam: chosen memory figures, /proc
// and /sys files that are ordinary files in a temporary folder, a memory
// measurement that really forks but whose child sees only a small
// free-memory figure and can be made to fail or die half way, and notes of
// everything the program asked of it (modules, children, removals, network
// settings, datagrams). Nothing reaches the host's kernel settings, files
// or network; only the fault handler is really set, so that tests can send
// it signals.
#ifndef CELLCHECK_TESTS_SUPPORT_FAKE_KERNEL_H_
#define CELLCHECK_TESTS_SUPPORT_FAKE_KERNEL_H_

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "seam/kernel.h"
#include "seam/tunables.h"

class FakeKernel : public Kernel {
 public:
  static constexpr u64 kPageBytes = 4096;

  FakeKernel();
  ~FakeKernel() override;
  FakeKernel(const FakeKernel&) = delete;
  FakeKernel& operator=(const FakeKernel&) = delete;

  // What the kernel reports and does; tests change these before a run.
  bool init = true;
  // This binary is the image's /init: the image's files are its own.
  bool imageInit = false;
  time_t seconds = 1796910900;                        // now()
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
  // The fake page map: the frame of each page (by the page's address) that
  // has one; every other page's frame is unknown.
  std::map<u64, u64> frames;
  // Pages (by address) the kernel took away, with the frame each had; 0
  // once replaceLostPage put a fresh page in (the marker is gone).
  std::map<u64, u64> poisonedFrames;
  // replaceLostPage refuses.
  bool replaceRefused = false;
  // Run inside the fault guard's handler, to make it fault there (or to
  // send it a signal while it runs): at each look for a lost page's frame,
  // and once when it waits for the power switch.
  void (*inFrameLookup)() = nullptr;
  void (*inPowerOffWait)() = nullptr;
  // Module files whose loading fails, with the error number loadModule
  // returns for them; and kernel files that appear once a module has loaded
  // (a bus driver binds its devices, and their devices show up in /sys).
  std::map<std::string, int> moduleErrors;
  std::multimap<std::string, std::pair<std::string, std::string>> filesOnLoad;
  // The CPUs this process may run on; pinThread refuses those listed in
  // `unpinnable` with EINVAL.
  std::vector<unsigned> cpus = {0};
  std::vector<unsigned> unpinnable;
  // startChild fails with this error number (0: it starts them).
  int childError = 0;
  // Every datagram sent fails.
  bool sendsFail = false;
  // The milliseconds() clock; each sleep moves it on.
  u64 millisecondClock = 0;
  // Devices that fail to open, with the error number each gives; every
  // other device opens.
  std::map<std::string, int> deviceErrors;
  // Every write to a serial port fails (the port takes nothing).
  bool serialWritesFail = false;
  // Every event written to an input device is refused.
  bool inputEventsFail = false;

  // What the program did.
  int mounts = 0;
  int sysMounts = 0;
  std::vector<std::string> loadedModules;  // in the order loaded
  std::vector<ChildProgram> children;      // started, in order
  std::vector<pid_t> stoppedChildren;
  int reaps = 0;
  std::vector<unsigned> sleeps;  // milliseconds each
  int powerOffs = 0;
  int consoleLogLevel = -1;  // -1: never set
  std::vector<std::string> removedFiles;
  std::vector<std::string> madeFolders;
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
  std::vector<InterfaceSetup> interfaceSetups;
  std::vector<std::string> clearedInterfaces;
  // Threads kept on a CPU (by the CPU), from several threads at once; and
  // the stretches placed on a node, in order, each also marking its pages
  // as on that node for nodeOfPage.
  std::vector<unsigned> pinnedCpus() const;
  struct Placement {
    void* begin;
    u64 bytes;
    unsigned node;
  };
  std::vector<Placement> placements;
  std::map<u64, int> pageNodes;
  int threadStacks() const;
  // Every datagram sent, with where to ("address:port").
  std::vector<std::pair<std::string, std::string>> datagrams;
  int deviceMounts = 0;
  // Every device opened, in order, whether it opened or not.
  std::vector<std::string> openedDevices;
  // Every write to a serial port: the device, and the text.
  std::vector<std::pair<std::string, std::string>> serialWrites;
  // Every event written to an input device, with the device and when
  // (milliseconds()).
  struct InputEvent {
    std::string device;
    uint16_t type;
    uint16_t code;
    int32_t value;
    u64 at;
  };
  std::vector<InputEvent> inputEvents;

  // The /proc files: their contents (empty when missing), new contents, and
  // a file that cannot be opened at all (its folder does not exist).
  std::string read(ProcFile file) const;
  void write(ProcFile file, const std::string& text);
  void makeUnopenable(ProcFile file);
  // A kernel file (an absolute /proc or /sys path) with `text` in it, its
  // folders made as needed; file() then points there.
  void putFile(const std::string& kernelPath, const std::string& text);
  // Gives the page holding `address` the frame `frame` in the fake page map.
  void setFrame(const void* address, u64 frame);

  // The kernel's log buffer, as kernelLog() returns it.
  std::string log;

  // Files.
  void mountProc() override { ++mounts; }
  void mountSys() override { ++sysMounts; }
  const char* path(ProcFile file) override;
  std::string file(const char* kernelPath) override;
  std::string kernelLog() override { return log; }
  // The real links there (tests give paths of their own).
  std::string linkTarget(const std::string& path) override;
  bool isImageInit() override { return imageInit; }
  // The bytes of the real files there (tests give paths of their own).
  u64 fileBytes(const std::string& path) override;
  // Noted, and their bytes counted; nothing is deleted.
  u64 removeFiles(const std::string& path) override;
  void makeFolder(const std::string& path) override {
    madeFolders.push_back(path);
  }
  // Real files, as the program's (tests give paths of their own).
  void replaceFile(const std::string& path, const std::string& text) override;
  void removeFile(const std::string& path) override;

  // Process and system.
  bool isInit() override { return init; }
  u64 physPages() override { return physPageCount; }
  u64 pageSize() override { return kPageBytes; }
  time_t now() override { return seconds; }
  u64 milliseconds() override { return millisecondClock; }
  int setConsoleLogLevel(int level) override {
    consoleLogLevel = level;
    return 0;
  }
  int loadModule(const char* modulePath) override;
  // Noted; nothing runs. The children get ids from 1000 on.
  int startChild(const ChildProgram& program, pid_t* child) override;
  int stopChild(pid_t child) override {
    stoppedChildren.push_back(child);
    return 0;
  }
  void reapChildren() override { ++reaps; }
  void sleepMilliseconds(unsigned milliseconds) override {
    sleeps.push_back(milliseconds);
    millisecondClock += milliseconds;
  }
  int powerOff() override {
    ++powerOffs;
    return 0;
  }

  // The memory measurement.
  u64 freeBytes() override { return freePageCount * kPageBytes; }
  volatile u64* mapSharedWord() override;
  pid_t forkChild() override;
  void waitChild(pid_t child) override;
  [[noreturn]] void endChild() override;
  char* allocateProbe(u64 bytes) override;

  // The test area.
  char* allocateArea(u64 bytes) override;
  bool lockArea(char* area, u64 bytes) override;
  bool stopHugePageCollapse() override;
  u64 physicalAddress(const void* address) override;

  // Memory errors. The handlers are really set, on a stack of the fake's
  // own.
  bool trapFaults(FaultHandler handler) override;
  void releaseFaults() override;
  // Counted; the stack is really set (mapped for the process's life).
  bool trapFaultsOnThisThread() override;
  bool inTrappingProcess() override { return getpid() == trapping_; }
  void endAsUntrapped(int signal) override;
  u64 lostPhysicalAddress(const void* address) override;
  // Fills the page with zeros, as a fresh page would read.
  bool replaceLostPage(void* page, u64 bytes, bool locked) override;
  [[noreturn]] void waitForPowerOff() override;

  // Processors.
  std::vector<unsigned> allowedCpus() override { return cpus; }
  int pinThread(unsigned cpu) override;
  int placeOnNode(void* begin, u64 bytes, unsigned node) override;
  int nodeOfPage(const void* address) override;

  // The network.
  bool configureInterface(const InterfaceSetup& setup) override {
    interfaceSetups.push_back(setup);
    return true;
  }
  bool clearInterface(const std::string& interface) override {
    clearedInterfaces.push_back(interface);
    return true;
  }
  // Sends into `datagrams`.
  std::unique_ptr<DatagramSink> udpSink(const std::string& address,
                                        uint16_t port) override;

  // The disks. Each partition's file system is a real folder of the test's
  // (none: not FAT, and a mount fails); a mount point is only a name that
  // paths under it are turned into the partition's folder by. Read-only
  // mounts refuse every write with EROFS, as the kernel does.
  struct FakePartition {
    DiskPartition partition;
    std::string folder;  // empty: no FAT file system
    // Seen by partitions() only from its call number this (from 1) on: a
    // disk found by its driver a little later.
    int appearsAtCall = 1;
    // Its device file is there (mounts find it) only from partitions()'
    // call number this on (0: from the start); before that a mount fails
    // with ENOENT.
    int deviceAtCall = 0;
  };
  std::vector<FakePartition> disks;
  // Writes fail with `writeError` once this many more bytes have been
  // written (-1: never): a full partition, or a stick pulled out midway.
  long long bytesBeforeWriteFails = -1;
  int writeError = ENOSPC;
  // What the program did with them.
  int partitionListings = 0;
  struct FatMount {
    std::string partition;
    std::string at;
    bool writable;
  };
  std::vector<FatMount> fatMounts;    // every mount, in order
  std::vector<std::string> unmounts;  // mount points, in order
  std::vector<std::string> created;   // files opened for writing (real paths)
  int refusedWrites = 0;              // write attempts on read-only mounts

  std::vector<DiskPartition> partitions() override;
  int mountFat(const std::string& name, const std::string& at,
               bool writable) override;
  int unmount(const std::string& at) override;
  int readFile(const std::string& path, size_t limit,
               std::string* text) override;
  bool exists(const std::string& path) override;
  int createFile(const std::string& path, int* file) override;
  int writeFile(int file, const char* data, size_t size) override;
  int syncAndClose(int file) override;
  int renameFile(const std::string& from, const std::string& to) override;

  // Devices: noted in serialWrites and inputEvents.
  void mountDevices() override { ++deviceMounts; }
  std::unique_ptr<SerialLine> openSerialPort(const std::string& device,
                                             int* error) override;
  std::unique_ptr<InputEvents> openInputDevice(const std::string& device,
                                               int* error) override;

 private:
  std::string folder_;
  static constexpr int kProcFiles = 1 + kTunableCount;  // meminfo, tunables
  std::string paths_[kProcFiles];
  std::vector<std::pair<void*, u64>> mappings_;
  // Mount point -> the partition's folder and whether it is writable.
  std::map<std::string, std::pair<std::string, bool>> mounted_;
  // The real path for a path under a mount point; empty when it is under
  // none. `writable` says whether that mount is.
  std::string onDisk(const std::string& path, bool* writable) const;
  pid_t trapping_ = 0;
  bool trapped_ = false;
  struct sigaction oldBus_ = {};
  struct sigaction oldSegv_ = {};
  stack_t oldStack_ = {};
  // Guards what the workers' threads note.
  mutable std::mutex threadsMutex_;
  std::vector<unsigned> pinned_;
  int threadStacks_ = 0;
};

#endif  // CELLCHECK_TESTS_SUPPORT_FAKE_KERNEL_H_
