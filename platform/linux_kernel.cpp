#include "platform/linux_kernel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <linux/module.h>
#include <net/if.h>
#include <net/route.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/klog.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/reboot.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/small_file.h"
#include "seam/tunables.h"

namespace {

// klogctl actions.
constexpr int kSyslogReadAll = 3;
constexpr int kSyslogConsoleOn = 7;
constexpr int kSyslogConsoleLevel = 8;
constexpr int kSyslogSizeBuffer = 10;

constexpr u64 kHugePageBytes = u64{2} << 20;

constexpr char kImageInit[] = "/init";

// The fault handler's own stack: enough for its few frames, however deep
// the program's stack was when it overflowed.
constexpr size_t kHandlerStackBytes = 64 * 1024;
alignas(16) char handlerStack[kHandlerStackBytes];

// What the walks below have counted; nftw's callbacks take no context.
u64 walkedBytes = 0;

int countEntry(const char*, const struct stat* info, int type, FTW*) {
  if (type == FTW_F || type == FTW_SL) walkedBytes += info->st_size;
  return 0;
}

int removeEntry(const char* path, const struct stat* info, int type, FTW*) {
  if (type == FTW_F || type == FTW_SL) walkedBytes += info->st_size;
  remove(path);  // what cannot be removed stays; the walk goes on
  return 0;
}

int errorOf(int result) { return result == 0 ? 0 : errno; }

// Network interface requests.
ifreq requestFor(const std::string& interface) {
  ifreq request{};
  strncpy(request.ifr_name, interface.c_str(), IFNAMSIZ - 1);
  return request;
}

void setAddress(ifreq* request, const std::string& dotted) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  inet_pton(AF_INET, dotted.c_str(), &address.sin_addr);
  memcpy(&request->ifr_addr, &address, sizeof address);
}

bool bringUp(int sock, const std::string& interface) {
  ifreq request = requestFor(interface);
  if (ioctl(sock, SIOCGIFFLAGS, &request) != 0) return false;
  request.ifr_flags |= IFF_UP | IFF_RUNNING;
  return ioctl(sock, SIOCSIFFLAGS, &request) == 0;
}

// The interface's address now, dotted; empty when it has none.
std::string currentAddress(int sock, const std::string& interface) {
  ifreq request = requestFor(interface);
  if (ioctl(sock, SIOCGIFADDR, &request) != 0) return std::string();
  char text[INET_ADDRSTRLEN];
  const sockaddr_in* address =
      reinterpret_cast<const sockaddr_in*>(&request.ifr_addr);
  return inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) ? text : "";
}

bool setInterfaceAddress(int sock, const std::string& interface,
                         unsigned long which, const std::string& dotted) {
  ifreq request = requestFor(interface);
  setAddress(&request, dotted);
  return ioctl(sock, which, &request) == 0;
}

}  // namespace

LinuxKernel::~LinuxKernel() {
  if (trapped_) releaseFaults();
  if (pageFlags_ >= 0) close(pageFlags_);
}

// Files.

void LinuxKernel::mountProc() {
  // main mounts it before the fault handler opens its files; start-up asks
  // again.
  if (procMounted_) return;
  // A boot image may lack the mount point; making it is harmless when it is
  // there.
  mkdir("/proc", 0555);
  procMounted_ = mount("/proc", "/proc", "proc", 0, "") == 0;
}

void LinuxKernel::mountSys() {
  mkdir("/sys", 0555);
  mount("sysfs", "/sys", "sysfs", 0, "");
}

const char* LinuxKernel::path(ProcFile file) {
  if (file == ProcFile::kMeminfo) return "/proc/meminfo";
  const Tunable* tunable = tunableOf(file);
  return tunable != nullptr ? tunable->path : "";
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

std::string LinuxKernel::linkTarget(const std::string& path) {
  char target[4096];
  const ssize_t length = readlink(path.c_str(), target, sizeof target);
  if (length <= 0 || static_cast<size_t>(length) == sizeof target) return "";
  return std::string(target, static_cast<size_t>(length));
}

bool LinuxKernel::isImageInit() {
  return linkTarget("/proc/self/exe") == kImageInit;
}

u64 LinuxKernel::fileBytes(const std::string& path) {
  walkedBytes = 0;
  nftw(path.c_str(), countEntry, 16, FTW_PHYS);
  return walkedBytes;
}

u64 LinuxKernel::removeFiles(const std::string& path) {
  walkedBytes = 0;
  nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  return walkedBytes;
}

void LinuxKernel::makeFolder(const std::string& path) {
  mkdir(path.c_str(), 0755);
}

void LinuxKernel::replaceFile(const std::string& path,
                              const std::string& text) {
  const std::string fresh = path + ".new";
  const int fd =
      open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const bool written = writeFile(fd, text.data(), text.size()) == 0;
  if (close(fd) == 0 && written && rename(fresh.c_str(), path.c_str()) == 0) {
    return;
  }
  unlink(fresh.c_str());
}

void LinuxKernel::removeFile(const std::string& path) { unlink(path.c_str()); }

// Process and system.

bool LinuxKernel::isInit() { return getpid() == 1; }

u64 LinuxKernel::physPages() {
  return static_cast<u64>(sysconf(_SC_PHYS_PAGES));
}

u64 LinuxKernel::pageSize() { return pageBytes_; }

time_t LinuxKernel::now() { return time(nullptr); }

u64 LinuxKernel::milliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<u64>(now.tv_sec) * 1000 +
         static_cast<u64>(now.tv_nsec) / 1000000;
}

