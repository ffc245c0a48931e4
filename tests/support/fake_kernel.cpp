#include "tests/support/fake_kernel.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/small_file.h"

namespace {

// The fake's file for each ProcFile: meminfo, then each tunable by the last
// part of its path.
std::string nameOf(int index) {
  if (index == 0) return "meminfo";
  const std::string path = tunableOf(static_cast<ProcFile>(index))->path;
  return path.substr(path.rfind('/') + 1);
}

int indexOf(ProcFile file) { return static_cast<int>(file); }

int removeEntry(const char* path, const struct stat*, int, FTW*) {
  return remove(path);
}

u64 walkedBytes = 0;

int countEntry(const char*, const struct stat* info, int type, FTW*) {
  if (type == FTW_F || type == FTW_SL) walkedBytes += info->st_size;
  return 0;
}

// The fault handler's stack in tests.
alignas(16) char handlerStack[64 * 1024];

// Counts into the fake's list of datagrams.
class NotedSink : public DatagramSink {
 public:
  NotedSink(FakeKernel& kernel, std::string to)
      : kernel_(kernel), to_(std::move(to)) {}
  bool send(const std::string& datagram) override {
    if (kernel_.sendsFail) return false;
    kernel_.datagrams.emplace_back(to_, datagram);
    return true;
  }

 private:
  FakeKernel& kernel_;
  std::string to_;
};

// Writes into the fake's notes.
class NotedSerialPort : public SerialLine {
 public:
  NotedSerialPort(FakeKernel& kernel, std::string device)
      : kernel_(kernel), device_(std::move(device)) {}
  bool write(const std::string& text) override {
    if (kernel_.serialWritesFail) return false;
    kernel_.serialWrites.emplace_back(device_, text);
    return true;
  }

 private:
  FakeKernel& kernel_;
  std::string device_;
};

class NotedInputDevice : public InputEvents {
 public:
  NotedInputDevice(FakeKernel& kernel, std::string device)
      : kernel_(kernel), device_(std::move(device)) {}
  bool send(uint16_t type, uint16_t code, int32_t value) override {
    if (kernel_.inputEventsFail) return false;
    kernel_.inputEvents.push_back(
        {device_, type, code, value, kernel_.milliseconds()});
    return true;
  }

 private:
  FakeKernel& kernel_;
  std::string device_;
};

}  // namespace

FakeKernel::FakeKernel() {
  char folder[] = "/tmp/cellcheck-fake-kernel-XXXXXX";
  if (mkdtemp(folder) == nullptr) abort();
  folder_ = folder;
  for (int i = 0; i < kProcFiles; ++i) paths_[i] = folder_ + "/" + nameOf(i);
}

