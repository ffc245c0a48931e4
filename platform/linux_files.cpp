// The files role on Linux: /proc and /sys mounted, the tunables' paths,
// the kernel's log, and the image's own files in RAM.
#include <fcntl.h>
#include <ftw.h>
#include <sys/klog.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "base/image_paths.h"
#include "platform/linux_kernel.h"
#include "seam/tunables.h"

namespace {

// klogctl actions.
constexpr int kSyslogReadAll = 3;
constexpr int kSyslogSizeBuffer = 10;

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

}  // namespace

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
