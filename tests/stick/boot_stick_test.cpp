// Finding the report partition: only the one that carries this image's mark
// is ever mounted writable, whatever the others are labelled or hold.
#include "stick/boot_stick.h"

#include <gtest/gtest.h>

#include "base/small_file.h"
#include "tests/support/console_capture.h"
#include "tests/support/fake_kernel.h"
#include "tests/support/temp_folder.h"

namespace {

constexpr char kMark[] =
    "4f2c0a9e8d7b6a5f4e3d2c1b0a9f8e7d6c5b4a3f2e1d0c9b8a7f6e5d4c3b2a19";
constexpr char kOlderMark[] = "0000aaaa";

class BootStickTest : public testing::Test {
 protected:
  BootStickTest() {
    kernel.imageInit = true;
    kernel.putFile("/proc/cmdline", "BOOT_IMAGE=(hd0)/boot/vmlinuz quiet\n");
    kernel.putFile("/proc/sys/kernel/osrelease", "6.12.0-test\n");
    folder.write("image/etc/cellcheck-build", std::string(kMark) + "\n");
    // A module index with nothing a device asks for, but FAT.
    folder.write("image/lib/modules/6.12.0-test/modules.dep",
                 "kernel/fs/fat/vfat.ko.xz: kernel/fs/fat/fat.ko.xz\n"
                 "kernel/fs/fat/fat.ko.xz:\n");
    folder.write("image/lib/modules/6.12.0-test/kernel/fs/fat/vfat.ko.xz", "");
    folder.write("image/lib/modules/6.12.0-test/kernel/fs/fat/fat.ko.xz", "");
    paths.moduleRoot = folder.path() + "/image/lib/modules";
    paths.buildMark = folder.path() + "/image/etc/cellcheck-build";
  }

  // A FAT partition whose folder holds `mark` (none: no mark file).
  void addFat(const char* name, const char* disk, int number, const char* mark,
              int appearsAtCall = 1, int deviceAtCall = 0) {
    const std::string fs = std::string("disks/") + name;
    folder.write(fs + "/README.TXT", "someone's files\n");
    if (mark != nullptr) {
      folder.write(fs + "/" + kMarkFileName, std::string(mark) + "\n");
    }
    kernel.disks.push_back(FakeKernel::FakePartition{
        DiskPartition{name, disk, number}, folder.path() + "/" + fs,
        appearsAtCall, deviceAtCall});
  }

  std::string prepare() {
    BootStick stick(kernel, kernel, kernel, kernel, paths);
    stick.waitSeconds = 2;
    ConsoleCapture console;
    stick.prepare();
    ready = stick.ready();
    return console.take();
  }

  std::vector<std::string> writableMounts() const {
    std::vector<std::string> names;
    for (const auto& mount : kernel.fatMounts)
      if (mount.writable) names.push_back(mount.partition);
    return names;
  }

