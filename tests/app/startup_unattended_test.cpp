#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "app/startup.h"
#include "console/cellchecker_dos.h"
#include "run/unattended.h"
#include "speaker/pc_speaker.h"
#include "tests/support/console_capture.h"
#include "tests/support/fake_dhcp_client.h"
#include "tests/support/fake_kernel.h"
#include "tests/support/temp_folder.h"

namespace {

const char kRelease[] = "6.1.0-test-amd64";

// A kernel as start-up finds it in the image: /proc with the command line
// and release, /sys with the firmware's identity and one Intel network
// card, and the image's own /lib/modules and busybox in a folder of the
// test.
class UnattendedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kernel.write(ProcFile::kMeminfo,
                 "MemTotal: 1000 kB\nDirectMap4k: 1048576 kB\n");
    kernel.physPageCount = 1024 * 256;
    kernel.putFile("/proc/sys/kernel/osrelease", std::string(kRelease) + "\n");
    kernel.putFile("/sys/class/dmi/id/sys_vendor", "QEMU\n");
    kernel.putFile("/sys/class/dmi/id/product_name", "Standard PC\n");
    kernel.putFile("/sys/class/dmi/id/product_serial", "CC-0042\n");
    kernel.putFile("/sys/class/dmi/id/bios_version", "1.16.2\n");
    kernel.putFile("/sys/bus/pci/devices/0000:00:03.0/modalias",
                   "pci:v00008086d0000100Esv00001AF4sd00001100bc02sc00i00\n");
    const std::string modules = std::string("lib/modules/") + kRelease;
    write(modules + "/modules.dep",
          "kernel/drivers/net/e1000.ko:\n"
          "kernel/drivers/input/misc/pcspkr.ko:\n");
    write(modules + "/modules.alias",
          "alias pci:v00008086d0000100Esv*sd*bc*sc*i* e1000\n"
          "alias platform:pcspkr pcspkr\n");
    write(modules + "/kernel/drivers/net/e1000.ko", std::string(3 * kMiB, 'm'));
    // The speaker's driver, and the input device it makes.
    write(modules + "/kernel/drivers/input/misc/pcspkr.ko", "pcspkr");
    kernel.putFile("/sys/bus/platform/devices/pcspkr/modalias",
                   "platform:pcspkr\n");
    const std::string pcspkr = modules + "/kernel/drivers/input/misc/pcspkr.ko";
    kernel.filesOnLoad.insert(
        {image + "/" + pcspkr,
         {"/sys/class/input/input4/name", "PC Speaker\n"}});
    kernel.filesOnLoad.insert(
        {image + "/" + pcspkr,
         {"/sys/class/input/input4/event4/dev", "13:68\n"}});
    write("bin/busybox", "busybox");
    unattended.reset(
        new Unattended(kernel, kernel, kernel, dhcp, image + "/lib/modules"));
    unattended->leaseWaitSeconds = 1;
    kernel.imageInit = true;
    dhcp.given.interface = "eth0";
    dhcp.given.address = "10.99.0.50";
    dhcp.given.logServer = "10.99.0.1";
  }
  void write(const std::string& file, const std::string& text) {
    ASSERT_TRUE(temp.write(file, text)) << file;
  }

  // Whether start-up dropped the image's file or folder at `path`.
  bool dropped(const std::string& path) {
    for (const std::string& removed : kernel.removedFiles) {
      if (removed == image + path) return true;
    }
    return false;
  }

  // Start-up as the program runs it, with the unattended parts.
  std::string startUpWith(const std::string& cmdline) {
    kernel.putFile("/proc/cmdline", cmdline + "\n");
    ConsoleCapture console;
    StartupParts parts;
    parts.unattended = unattended.get();
    parts.speaker = speaker;
    parts.moduleRoot = image + "/lib/modules";
    parts.busybox = image + "/bin/busybox";
    found = startUp(kernel, tester, record, facts, parts);
    EXPECT_EQ(found.result, StartupResult::kReady);
    return console.take();
  }

  FakeKernel kernel;
  FakeDhcpClient dhcp;
  TempFolder temp{"image"};
  const std::string image = temp.path();
  std::unique_ptr<Unattended> unattended;
  PcSpeaker* speaker = nullptr;
  CellcheckerDos tester;
  BadMemory record;
  RunFacts facts;
  StartupFound found;
};

TEST_F(UnattendedTest, WithoutOptionsStartUpIsAsBeforeAndTheImageFilesGo) {
  kernel.putFile("/proc/cmdline", "quiet console=ttyS0,115200\n");
  FakeKernel plain;
  plain.write(ProcFile::kMeminfo,
              "MemTotal: 1000 kB\nDirectMap4k: 1048576 kB\n");
  plain.physPageCount = kernel.physPageCount;
  std::string before;
  {
    CellcheckerDos other;
    ConsoleCapture console;
    BadMemory otherRecord;
    RunFacts otherFacts;
    ASSERT_EQ(startUp(plain, other, otherRecord, otherFacts).result,
              StartupResult::kReady);
    before = console.take();
  }
  EXPECT_EQ(startUpWith("quiet console=ttyS0,115200"), before);
  EXPECT_FALSE(facts.options.any);
  EXPECT_EQ(kernel.sysMounts, 0);
  EXPECT_TRUE(kernel.loadedModules.empty());
  EXPECT_EQ(dhcp.starts, 0);
  // Nothing of the image's network parts is left to cost test area.
  EXPECT_TRUE(dropped("/lib/modules"));
  EXPECT_TRUE(dropped("/bin/busybox"));
  EXPECT_GT(found.imageBytesDropped, 3 * kMiB);
}