int LinuxKernel::setConsoleLogLevel(int level) {
  if (klogctl(kSyslogConsoleLevel, nullptr, level) != 0) return errno;
  return klogctl(kSyslogConsoleOn, nullptr, 0) == 0 ? 0 : errno;
}

int LinuxKernel::loadModule(const char* modulePath) {
  const int fd = open(modulePath, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  // A compressed module (Debian 13's are module.ko.xz) the kernel unpacks
  // itself, and checks its signature on what it unpacked.
  const bool compressed = strstr(modulePath, ".ko.") != nullptr;
  // The C library has no wrapper for finit_module.
  const long loaded = syscall(SYS_finit_module, fd, "",
                              compressed ? MODULE_INIT_COMPRESSED_FILE : 0);
  const int error = loaded == 0 ? 0 : errno;
  close(fd);
  return error;
}

int LinuxKernel::startChild(const ChildProgram& program, pid_t* child) {
  if (access(program.path.c_str(), X_OK) != 0) return errno;
  // Everything the child needs is made before the fork: after it, the
  // child only calls what is safe there.
  std::vector<char*> args;
  for (const std::string& arg : program.args) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return errno;
  if (pid == 0) {
    const int quiet = open("/dev/null", O_RDWR);
    if (quiet >= 0) {
      dup2(quiet, STDIN_FILENO);
      dup2(quiet, STDOUT_FILENO);
      dup2(quiet, STDERR_FILENO);
    }
    for (const std::string& entry : program.environment) {
      putenv(const_cast<char*>(entry.c_str()));
    }
    execv(program.path.c_str(), args.data());
    _exit(127);
  }
  const std::string score = "/proc/" + std::to_string(pid) + "/oom_score_adj";
  const int adjust = open(score.c_str(), O_WRONLY | O_CLOEXEC);
  if (adjust >= 0) {
    // -1000: never chosen.
    if (write(adjust, "-1000", 5) != 5) {
      // The child runs unshielded; nothing better to do.
    }
    close(adjust);
  }
  *child = pid;
  return 0;
}

int LinuxKernel::stopChild(pid_t child) {
  return errorOf(kill(child, SIGTERM));
}

void LinuxKernel::reapChildren() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

void LinuxKernel::sleepMilliseconds(unsigned milliseconds) {
  usleep(static_cast<useconds_t>(milliseconds) * 1000);
}

int LinuxKernel::powerOff() {
  sync();
  return errorOf(reboot(RB_POWER_OFF));
}

// The memory measurement.

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

// The test area.

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

// Memory errors.

bool LinuxKernel::trapFaults(FaultHandler handler) {
  pagemap_.open("/proc/self/pagemap");
  if (pageFlags_ < 0) {
    pageFlags_ = open("/proc/kpageflags", O_RDONLY | O_CLOEXEC);
  }
  trapping_ = getpid();
  stack_t stack = {};
  stack.ss_sp = handlerStack;
  stack.ss_size = sizeof handlerStack;
  sigaltstack(&stack, &oldStack_);
  const struct sigaction action = faultAction(handler);
  trapped_ = sigaction(SIGBUS, &action, &oldBus_) == 0 &&
             sigaction(SIGSEGV, &action, &oldSegv_) == 0;
  prctl(PR_MCE_KILL, PR_MCE_KILL_SET, PR_MCE_KILL_EARLY, 0, 0);
  return trapped_;
}

void LinuxKernel::releaseFaults() {
  sigaction(SIGBUS, &oldBus_, nullptr);
  sigaction(SIGSEGV, &oldSegv_, nullptr);
  sigaltstack(&oldStack_, nullptr);
  trapped_ = false;
}

bool LinuxKernel::trapFaultsOnThisThread() {
  void* memory = mmap(nullptr, kHandlerStackBytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return false;
  stack_t stack = {};
  stack.ss_sp = memory;
  stack.ss_size = kHandlerStackBytes;
  return sigaltstack(&stack, nullptr) == 0;
}

bool LinuxKernel::inTrappingProcess() { return getpid() == trapping_; }

void LinuxKernel::endAsUntrapped(int signal) {
  struct sigaction standard = {};
  standard.sa_handler = SIG_DFL;
  sigaction(signal, &standard, nullptr);
  raise(signal);
}

u64 LinuxKernel::lostPhysicalAddress(const void* address) {
  const u64 frame =
      frameOfRemovedPageEntry(pagemap_.entryOf(address, pageBytes_));
  if (frame == 0 || pageFlags_ < 0) return kUnknownAddress;
  u64 flags = 0;
  const off_t at = static_cast<off_t>(frame * sizeof flags);
  if (pread(pageFlags_, &flags, sizeof flags, at) != sizeof flags) {
    return kUnknownAddress;
  }
  if (!pageFlagsSayPoisoned(flags)) return kUnknownAddress;
  return frame * pageBytes_ + reinterpret_cast<uintptr_t>(address) % pageBytes_;
}

bool LinuxKernel::replaceLostPage(void* page, u64 bytes, bool locked) {
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

void LinuxKernel::waitForPowerOff() {
  // The first process gets no signal it has not asked for, so pause never
  // returns; the loop is for certainty.
  for (;;) pause();
}

// The network.

bool LinuxKernel::configureInterface(const InterfaceSetup& setup) {
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return false;
  bool done = true;
  if (currentAddress(sock, setup.interface) != setup.address) {
    done &=
        setInterfaceAddress(sock, setup.interface, SIOCSIFADDR, setup.address);
  }
  if (!setup.netmask.empty()) {
    done &= setInterfaceAddress(sock, setup.interface, SIOCSIFNETMASK,
                                setup.netmask);
  }
  if (!setup.broadcast.empty()) {
    done &= setInterfaceAddress(sock, setup.interface, SIOCSIFBRDADDR,
                                setup.broadcast);
  }
  done &= bringUp(sock, setup.interface);
  if (!setup.router.empty()) {
    // A collector beyond the local network is reached through the router.
    // A renewal finds the route there already (EEXIST), which is fine.
    rtentry route{};
    sockaddr_in* any = reinterpret_cast<sockaddr_in*>(&route.rt_dst);
    any->sin_family = AF_INET;
    reinterpret_cast<sockaddr_in*>(&route.rt_genmask)->sin_family = AF_INET;
    sockaddr_in* gateway = reinterpret_cast<sockaddr_in*>(&route.rt_gateway);
    gateway->sin_family = AF_INET;
    inet_pton(AF_INET, setup.router.c_str(), &gateway->sin_addr);
    route.rt_flags = RTF_UP | RTF_GATEWAY;
    char device[IFNAMSIZ] = {};
    strncpy(device, setup.interface.c_str(), IFNAMSIZ - 1);
    route.rt_dev = device;
    done &= ioctl(sock, SIOCADDRT, &route) == 0 || errno == EEXIST;
  }
  close(sock);
  return done;
}

bool LinuxKernel::clearInterface(const std::string& interface) {
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return false;
  bool done = setInterfaceAddress(sock, interface, SIOCSIFADDR, "0.0.0.0");
  done &= bringUp(sock, interface);
  close(sock);
  return done;
}

std::unique_ptr<DatagramSink> LinuxKernel::udpSink(const std::string& address,
                                                   uint16_t port) {
  return std::unique_ptr<DatagramSink>(new UdpSink(address, port));
}

HugePageRange innerHugePages(uintptr_t start, u64 bytes) {
  const uintptr_t begin = (start + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  const uintptr_t end = (start + bytes) & ~(kHugePageBytes - 1);
  return end > begin ? HugePageRange{begin, end - begin} : HugePageRange{0, 0};
}

// Processors.

std::vector<unsigned> LinuxKernel::allowedCpus() {
  std::vector<unsigned> cpus;
  // Room for far more CPUs than any machine has.
  constexpr size_t kMaxCpus = 8192;
  cpu_set_t* set = CPU_ALLOC(kMaxCpus);
  if (set == nullptr) return cpus;
  const size_t bytes = CPU_ALLOC_SIZE(kMaxCpus);
  if (sched_getaffinity(0, bytes, set) == 0) {
    for (unsigned cpu = 0; cpu < kMaxCpus; ++cpu) {
      if (CPU_ISSET_S(cpu, bytes, set)) cpus.push_back(cpu);
    }
  }
  CPU_FREE(set);
  return cpus;
}

int LinuxKernel::pinThread(unsigned cpu) {
  const size_t count = cpu + 1;
  cpu_set_t* set = CPU_ALLOC(count);
  if (set == nullptr) return ENOMEM;
  const size_t bytes = CPU_ALLOC_SIZE(count);
  CPU_ZERO_S(bytes, set);
  CPU_SET_S(cpu, bytes, set);
  // The thread's own id: 0 would be the same thread, but says it plainly.
  const int result = errorOf(
      sched_setaffinity(static_cast<pid_t>(syscall(SYS_gettid)), bytes, set));
  CPU_FREE(set);
  return result;
}

namespace {

// The memory policies of mbind, from the kernel's uapi (the C library has
// no wrapper without libnuma).
constexpr int kPolicyPreferred = 1;
constexpr unsigned kMaxNodes = 1024;

}  // namespace

int LinuxKernel::placeOnNode(void* begin, u64 bytes, unsigned node) {
  if (node >= kMaxNodes) return EINVAL;
  unsigned long mask[kMaxNodes / (8 * sizeof(unsigned long))] = {};
  mask[node / (8 * sizeof(unsigned long))] =
      1UL << (node % (8 * sizeof(unsigned long)));
  return errorOf(static_cast<int>(syscall(
      SYS_mbind, begin, bytes, kPolicyPreferred, mask, kMaxNodes + 1, 0)));
}

int LinuxKernel::nodeOfPage(const void* address) {
  // move_pages with no nodes given only asks where each page is.
  void* pages[1] = {reinterpret_cast<void*>(
      reinterpret_cast<uintptr_t>(address) & ~(pageBytes_ - 1))};
  int status[1] = {-1};
  if (syscall(SYS_move_pages, 0, 1, pages, nullptr, status, 0) != 0) {
    return -1;
  }
  return status[0] < 0 ? -1 : status[0];
}

// The disks.

std::vector<DiskPartition> LinuxKernel::partitions() {
  std::vector<DiskPartition> found;
  const std::string blocks = "/sys/class/block";
  for (const std::string& name : folderEntries(blocks)) {
    // Only partitions have this file: their number on the disk.
    const std::string number = readFileLine(blocks + "/" + name + "/partition");
    if (number.empty()) continue;
    // The entry links to .../block/DISK/PARTITION.
    std::string disk = linkTarget(blocks + "/" + name);
    if (disk.empty()) continue;
    disk = disk.substr(0, disk.rfind('/'));
    disk = disk.substr(disk.rfind('/') + 1);
    found.push_back(DiskPartition{name, disk, atoi(number.c_str())});
  }
  return found;
}

int LinuxKernel::mountFat(const std::string& name, const std::string& at,
                          bool writable) {
  mkdir(at.c_str(), 0755);
  const std::string device = "/dev/" + name;
  unsigned long flags = MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_NOATIME;
  if (!writable) flags |= MS_RDONLY;
  // File times as the clock reads (the real-time clock's, as the names);
  // each file's data goes to the disk soon after it is written.
  const char* options = writable ? "tz=UTC,flush" : "tz=UTC";
  return errorOf(mount(device.c_str(), at.c_str(), "vfat", flags, options));
}

int LinuxKernel::unmount(const std::string& at) {
  return errorOf(umount(at.c_str()));
}

int LinuxKernel::readFile(const std::string& path, size_t limit,
                          std::string* text) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  text->assign(limit, '\0');
  size_t got = 0;
  int error = 0;
  while (got < limit) {
    const ssize_t n = read(fd, &(*text)[got], limit - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  text->resize(got);
  return error;
}

bool LinuxKernel::exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

int LinuxKernel::createFile(const std::string& path, int* file) {
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  *file = fd;
  return 0;
}

int LinuxKernel::writeFile(int file, const char* data, size_t size) {
  while (size != 0) {
    const ssize_t n = write(file, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

int LinuxKernel::syncAndClose(int file) {
  // fsync alone is not enough on FAT: Linux 6.12's vfat wrote the file's
  // data and its directory entry but left the FAT's sectors that chain its
  // clusters to the kernel's writeback, half a minute later (a stick read
  // right after the verdict held files whose clusters were free). syncfs
  // writes every dirty sector of the file system and waits for them.
  int synced = errorOf(fsync(file));
  if (synced == 0) synced = errorOf(syncfs(file));
  const int closed = errorOf(close(file));
  return synced != 0 ? synced : closed;
}

int LinuxKernel::renameFile(const std::string& from, const std::string& to) {
  if (rename(from.c_str(), to.c_str()) != 0) return errno;
  const std::string folder = to.substr(0, to.rfind('/') + 1);
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  return syncAndClose(fd);
}
