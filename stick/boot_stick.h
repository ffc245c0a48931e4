// The boot stick's report partition. The image carries a FAT partition of
// its own for reports (label CELLCHECK) and marks it, and its initramfs,
// with the same build mark; reports go only to the one partition that
// carries this image's mark, never to another disk or partition, whatever
// its label. Other partitions are only mounted read-only, to read their
// mark, and unmounted at once.
//
// At start-up, before the memory is measured (the drivers and the mount
// take memory), and only when the image's boot menu started the kernel
// from a disk: the USB drivers of the image load, the stick's disk appears
// a few seconds later, its partition is found and, once no other disk has
// come for a moment, mounted writable. One line says where reports go or
// why there are none.
#ifndef CELLCHECK_STICK_BOOT_STICK_H_
#define CELLCHECK_STICK_BOOT_STICK_H_

#include <string>
#include <vector>

#include "base/image_paths.h"
#include "seam/devices.h"
#include "seam/disks.h"
#include "seam/files.h"
#include "seam/system.h"

// The report partition's label, as the image builds it.
constexpr char kReportLabel[] = "CELLCHECK";
// The file on the partition that holds the build mark.
constexpr char kMarkFileName[] = ".cellcheck-build";

// The image's (base/image_paths.h); tests give folders of their own.
struct StickPaths {
  std::string moduleRoot = kModuleRoot;
  // The image's own build mark, in its initramfs.
  std::string buildMark = kBuildMark;
  // Where a partition is mounted read-only to read its mark.
  std::string probeAt = kProbeMountFolder;
  // Where the report partition stays mounted.
  std::string mountAt = kReportMountFolder;
};

class BootStick {
 public:
  BootStick(KernelFiles& files, KernelSystem& system, KernelDevices& devices,
            KernelDisks& disks, StickPaths paths = StickPaths());

  // Start-up, before the memory is measured: finds and mounts the report
  // partition when the machine booted from a disk, and prints the line.
  void prepare();

  // The partition is mounted writable at folder().
  bool ready() const { return ready_; }
  const std::string& folder() const { return paths_.mountAt; }
  const DiskPartition& partition() const { return partition_; }

  // How long start-up waits for the stick's partition to appear.
  int waitSeconds = 20;
  static constexpr unsigned kPauseMilliseconds = 250;
  // Once a partition of this image is found, how long the search goes on
  // with no new partition coming, for a second stick of the same image
  // (reports go to neither then).
  static constexpr unsigned kSettleMilliseconds = 2000;

 private:
  // The reason there are no reports, or empty when the partition is
  // mounted.
  std::string findAndMount();
  // The partitions among `candidates` not yet looked at that carry `mark`.
  // `waiting` is set when one could not be looked at yet (its device file
  // is not there).
  std::vector<DiskPartition> marked(
      const std::vector<DiskPartition>& candidates, const std::string& mark,
      bool* waiting);

  KernelFiles& files_;
  KernelSystem& system_;
  KernelDevices& devices_;
  KernelDisks& disks_;
  StickPaths paths_;
  std::vector<std::string> looked_;  // partitions whose mark was read
  bool ready_ = false;
  DiskPartition partition_;
};

#endif  // CELLCHECK_STICK_BOOT_STICK_H_
