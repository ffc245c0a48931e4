#include "stick/boot_stick.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "base/cprintf.h"
#include "base/small_file.h"
#include "modules/module_loader.h"
#include "stick/boot_medium.h"

namespace {

// FAT and the code pages its mount takes by default (Debian's kernel:
// code page 437, ASCII names).
const std::vector<std::string> kFatModules = {"vfat", "nls_cp437", "nls_ascii"};

// A mark is one line; anything longer is not ours.
constexpr size_t kMarkLimit = 256;

std::string trimmed(std::string text) {
  while (!text.empty() && strchr(" \t\r\n", text.back()) != nullptr)
    text.pop_back();
  return text;
}

}  // namespace

BootStick::BootStick(KernelFiles& files, KernelSystem& system,
                     KernelDevices& devices, KernelDisks& disks,
                     StickPaths paths)
    : files_(files),
      system_(system),
      devices_(devices),
      disks_(disks),
      paths_(std::move(paths)) {}

void BootStick::prepare() {
  const std::string none = findAndMount();
  if (none.empty()) {
    cprintf("Reports: on the boot stick, partition %d (%s)\n",
            partition_.number, kReportLabel);
  } else {
    cprintf("Reports: none (%s)\n", none.c_str());
  }
}

std::string BootStick::findAndMount() {
  // Run as the first process elsewhere (the fault lab's sandbox), the
  // program must never load a host's modules or touch a host's disks.
  if (!files_.isImageInit()) return "not started as the boot image's /init";
  const BootMedium medium =
      bootMediumOf(readFileLine(files_.file("/proc/cmdline")));
  switch (medium) {
    case BootMedium::kCd:
      return "booted from a CD";
    case BootMedium::kNetwork:
      return "booted from the network";
    case BootMedium::kUnknown:
      return "not booted from the image's boot menu on a stick";
    case BootMedium::kDisk:
    case BootMedium::kRemovable:
      break;
  }
  const std::string mark = readFileLine(paths_.buildMark);
  if (mark.empty()) return "this image carries no build mark";
  files_.mountSys();
  devices_.mountDevices();
  const std::string release = runningKernelRelease(files_);
  ModuleLoader loader(files_, system_, paths_.moduleRoot + "/" + release);
  if (!loader.readIndex()) {
    return "the image holds no drivers for kernel " + release;
  }
  const ModuleLoadResult fat = loader.loadNamed(kFatModules);
  for (const auto& failure : fat.failed) {
    if (failure.first == "vfat") {
      return "the FAT driver did not load: " + failure.second;
    }
  }
  // USB sticks show up one step at a time after their drivers load: the
  // controller, then the stick on it, then its disk and partitions. USB
  // storage waits about a second before it scans each new disk, so a second
  // stick of this image is often found a few polls after the first: once
  // one is found, the search goes on until no partition has come for
  // kSettleMilliseconds, and the check for two sticks sees all it found.
  std::vector<DiskPartition> found;
  const int pause = static_cast<int>(kPauseMilliseconds);
  const int ticks = waitSeconds * 1000 / pause;
  const int settleTicks = static_cast<int>(kSettleMilliseconds) / pause;
  int quietTicks = 0;
  for (int tick = 0;; ++tick) {
    loader.loadForDevices(isStickModule);
    const size_t lookedBefore = looked_.size();
    bool waiting = false;
    for (const DiskPartition& partition :
         marked(disks_.partitions(), mark, &waiting)) {
      found.push_back(partition);
    }
    if (found.empty()) {
      if (tick >= ticks) break;
    } else {
      const bool news = looked_.size() != lookedBefore || waiting;
      quietTicks = news ? 0 : quietTicks + 1;
      // Partitions that keep coming (or a device file that never does)
      // hold start-up no longer than the settling time past the wait.
      if (quietTicks >= settleTicks || tick >= ticks + settleTicks) break;
    }
    system_.sleepMilliseconds(kPauseMilliseconds);
  }
  // Every stick made from this image has the partition: a removable medium
  // without it is the CD.
  if (found.empty() && medium == BootMedium::kRemovable) {
    return "booted from a CD";
  }
  if (found.empty()) {
    return "no partition of this image's stick was found within " +
           std::to_string(waitSeconds) + " s";
  }
  if (found.size() > 1) {
    // Two sticks made from this same image: which one booted cannot be
    // told, and neither is written to.
    return "partitions " + found[0].name + " and " + found[1].name +
           " both carry this image's mark; leave only the boot stick in";
  }
  const int error = disks_.mountFat(found[0].name, paths_.mountAt, true);
  if (error != 0) {
    return "partition " + std::to_string(found[0].number) +
           " of the boot stick could not be mounted: " + strerror(error);
  }
  partition_ = found[0];
  ready_ = true;
  return std::string();
}

std::vector<DiskPartition> BootStick::marked(
    const std::vector<DiskPartition>& candidates, const std::string& mark,
    bool* waiting) {
  std::vector<DiskPartition> found;
  for (const DiskPartition& candidate : candidates) {
    if (std::find(looked_.begin(), looked_.end(), candidate.name) !=
        looked_.end()) {
      continue;
    }
    // Read-only: a partition of another disk is never written to, not
    // even by mounting it.
    const int mounted = disks_.mountFat(candidate.name, paths_.probeAt, false);
    // A device file not there yet is looked at again next time.
    if (mounted == ENOENT || mounted == ENXIO) {
      *waiting = true;
      continue;
    }
    looked_.push_back(candidate.name);
    if (mounted != 0) continue;
    std::string text;
    const int error = disks_.readFile(paths_.probeAt + "/" + kMarkFileName,
                                      kMarkLimit, &text);
    disks_.unmount(paths_.probeAt);
    if (error == 0 && trimmed(text) == mark) found.push_back(candidate);
  }
  return found;
}