  FakeKernel kernel;
  TempFolder folder{"boot-stick"};
  StickPaths paths;
  bool ready = false;
};

TEST_F(BootStickTest, WritesOnlyToThePartitionWithThisImagesMark) {
  addFat("sda1", "sda", 1, nullptr);     // a camera's card, say
  addFat("sdb3", "sdb", 3, kOlderMark);  // another build's stick
  kernel.disks.push_back(                // not FAT at all
      FakeKernel::FakePartition{DiskPartition{"sdb1", "sdb", 1}, "", 1});
  addFat("sdc3", "sdc", 3, kMark);
  EXPECT_EQ(prepare(), "Reports: on the boot stick, partition 3 (CELLCHECK)\n");
  EXPECT_TRUE(ready);
  EXPECT_EQ(writableMounts(), std::vector<std::string>{"sdc3"});
  EXPECT_EQ(kernel.refusedWrites, 0);
  EXPECT_TRUE(kernel.created.empty());
  EXPECT_EQ(kernel.loadedModules.size(), 2u);  // fat, then vfat
  EXPECT_EQ(kernel.deviceMounts, 1);
  // Every probe was undone.
  int probes = 0;
  for (const auto& mount : kernel.fatMounts) probes += !mount.writable;
  EXPECT_EQ(static_cast<int>(kernel.unmounts.size()), probes);
}

// Polls after the one that found the stick, with no other disk coming,
// before it is taken.
constexpr int kSettlePolls =
    BootStick::kSettleMilliseconds / BootStick::kPauseMilliseconds;

TEST_F(BootStickTest, WaitsForTheStickToAppear) {
  addFat("sdb3", "sdb", 3, kMark, 4);
  EXPECT_EQ(prepare(), "Reports: on the boot stick, partition 3 (CELLCHECK)\n");
  // Found at the fourth look, then taken once no other disk came for the
  // settling time: no longer.
  EXPECT_EQ(kernel.partitionListings, 4 + kSettlePolls);
  EXPECT_EQ(kernel.sleeps.size(), 3u + kSettlePolls);
  EXPECT_EQ(kernel.millisecondClock,
            3 * BootStick::kPauseMilliseconds + BootStick::kSettleMilliseconds);
}

// USB storage scans each new disk about a second after it shows up, so
// two sticks are usually found in different polls: the second is seen
// when it comes within the settling time after the first.
class SecondStickTest : public BootStickTest,
                        public testing::WithParamInterface<int> {};

TEST_P(SecondStickTest, ASecondStickFoundPollsAfterTheFirstIsSeen) {
  const int later = GetParam();
  addFat("sdb3", "sdb", 3, kMark, 2);
  addFat("sdc1", "sdc", 1, nullptr, 2 + later);
  addFat("sdc3", "sdc", 3, kMark, 2 + later);
  EXPECT_EQ(prepare(),
            "Reports: none (partitions sdb3 and sdc3 both carry this image's "
            "mark; leave only the boot stick in)\n");
  EXPECT_FALSE(ready);
  EXPECT_TRUE(writableMounts().empty());
  // The settling time counts from the last disk that came.
  EXPECT_EQ(kernel.partitionListings, 2 + later + kSettlePolls);
}

INSTANTIATE_TEST_SUITE_P(PollsLater, SecondStickTest, testing::Values(1, 2, 4));

// A partition listed before its device file is there is looked at once it
// is: the settling time waits for it.
TEST_F(BootStickTest, ASecondStickWhoseDeviceComesLateIsSeen) {
  addFat("sdb3", "sdb", 3, kMark);
  addFat("sdc3", "sdc", 3, kMark, 2, 3 + kSettlePolls);
  EXPECT_EQ(prepare(),
            "Reports: none (partitions sdb3 and sdc3 both carry this image's "
            "mark; leave only the boot stick in)\n");
  EXPECT_TRUE(writableMounts().empty());
}

TEST_F(BootStickTest, SaysWhyThereAreNoReports) {
  struct Case {
    const char* cmdline;
    const char* line;
  };
  for (const Case& c : {
           Case{"BOOT_IMAGE=(cd)/boot/vmlinuz",
                "Reports: none (booted from a CD)\n"},
           Case{"initrd=initramfs.img quiet",
                "Reports: none (booted from the network)\n"},
           Case{"quiet",
                "Reports: none (not booted from the image's boot menu on a "
                "stick)\n"},
       }) {
    kernel.putFile("/proc/cmdline", c.cmdline);
    EXPECT_EQ(prepare(), c.line);
    EXPECT_FALSE(ready);
  }
  EXPECT_TRUE(kernel.fatMounts.empty());
  EXPECT_TRUE(kernel.loadedModules.empty());
}

TEST_F(BootStickTest, UnderUefiARemovableMediumIsTheStickOrTheCd) {
  kernel.putFile("/proc/cmdline", "BOOT_IMAGE=(cd1)/boot/vmlinuz quiet\n");
  addFat("sdb3", "sdb", 3, kOlderMark);
  EXPECT_EQ(prepare(), "Reports: none (booted from a CD)\n");
  addFat("sdc3", "sdc", 3, kMark);
  EXPECT_EQ(prepare(), "Reports: on the boot stick, partition 3 (CELLCHECK)\n");
  EXPECT_EQ(writableMounts(), std::vector<std::string>{"sdc3"});
}

TEST_F(BootStickTest, FindsNoneWithinTheWait) {
  addFat("sdb3", "sdb", 3, kOlderMark);
  EXPECT_EQ(
      prepare(),
      "Reports: none (no partition of this image's stick was found within "
      "2 s)\n");
  EXPECT_TRUE(writableMounts().empty());
}

TEST_F(BootStickTest, TwoSticksOfThisImageGetNothing) {
  addFat("sdb3", "sdb", 3, kMark);
  addFat("sdc3", "sdc", 3, kMark);
  EXPECT_EQ(prepare(),
            "Reports: none (partitions sdb3 and sdc3 both carry this image's "
            "mark; leave only the boot stick in)\n");
  EXPECT_TRUE(writableMounts().empty());
}

TEST_F(BootStickTest, OutsideItsImageTouchesNoDisk) {
  kernel.imageInit = false;
  addFat("sdc3", "sdc", 3, kMark);
  EXPECT_EQ(prepare(),
            "Reports: none (not started as the boot image's /init)\n");
  EXPECT_TRUE(kernel.fatMounts.empty());
  EXPECT_EQ(kernel.deviceMounts, 0);
  EXPECT_TRUE(kernel.loadedModules.empty());
}

}  // namespace
