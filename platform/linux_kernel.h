// The kernel seam on Linux: every role of seam/kernel.h as the real program
// needs it. This is where the program's system calls are, one file per role
// (linux_files.cpp, linux_processes.cpp, linux_memory.cpp,
// linux_signals.cpp, linux_processors.cpp, linux_network.cpp,
// linux_disks.cpp, linux_devices.cpp); only main (and the benchmarks and the
// fault lab's stand-ins) make a LinuxKernel.
#ifndef CELLCHECK_PLATFORM_LINUX_KERNEL_H_
#define CELLCHECK_PLATFORM_LINUX_KERNEL_H_

#include <signal.h>
#include <unistd.h>

#include <cstdint>

#include "platform/pagemap.h"
#include "seam/kernel.h"

class LinuxKernel : public Kernel {
 public:
  LinuxKernel() = default;
  ~LinuxKernel() override;
  LinuxKernel(const LinuxKernel&) = delete;
  LinuxKernel& operator=(const LinuxKernel&) = delete;

  // Files (linux_files.cpp).
  void mountProc() override;
  void mountSys() override;
  const char* path(ProcFile file) override;
  std::string file(const char* kernelPath) override;
  std::string kernelLog() override;
  std::string linkTarget(const std::string& path) override;
  bool isImageInit() override;
  u64 fileBytes(const std::string& path) override;
  u64 removeFiles(const std::string& path) override;
  void makeFolder(const std::string& path) override;
  void replaceFile(const std::string& path, const std::string& text) override;
  void removeFile(const std::string& path) override;

  // Process and system (linux_processes.cpp).
  bool isInit() override;
  u64 physPages() override;
  u64 pageSize() override;
  time_t now() override;
  u64 milliseconds() override;
  int setConsoleLogLevel(int level) override;
  int loadModule(const char* modulePath) override;
  int startChild(const ChildProgram& program, pid_t* child) override;
  int stopChild(pid_t child) override;
  void reapChildren() override;
  void sleepMilliseconds(unsigned milliseconds) override;
  int powerOff() override;

  // The memory measurement (linux_memory.cpp).
  u64 freeBytes() override;
  volatile u64* mapSharedWord() override;
  pid_t forkChild() override;
  void waitChild(pid_t child) override;
  [[noreturn]] void endChild() override;
  char* allocateProbe(u64 bytes) override;

  // The test area (linux_memory.cpp). Anonymous memory, advised to be
  // backed by transparent huge pages where whole 2 MiB pages fit: the
  // random-access tests run far faster with fewer TLB misses.
  char* allocateArea(u64 bytes) override;
  bool lockArea(char* area, u64 bytes) override;
  bool stopHugePageCollapse() override;
  u64 physicalAddress(const void* address) override;

  // Memory errors (linux_signals.cpp): safe in a signal handler, every
  // one.
  bool trapFaults(FaultHandler handler) override;
  void releaseFaults() override;
  bool trapFaultsOnThisThread() override;
  bool inTrappingProcess() override;
  void endAsUntrapped(int signal) override;
  u64 lostPhysicalAddress(const void* address) override;
  bool replaceLostPage(void* page, u64 bytes, bool locked) override;
  [[noreturn]] void waitForPowerOff() override;

  // Processors (linux_processors.cpp).
  std::vector<unsigned> allowedCpus() override;
  int pinThread(unsigned cpu) override;
  int placeOnNode(void* begin, u64 bytes, unsigned node) override;
  int nodeOfPage(const void* address) override;

  // The network (linux_network.cpp).
  bool configureInterface(const InterfaceSetup& setup) override;
  bool clearInterface(const std::string& interface) override;
  std::unique_ptr<DatagramSink> udpSink(const std::string& address,
                                        uint16_t port) override;

  // The disks (linux_disks.cpp): partitions from /sys/class/block, their
  // device files in the kernel's devtmpfs on /dev (mounted by the devices
  // role).
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

  // Devices (linux_devices.cpp).
  void mountDevices() override;
  std::unique_ptr<SerialLine> openSerialPort(const std::string& device,
                                             int* error) override;
  std::unique_ptr<InputEvents> openInputDevice(const std::string& device,
                                               int* error) override;

 private:
  Pagemap pagemap_;
  // Read once: the signal handler's calls must not ask the C library.
  const u64 pageBytes_ = static_cast<u64>(sysconf(_SC_PAGESIZE));
  // /proc/kpageflags, opened with the handlers and kept.
  int pageFlags_ = -1;
  bool procMounted_ = false;
  bool devicesMounted_ = false;
  // What trapFaults replaced, for releaseFaults.
  pid_t trapping_ = 0;
  bool trapped_ = false;
  struct sigaction oldBus_ = {};
  struct sigaction oldSegv_ = {};
  stack_t oldStack_ = {};
};

// UDP to one IPv4 address and port (linux_network.cpp).
class UdpSink : public DatagramSink {
 public:
  UdpSink(const std::string& address, uint16_t port);
  ~UdpSink() override;
  UdpSink(const UdpSink&) = delete;
  UdpSink& operator=(const UdpSink&) = delete;

  // False when the address does not parse or no socket could be made; then
  // every send fails.
  bool ready() const { return socket_ >= 0 && valid_; }
  bool send(const std::string& datagram) override;

 private:
  int socket_;
  bool valid_;
  uint32_t address_;  // network byte order
  uint16_t port_;     // network byte order
};

// The part of [start, start + bytes) made of whole 2 MiB pages: begin is
// start rounded up to 2 MiB, the end rounded down; length 0 when no whole
// page fits.
struct HugePageRange {
  uintptr_t begin;
  u64 length;
};
HugePageRange innerHugePages(uintptr_t start, u64 bytes);

#endif  // CELLCHECK_PLATFORM_LINUX_KERNEL_H_