FakeKernel::~FakeKernel() {
  if (trapped_) releaseFaults();
  for (const auto& mapping : mappings_) munmap(mapping.first, mapping.second);
  nftw(folder_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string FakeKernel::read(ProcFile file) const {
  return readSmallFile(paths_[indexOf(file)]);
}

void FakeKernel::write(ProcFile file, const std::string& text) {
  FILE* f = fopen(paths_[indexOf(file)].c_str(), "w");
  if (f == nullptr) abort();
  fputs(text.c_str(), f);
  fclose(f);
}

void FakeKernel::makeUnopenable(ProcFile file) {
  paths_[indexOf(file)] = folder_ + "/missing/" + nameOf(indexOf(file));
}

const char* FakeKernel::path(ProcFile file) {
  return paths_[indexOf(file)].c_str();
}

std::string FakeKernel::file(const char* kernelPath) {
  return folder_ + "/root" + kernelPath;
}

void FakeKernel::putFile(const std::string& kernelPath,
                         const std::string& text) {
  const std::string where = file(kernelPath.c_str());
  for (size_t slash = where.find('/', folder_.size() + 1);
       slash != std::string::npos; slash = where.find('/', slash + 1)) {
    mkdir(where.substr(0, slash).c_str(), 0755);
  }
  FILE* f = fopen(where.c_str(), "w");
  if (f == nullptr) abort();
  fputs(text.c_str(), f);
  fclose(f);
}

int FakeKernel::loadModule(const char* modulePath) {
  const auto failure = moduleErrors.find(modulePath);
  if (failure != moduleErrors.end()) return failure->second;
  struct stat info;
  if (stat(modulePath, &info) != 0) return ENOENT;
  for (const std::string& loaded : loadedModules) {
    if (loaded == modulePath) return EEXIST;
  }
  loadedModules.push_back(modulePath);
  const auto appearing = filesOnLoad.equal_range(modulePath);
  for (auto it = appearing.first; it != appearing.second; ++it) {
    putFile(it->second.first, it->second.second);
  }
  return 0;
}

volatile u64* FakeKernel::mapSharedWord() {
  ++sharedWords;
  if (sharedWordFails) return nullptr;
  void* word = mmap(nullptr, sizeof(u64), PROT_READ | PROT_WRITE,
                    MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (word == MAP_FAILED) abort();
  mappings_.emplace_back(word, sizeof(u64));
  return static_cast<volatile u64*>(word);
}

pid_t FakeKernel::forkChild() {
  if (forkFails) return -1;
  const pid_t child = fork();
  if (child == 0) {
    // A child made to die half way leaves no core file behind.
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
  }
  return child;
}

void FakeKernel::waitChild(pid_t child) {
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}

void FakeKernel::endChild() { _exit(0); }

char* FakeKernel::allocateProbe(u64 bytes) {
  // Runs in the child: what it changes here stays there.
  if (probeRefusals > 0) {
    --probeRefusals;
    return nullptr;
  }
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return nullptr;
  if (probeUsableBytes != 0 && probeUsableBytes < bytes) {
    mprotect(static_cast<char*>(block) + probeUsableBytes,
             bytes - probeUsableBytes, PROT_NONE);
  }
  return static_cast<char*>(block);
}

char* FakeKernel::allocateArea(u64 bytes) {
  areaRequests.push_back(bytes);
  if (bytes > areaLimit) return nullptr;
  void* area = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (area == MAP_FAILED) abort();
  mappings_.emplace_back(area, bytes);
  if (areaHugePagesKiB) {
    const uintptr_t start = reinterpret_cast<uintptr_t>(area);
    char text[256];
    snprintf(text, sizeof text,
             "%" PRIxPTR "-%" PRIxPTR
             " rw-p 00000000 00:00 0\n"
             "Size: %" PRIu64
             " kB\n"
             "AnonHugePages: %" PRIu64 " kB\n",
             start, start + bytes, bytes / 1024, *areaHugePagesKiB);
    putFile("/proc/self/smaps", text);
  }
  return static_cast<char*>(area);
}

u64 FakeKernel::fileBytes(const std::string& path) {
  walkedBytes = 0;
  nftw(path.c_str(), countEntry, 16, FTW_PHYS);
  return walkedBytes;
}

std::string FakeKernel::linkTarget(const std::string& path) {
  char target[4096];
  const ssize_t length = readlink(path.c_str(), target, sizeof target);
  return length > 0 ? std::string(target, static_cast<size_t>(length)) : "";
}

void FakeKernel::replaceFile(const std::string& path, const std::string& text) {
  const std::string fresh = path + ".new";
  FILE* file = fopen(fresh.c_str(), "w");
  if (file == nullptr) return;
  const bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
  if (fclose(file) == 0 && written) rename(fresh.c_str(), path.c_str());
}

void FakeKernel::removeFile(const std::string& path) { unlink(path.c_str()); }

u64 FakeKernel::removeFiles(const std::string& path) {
  removedFiles.push_back(path);
  return fileBytes(path);
}

int FakeKernel::startChild(const ChildProgram& program, pid_t* child) {
  if (childError != 0) return childError;
  children.push_back(program);
  *child = static_cast<pid_t>(999 + children.size());
  return 0;
}

void FakeKernel::waitForPowerOff() {
  if (inPowerOffWait != nullptr) {
    void (*const act)() = inPowerOffWait;
    inPowerOffWait = nullptr;
    act();
  }
  for (;;) pause();
}

bool FakeKernel::lockArea(char* area, u64 bytes) {
  locks.emplace_back(area, bytes);
  return !lockRefused;
}

bool FakeKernel::stopHugePageCollapse() {
  hugePageCollapseStopped = true;
  if (!areaRequests.empty() && !mappings_.empty()) {
    const auto& area = mappings_.back();
    const char* bytes = static_cast<const char*>(area.first);
    for (u64 i = 0; i < area.second && !areaFilledWhenCollapseStopped; ++i) {
      areaFilledWhenCollapseStopped = bytes[i] != 0;
    }
  }
  return true;
}

u64 FakeKernel::physicalAddress(const void* address) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(address);
  const auto found = frames.find(at & ~(kPageBytes - 1));
  return found == frames.end() ? kUnknownAddress
                               : found->second * kPageBytes + at % kPageBytes;
}

bool FakeKernel::trapFaultsOnThisThread() {
  constexpr size_t kBytes = 64 * 1024;
  void* memory = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return false;
  stack_t stack = {};
  stack.ss_sp = memory;
  stack.ss_size = kBytes;
  // Never unmapped, as in the program: a thread's signal stack stays set
  // until it ends, and the C library keeps ended threads' stacks for reuse.
  const bool set = sigaltstack(&stack, nullptr) == 0;
  std::lock_guard<std::mutex> lock(threadsMutex_);
  if (set) ++threadStacks_;
  return set;
}

int FakeKernel::threadStacks() const {
  std::lock_guard<std::mutex> lock(threadsMutex_);
  return threadStacks_;
}

int FakeKernel::pinThread(unsigned cpu) {
  for (unsigned refused : unpinnable) {
    if (refused == cpu) return EINVAL;
  }
  std::lock_guard<std::mutex> lock(threadsMutex_);
  pinned_.push_back(cpu);
  return 0;
}

std::vector<unsigned> FakeKernel::pinnedCpus() const {
  std::lock_guard<std::mutex> lock(threadsMutex_);
  std::vector<unsigned> pinned = pinned_;
  std::sort(pinned.begin(), pinned.end());
  return pinned;
}

int FakeKernel::placeOnNode(void* begin, u64 bytes, unsigned node) {
  const u64 at = reinterpret_cast<uintptr_t>(begin);
  if (at % kPageBytes != 0 || bytes % kPageBytes != 0) return EINVAL;
  placements.push_back(Placement{begin, bytes, node});
  for (u64 page = at; page < at + bytes; page += kPageBytes) {
    pageNodes[page] = static_cast<int>(node);
  }
  return 0;
}

int FakeKernel::nodeOfPage(const void* address) {
  const auto found =
      pageNodes.find(reinterpret_cast<uintptr_t>(address) & ~(kPageBytes - 1));
  return found == pageNodes.end() ? -1 : found->second;
}

bool FakeKernel::trapFaults(FaultHandler handler) {
  trapping_ = getpid();
  stack_t stack = {};
  stack.ss_sp = handlerStack;
  stack.ss_size = sizeof handlerStack;
  sigaltstack(&stack, &oldStack_);
  const struct sigaction action = faultAction(handler);
  trapped_ = sigaction(SIGBUS, &action, &oldBus_) == 0 &&
             sigaction(SIGSEGV, &action, &oldSegv_) == 0;
  memoryErrorsEarly = true;
  return trapped_;
}

void FakeKernel::releaseFaults() {
  sigaction(SIGBUS, &oldBus_, nullptr);
  sigaction(SIGSEGV, &oldSegv_, nullptr);
  sigaltstack(&oldStack_, nullptr);
  trapped_ = false;
}

void FakeKernel::endAsUntrapped(int signal) {
  struct sigaction standard = {};
  standard.sa_handler = SIG_DFL;
  sigaction(signal, &standard, nullptr);
  raise(signal);
}

u64 FakeKernel::lostPhysicalAddress(const void* address) {
  if (inFrameLookup != nullptr) inFrameLookup();
  const uintptr_t at = reinterpret_cast<uintptr_t>(address);
  const auto found = poisonedFrames.find(at & ~(kPageBytes - 1));
  if (found == poisonedFrames.end() || found->second == 0) {
    // As the real page map's read that finds nothing leaves it.
    errno = ENOENT;
    return kUnknownAddress;
  }
  return found->second * kPageBytes + at % kPageBytes;
}

std::unique_ptr<DatagramSink> FakeKernel::udpSink(const std::string& address,
                                                  uint16_t port) {
  return std::unique_ptr<DatagramSink>(
      new NotedSink(*this, address + ":" + std::to_string(port)));
}

bool FakeKernel::replaceLostPage(void* page, u64 bytes, bool locked) {
  if (replaceRefused) return false;
  if (replacementCount < kMaxReplacements) {
    replacements[replacementCount] = Replacement{page, bytes, locked};
    replacementCount = replacementCount + 1;
  }
  memset(page, 0, bytes);
  // Linux drops the marker with the page. Cleared in place: the handler
  // may not free.
  const uintptr_t begin = reinterpret_cast<uintptr_t>(page);
  for (auto it = poisonedFrames.lower_bound(begin);
       it != poisonedFrames.end() && it->first < begin + bytes; ++it) {
    it->second = 0;
  }
  return true;
}

void FakeKernel::setFrame(const void* address, u64 frame) {
  frames[reinterpret_cast<uintptr_t>(address) & ~(kPageBytes - 1)] = frame;
}

// The disks.

std::vector<DiskPartition> FakeKernel::partitions() {
  ++partitionListings;
  std::vector<DiskPartition> found;
  for (const FakePartition& disk : disks) {
    if (disk.appearsAtCall <= partitionListings)
      found.push_back(disk.partition);
  }
  return found;
}

int FakeKernel::mountFat(const std::string& name, const std::string& at,
                         bool writable) {
  for (const FakePartition& disk : disks) {
    if (disk.partition.name != name) continue;
    if (partitionListings < disk.deviceAtCall) return ENOENT;
    if (disk.folder.empty()) return EINVAL;  // what vfat says to other data
    if (mounted_.count(at) != 0) return EBUSY;
    fatMounts.push_back(FatMount{name, at, writable});
    mounted_[at] = std::make_pair(disk.folder, writable);
    return 0;
  }
  return ENOENT;
}

int FakeKernel::unmount(const std::string& at) {
  unmounts.push_back(at);
  return mounted_.erase(at) != 0 ? 0 : EINVAL;
}

std::string FakeKernel::onDisk(const std::string& path, bool* writable) const {
  for (const auto& mount : mounted_) {
    const std::string& at = mount.first;
    if (path.compare(0, at.size(), at) == 0 &&
        (path.size() == at.size() || path[at.size()] == '/')) {
      *writable = mount.second.second;
      return mount.second.first + path.substr(at.size());
    }
  }
  return std::string();
}

int FakeKernel::readFile(const std::string& path, size_t limit,
                         std::string* text) {
  bool writable;
  const std::string real = onDisk(path, &writable);
  if (real.empty()) return ENOENT;
  FILE* f = fopen(real.c_str(), "rb");
  if (f == nullptr) return errno;
  text->assign(limit, '\0');
  text->resize(fread(&(*text)[0], 1, limit, f));
  fclose(f);
  return 0;
}

bool FakeKernel::exists(const std::string& path) {
  bool writable;
  const std::string real = onDisk(path, &writable);
  return !real.empty() && access(real.c_str(), F_OK) == 0;
}

int FakeKernel::createFile(const std::string& path, int* file) {
  bool writable = false;
  const std::string real = onDisk(path, &writable);
  if (real.empty()) return ENOENT;
  if (!writable) {
    ++refusedWrites;
    return EROFS;
  }
  const int fd = open(real.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return errno;
  created.push_back(real);
  *file = fd;
  return 0;
}

int FakeKernel::writeFile(int file, const char* data, size_t size) {
  size_t allowed = size;
  if (bytesBeforeWriteFails >= 0 &&
      static_cast<unsigned long long>(bytesBeforeWriteFails) < size) {
    allowed = static_cast<size_t>(bytesBeforeWriteFails);
  }
  // What fits goes in first, as on a disk that fills up midway.
  if (allowed != 0 &&
      ::write(file, data, allowed) != static_cast<ssize_t>(allowed))
    return errno;
  if (bytesBeforeWriteFails >= 0) {
    bytesBeforeWriteFails -= static_cast<long long>(allowed);
    if (allowed < size) return writeError;
  }
  return 0;
}

int FakeKernel::syncAndClose(int file) { return close(file) == 0 ? 0 : errno; }

int FakeKernel::renameFile(const std::string& from, const std::string& to) {
  bool fromWritable = false;
  bool toWritable = false;
  const std::string realFrom = onDisk(from, &fromWritable);
  const std::string realTo = onDisk(to, &toWritable);
  if (realFrom.empty() || realTo.empty()) return ENOENT;
  if (!fromWritable || !toWritable) {
    ++refusedWrites;
    return EROFS;
  }
  return rename(realFrom.c_str(), realTo.c_str()) == 0 ? 0 : errno;
}

std::unique_ptr<SerialLine> FakeKernel::openSerialPort(
    const std::string& device, int* error) {
  openedDevices.push_back(device);
  const auto failure = deviceErrors.find(device);
  *error = failure == deviceErrors.end() ? 0 : failure->second;
  if (*error != 0) return nullptr;
  return std::unique_ptr<SerialLine>(new NotedSerialPort(*this, device));
}

std::unique_ptr<InputEvents> FakeKernel::openInputDevice(
    const std::string& device, int* error) {
  openedDevices.push_back(device);
  const auto failure = deviceErrors.find(device);
  *error = failure == deviceErrors.end() ? 0 : failure->second;
  if (*error != 0) return nullptr;
  return std::unique_ptr<InputEvents>(new NotedInputDevice(*this, device));
}
