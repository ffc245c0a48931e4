#include "tests/support/fake_kernel.h"

#include <ftw.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The fake's file for each ProcFile: meminfo, then each tunable by the last
// part of its path.
std::string nameOf(int index) {
  if (index == 0) return "meminfo";
  const std::string path = kTunablePaths[index - 1];
  return path.substr(path.rfind('/') + 1);
}

int indexOf(ProcFile file) { return static_cast<int>(file); }

int removeEntry(const char* path, const struct stat*, int, FTW*) {
  return remove(path);
}

}  // namespace

FakeKernel::FakeKernel() {
  char folder[] = "/tmp/cellcheck-fake-kernel-XXXXXX";
  if (mkdtemp(folder) == nullptr) abort();
  folder_ = folder;
  for (int i = 0; i < kProcFiles; ++i) paths_[i] = folder_ + "/" + nameOf(i);
}

FakeKernel::~FakeKernel() {
  for (const auto& mapping : mappings_) munmap(mapping.first, mapping.second);
  nftw(folder_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string FakeKernel::read(ProcFile file) const {
  std::string text;
  FILE* f = fopen(paths_[indexOf(file)].c_str(), "r");
  if (f == nullptr) return text;
  for (int c; (c = fgetc(f)) != EOF;) text += static_cast<char>(c);
  fclose(f);
  return text;
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

bool FakeKernel::lockArea(char* area, u64 bytes) {
  locks.emplace_back(area, bytes);
  return !lockRefused;
}

void FakeKernel::stopHugePageCollapse() {
  hugePageCollapseStopped = true;
  if (!areaRequests.empty() && !mappings_.empty()) {
    const auto& area = mappings_.back();
    const char* bytes = static_cast<const char*>(area.first);
    for (u64 i = 0; i < area.second && !areaFilledWhenCollapseStopped; ++i) {
      areaFilledWhenCollapseStopped = bytes[i] != 0;
    }
  }
}

u64 FakeKernel::pageFrame(const void* address) {
  const auto found =
      frames.find(reinterpret_cast<uintptr_t>(address) & ~(kPageBytes - 1));
  return found == frames.end() ? 0 : found->second;
}

u64 FakeKernel::poisonedFrame(const void* address) {
  const auto found = poisonedFrames.find(reinterpret_cast<uintptr_t>(address) &
                                         ~(kPageBytes - 1));
  return found == poisonedFrames.end() ? 0 : found->second;
}

bool FakeKernel::replacePoisonedPage(void* page, u64 bytes, bool locked) {
  if (replaceRefused) return false;
  if (replacementCount < kMaxReplacements) {
    replacements[replacementCount] = Replacement{page, bytes, locked};
    replacementCount = replacementCount + 1;
  }
  memset(page, 0, bytes);
  return true;
}

void FakeKernel::setFrame(const void* address, u64 frame) {
  frames[reinterpret_cast<uintptr_t>(address) & ~(kPageBytes - 1)] = frame;
}