// Notes whether the image's module files are there when start-up sets the
// free reserve and when the measurement forks.
class WatchingKernel : public FakeKernel {
 public:
  std::string modules;
  bool modulesAtReserve = false;
  bool modulesAtFork = true;
  const char* path(ProcFile file) override {
    if (file == ProcFile::kMinFree) modulesAtReserve = modulesThere();
    return FakeKernel::path(file);
  }
  pid_t forkChild() override {
    modulesAtFork = modulesThere();
    return FakeKernel::forkChild();
  }

 private:
  bool modulesThere() const {
    for (const std::string& removed : removedFiles) {
      if (removed == modules) return false;
    }
    return true;
  }
};

TEST_F(UnattendedTest, TheFilesGoOnceTheReserveIsSmallBeforeTheMeasurement) {
  // Freed with the boot's large reserve in force, their pages would wait in
  // the kernel's per-CPU lists, unseen by the measurement.
  WatchingKernel watching;
  watching.write(ProcFile::kMeminfo, "DirectMap4k: 1048576 kB\n");
  watching.write(ProcFile::kMinFree, "5632\n");
  watching.putFile("/proc/cmdline", "quiet\n");
  watching.modules = image + "/lib/modules";
  watching.imageInit = true;
  Unattended run(watching, watching, watching, dhcp, watching.modules);
  StartupParts parts;
  parts.unattended = &run;
  parts.moduleRoot = watching.modules;
  parts.busybox = image + "/bin/busybox";
  ConsoleCapture console;
  ASSERT_EQ(startUp(watching, tester, record, facts, parts).result,
            StartupResult::kReady);
  EXPECT_TRUE(watching.modulesAtReserve);
  EXPECT_FALSE(watching.modulesAtFork);
  EXPECT_EQ(watching.read(ProcFile::kMinFree), "4");
}

TEST_F(UnattendedTest, FilesThatAreNotTheImagesOwnStay) {
  kernel.imageInit = false;
  startUpWith("quiet");
  EXPECT_TRUE(kernel.removedFiles.empty());
  EXPECT_EQ(found.imageBytesDropped, 0u);
}

TEST_F(UnattendedTest, EventsAskedForBringDriversAndALeaseBeforeMeasuring) {
  const std::string shown =
      startUpWith("quiet cellcheck.time=1m cellcheck.syslog cellcheck.bogus=1");
  const std::string expected =
      "Cellcheck RAM tester\n"
      "Made by the Cellcheck developers. It tests until you switch off.\n"
      "Option cellcheck.bogus=1 ignored: unknown (known: cellcheck.time, "
      "cellcheck.coverage, cellcheck.end, cellcheck.syslog, cellcheck.log, "
      "cellcheck.beep, cellcheck.cpus).\n"
      "Machine: QEMU Standard PC, serial CC-0042, board serial unknown, "
      "firmware 1.16.2\n"
      "Unattended run: full testing for 1 min, then a verdict and halt; "
      "events to the log server from DHCP.\n"
      "Amount of RAM mapped by BIOS: 1.00 GB\n";
  ASSERT_NE(shown.find(expected), std::string::npos) << shown;
  const std::string network =
      "(no memtest= on the kernel command line, or memtest=0)\n"
      "Drivers loaded: e1000.\n"
      "The image has Debian's own drivers but no firmware from its "
      "non-free-firmware\nsection: a network card that needs such firmware "
      "stays silent.\n"
      "Module files (3.0 MiB) are dropped from memory before it is "
      "measured.\n"
      "Asking DHCP for a lease on eth0 (waiting at most 1 s)...\n"
      "Network: eth0 has 10.99.0.50; events go to 10.99.0.1:514.\n"
      "Init";
  EXPECT_NE(shown.find(network), std::string::npos) << shown;
  EXPECT_EQ(kernel.sysMounts, 1);
  ASSERT_EQ(kernel.loadedModules.size(), 1u);
  EXPECT_EQ(kernel.loadedModules[0], image + "/lib/modules/" + kRelease +
                                         "/kernel/drivers/net/e1000.ko");
  EXPECT_TRUE(dropped("/lib/modules"));
  EXPECT_FALSE(dropped("/bin/busybox"));  // the DHCP client runs on
  EXPECT_TRUE(unattended->haveLease);
  EXPECT_EQ(facts.areaBytes, tester.wordsPerBank * 8);
}

TEST_F(UnattendedTest, WithoutALeaseOrALogServerTheRunGoesOnAndSaysSo) {
  dhcp.hasLease = false;
  std::string shown = startUpWith("cellcheck.syslog");
  EXPECT_NE(shown.find("No DHCP lease within 1 s: testing goes on, and "
                       "events wait for one.\nInit"),
            std::string::npos)
      << shown;
  // A tenth of a second each, and the last look.
  EXPECT_EQ(kernel.sleeps, std::vector<unsigned>(11, 100));
}

TEST_F(UnattendedTest, ALeaseWithoutALogServerMeansNoEventsUnlessOneIsGiven) {
  dhcp.given.logServer.clear();
  std::string shown = startUpWith("cellcheck.syslog");
  EXPECT_NE(shown.find("Network: eth0 has 10.99.0.50; DHCP named no log "
                       "server (option 7), so no events are sent.\n"),
            std::string::npos)
      << shown;
}

TEST_F(UnattendedTest, ACollectorOnTheCommandLineNeedsNoOption7) {
  dhcp.given.logServer.clear();
  const std::string shown = startUpWith("cellcheck.syslog=192.0.2.7:5514");
  EXPECT_NE(shown.find("events go to 192.0.2.7:5514.\n"), std::string::npos)
      << shown;
}

TEST_F(UnattendedTest, NoInterfaceNoDriversAndAFailingDriverAreEachOneLine) {
  dhcp.interfaces.clear();
  kernel.moduleErrors[image + "/lib/modules/" + kRelease +
                      "/kernel/drivers/net/e1000.ko"] = ENOEXEC;
  const std::string shown = startUpWith("cellcheck.syslog");
  EXPECT_NE(shown.find("Driver e1000 did not load: Exec format error.\n"
                       "No driver in the image matched this machine's "
                       "devices.\n"),
            std::string::npos)
      << shown;
  EXPECT_NE(shown.find("No network interface: events cannot be sent.\nInit"),
            std::string::npos)
      << shown;
}

// Event lines alone: the serial port, from the kernel's own /dev; no
// network drivers and no DHCP client, which leaves memory with the modules.
TEST_F(UnattendedTest, EventLinesAloneOpenTheSerialPortAndNoNetwork) {
  const std::string shown =
      startUpWith("quiet cellcheck.time=90s cellcheck.log=serial");
  EXPECT_NE(shown.find("Unattended run: full testing for 90 s, then a verdict "
                       "and halt; event lines on the first serial port "
                       "(ttyS0).\n"),
            std::string::npos)
      << shown;
  EXPECT_EQ(shown.find("serial port /dev/ttyS0"), std::string::npos) << shown;
  EXPECT_NE(unattended->serialPort, nullptr);
  EXPECT_EQ(kernel.openedDevices, std::vector<std::string>{"/dev/ttyS0"});
  EXPECT_EQ(kernel.deviceMounts, 1);
  EXPECT_TRUE(kernel.loadedModules.empty());
  EXPECT_EQ(dhcp.starts, 0);
  EXPECT_TRUE(dropped("/bin/busybox"));
  EXPECT_TRUE(facts.options.any);
}

TEST_F(UnattendedTest, ASerialPortThatWillNotOpenIsOneLineAndNoMore) {
  kernel.deviceErrors["/dev/ttyS0"] = EIO;
  const std::string shown =
      startUpWith("cellcheck.log=serial cellcheck.syslog");
  EXPECT_NE(shown.find("\nThe serial port /dev/ttyS0 would not open "
                       "(Input/output error): no event lines.\nDrivers "
                       "loaded: e1000.\n"),
            std::string::npos)
      << shown;
  EXPECT_EQ(unattended->serialPort, nullptr);
  EXPECT_TRUE(unattended->haveLease);  // the collector still gets them
}

// The speaker is opened on every boot, silently (a machine may have none),
// before the memory is measured; cellcheck.beep=off leaves it and its
// driver alone.
TEST_F(UnattendedTest, TheSpeakerOpensSilentlyUnlessTheBeepIsOff) {
  struct Case {
    const char* cmdline;
    bool opened;
  };
  for (const Case& c : {Case{"quiet", true}, Case{"cellcheck.beep=on", true},
                        Case{"cellcheck.beep=off", false}}) {
    SCOPED_TRACE(c.cmdline);
    kernel.openedDevices.clear();
    kernel.loadedModules.clear();
    const std::string without = startUpWith(c.cmdline);
    kernel.openedDevices.clear();
    kernel.loadedModules.clear();
    PcSpeaker pcSpeaker(kernel, kernel, kernel, image + "/lib/modules");
    speaker = &pcSpeaker;
    EXPECT_EQ(startUpWith(c.cmdline), without);
    speaker = nullptr;
    EXPECT_EQ(pcSpeaker.present(), c.opened);
    if (c.opened) {
      EXPECT_EQ(kernel.openedDevices,
                std::vector<std::string>{"/dev/input/event4"});
      ASSERT_EQ(kernel.loadedModules.size(), 1u);
      EXPECT_NE(kernel.loadedModules[0].find("pcspkr"), std::string::npos);
    } else {
      EXPECT_TRUE(kernel.openedDevices.empty());
      EXPECT_TRUE(kernel.loadedModules.empty());
    }
  }
}

}  // namespace
