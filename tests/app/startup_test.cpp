#include "app/startup.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "console/cellchecker_dos.h"
#include "tester/bank_slices.h"
#include "tests/support/console_capture.h"
#include "tests/support/fake_kernel.h"
#include "tests/support/temp_folder.h"

namespace {

TEST(TestAreaSizeTest, KeepsTheReserveAndTheSystemMargin) {
  struct Case {
    u64 available;
    u64 size;
  };
  for (Case c : {
           // 16 GiB: reserve 5 MiB (4.9152 up).
           Case{17179869184, 17145266176},
           Case{u64{8} << 30, 8557428736},  // reserve 3 MiB
           Case{u64{4} << 30, 4263510016},  // reserve 2 MiB
           // The extra 64 KiB count in the size, not in the reserve.
           Case{1073807360, 1043398656},
           Case{45 * kMiB, 16 * kMiB},
           // Not above the margins: no area rather than a wrapped size.
           Case{29 * kMiB, 0},
           Case{29 * kMiB - 65536, 0},
           Case{0, 0},
       }) {
    EXPECT_EQ(testAreaSize(c.available), c.size) << c.available;
  }
}

TEST(PrintRamAmountTest, ShowsThePremapFigureOnlyWhenRamWentMissing) {
  struct Case {
    u64 installedKiB;
    u64 mappedMiB;
    const char* line;
  };
  for (Case c : {
           Case{8388608, 8000, "Amount of RAM mapped by BIOS: 8.00 GB\n"},
           // 16 GiB of which 15000 MiB mapped: 14.947 GiB rounds to 15.
           Case{16777216, 15000,
                "(premap: 16.00) Amount of RAM mapped by BIOS: 14.95 GB\n"},
           // 15.94 rounds to 16, not less than 16.
           Case{16777216, 16000, "Amount of RAM mapped by BIOS: 16.00 GB\n"},
           // Below 16 GiB the mapped figure is not looked at.
           Case{524160, 1, "Amount of RAM mapped by BIOS: 0.50 GB\n"},
       }) {
    ConsoleCapture console;
    printRamAmount(c.installedKiB, c.mappedMiB * 256, 4096);
    EXPECT_EQ(console.take(), c.line);
  }
}

const std::string kNote =
    "Note that some RAM may be missing if your BIOS creates a 'RAM hole' "
    "below 4GB,\nor if your video card shares system memory (this is very "
    "common on motherboards with built-in video). Other plug-in hardware "
    "can also reserve system memory, \nthough typically only a few MB. Your "
    "BIOS may allow you to adjust these options.\n";

const std::string kMeminfo16GiB =
    "MemTotal: 16000000 kB\nDirectMap4k: 10240 kB\n"
    "DirectMap2M: 2086912 kB\nDirectMap1G: 14680064 kB\n";

const std::string kEarlyCheckOff =
    "Early check of all free memory: off (no memtest= on the kernel command "
    "line, or memtest=0)\n";

// Everything start-up prints up to "Init", given the amount line.
std::string opening(const std::string& amountLine,
                    const std::string& earlyCheckLine = kEarlyCheckOff) {
  return std::string(55, '\n') +
         "Cellcheck RAM tester\n"
         "Made by the Cellcheck developers. It tests until you switch off.\n" +
         amountLine + kNote + earlyCheckLine + "Init";
}

// The fake lets the child find 64 MiB: after the reserve (1 MiB) and the
// system margin (28 MiB), 35 MiB are tested.
class StartUpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kernel.write(ProcFile::kMeminfo, kMeminfo16GiB);
    kernel.write(ProcFile::kOvercommit, "0\n");
    kernel.write(ProcFile::kOvercommitRatio, "50\n");
    kernel.write(ProcFile::kMinFree, "67584\n");
    kernel.write(ProcFile::kCompactUnevictable, "1\n");
    kernel.write(ProcFile::kNumaBalancing, "1\n");
    kernel.write(ProcFile::kPerCpuListFraction, "0\n");
    kernel.physPageCount = 15000 * 256;  // 15000 MiB mapped
    kernel.log =
        "<5>[    0.000000] Linux version 6.1.0-57-amd64\n"
        "<6>[    0.000000] secureboot: Secure boot enabled\n";
  }

  FakeKernel kernel;
  CellcheckerDos tester;
  BadMemory record;
  RunFacts facts;
};

TEST_F(StartUpTest, TunesMeasuresAndHandsOverTheArea) {
  ConsoleCapture console;
  const StartupFound found = startUp(kernel, tester, record, facts);
  ASSERT_EQ(found.result, StartupResult::kReady);
  EXPECT_EQ(console.take(),
            opening("(premap: 16.00) Amount of RAM mapped by BIOS: 14.95 "
                    "GB\n") +
                "ializing....\nSecure Boot: on\n"
                "Test area: 35 MiB of the 64 MiB obtainable\n"
                "Testing with 1 CPU on 1 memory node\n"
                "\n\rPreparing and pre-testing memory...\n\r"
                "\x1b[?25l");

  EXPECT_EQ(kernel.mounts, 1);
  EXPECT_EQ(kernel.read(ProcFile::kOvercommit), "2");
  EXPECT_EQ(kernel.read(ProcFile::kOvercommitRatio), "100");
  EXPECT_EQ(kernel.read(ProcFile::kMinFree), "4");
  EXPECT_EQ(kernel.read(ProcFile::kCompactUnevictable), "0");
  EXPECT_EQ(kernel.read(ProcFile::kNumaBalancing), "0");
  EXPECT_EQ(kernel.read(ProcFile::kPerCpuListFraction), "2147483647");
  EXPECT_EQ(kernel.consoleLogLevel, 3);
  ASSERT_EQ(kernel.areaRequests, std::vector<u64>{35 * kMiB});
  // The whole area is locked where it is, and the kernel stops gathering
  // pages into huge ones only once the pre-test has filled it.
  ASSERT_EQ(kernel.locks.size(), 1u);
  EXPECT_EQ(kernel.locks[0].first, reinterpret_cast<char*>(tester.bankA));
  EXPECT_EQ(kernel.locks[0].second, 35 * kMiB);
  EXPECT_TRUE(kernel.hugePageCollapseStopped);
  EXPECT_TRUE(kernel.areaFilledWhenCollapseStopped);
  EXPECT_FALSE(record.totals().anyBad());
  EXPECT_EQ(tester.wordsPerBank, 35 * kMiB / 8);
  EXPECT_EQ(reinterpret_cast<char*>(tester.bankB) -
                reinterpret_cast<char*>(tester.bankA),
            static_cast<long>(35 * kMiB / 2));
  EXPECT_EQ(tester.passCount, 1u);
  EXPECT_EQ(tester.errorCount, 0u);
  // What it found, for the schedule and the run's events.
  EXPECT_EQ(facts.installedKiB, 16777216u);
  EXPECT_EQ(found.availableBytes, 64 * kMiB);
  EXPECT_EQ(facts.areaBytes, 35 * kMiB);
  EXPECT_TRUE(found.locked);
  EXPECT_EQ(facts.secureBoot, SecureBoot::kOn);
  EXPECT_FALSE(found.eccDrivers.indexFound) << "no ECC part given";
}

TEST_F(StartUpTest, AnAreaMostlyOnSmallPagesIsSaidOnceThePreTestFilledIt) {
  struct Case {
    const char* name;
    std::optional<u64> hugeKiB;  // none: the kernel shows no figure
    const char* line;
  };
  for (const Case& c : {
           Case{"all on huge pages", 35 * 1024, ""},
           Case{"exactly half", 35 * 512, ""},
           Case{"just under half", 35 * 512 - 1,
                "Only 17 MiB of the 35 MiB test area are on huge pages; "
                "testing goes on, but the tests that probe random places run "
                "slower.\n"},
           Case{"none", 0,
                "Only 0 MiB of the 35 MiB test area are on huge pages; testing "
                "goes on, but the tests that probe random places run "
                "slower.\n"},
           Case{"no figure", std::nullopt, ""},
       }) {
    SCOPED_TRACE(c.name);
    FakeKernel pages;
    pages.write(ProcFile::kMeminfo, kMeminfo16GiB);
    pages.areaHugePagesKiB = c.hugeKiB;
    CellcheckerDos fresh;
    ConsoleCapture console;
    ASSERT_EQ(startUp(pages, fresh, record, facts).result,
              StartupResult::kReady);
    const std::string tail =
        "Test area: 35 MiB of the 64 MiB obtainable\n"
        "Testing with 1 CPU on 1 memory node\n"
        "\n\rPreparing and pre-testing memory...\n\r" +
        std::string(c.line) + "\x1b[?25l";
    const std::string transcript = console.take();
    ASSERT_GE(transcript.size(), tail.size());
    EXPECT_EQ(transcript.substr(transcript.size() - tail.size()), tail);
  }
}

TEST(StartUpTunablesTest, ATunableThatCannotBeOpenedIsNamedAndStartUpGoesOn) {
  const ProcFile tunables[] = {
      ProcFile::kOvercommit,    ProcFile::kOvercommitRatio,
      ProcFile::kMinFree,       ProcFile::kCompactUnevictable,
      ProcFile::kNumaBalancing, ProcFile::kPerCpuListFraction};
  const char* const values[] = {"2", "100", "4", "0", "0", "2147483647"};
  for (ProcFile missing : tunables) {
    FakeKernel kernel;
    kernel.write(ProcFile::kMeminfo, kMeminfo16GiB);
    kernel.makeUnopenable(missing);
    CellcheckerDos tester;
    BadMemory record;
    RunFacts facts;
    ConsoleCapture console;
    ASSERT_EQ(startUp(kernel, tester, record, facts).result,
              StartupResult::kReady);
    const std::string transcript = console.take();
    const std::string error = "ERROR " + std::string(kernel.path(missing));
    // Named where it is written, with no line break, once.
    const size_t at = transcript.find(error);
    ASSERT_NE(at, std::string::npos) << transcript;
    EXPECT_EQ(transcript.find(error, at + 1), std::string::npos);
    EXPECT_LT(transcript.find("Init"), at);
    EXPECT_GT(transcript.find("ializing...."), at);
    for (size_t i = 0; i < std::size(tunables); ++i) {
      if (tunables[i] != missing) {
        EXPECT_EQ(kernel.read(tunables[i]), values[i]);
      }
    }
  }
}

// On every boot: the ECC line before the memory is measured, and the test
// area guarded from the moment it is taken, so that an uncorrected error
// even in the pre-test is survived.
TEST_F(StartUpTest, SaysWhetherEccIsReportedAndGuardsTheArea) {
  MemoryFaultLog faults;
  MemoryFaultGuard guard(kernel, faults);
  ASSERT_TRUE(guard.install());
  EccWatch ecc(kernel, record, [] { return time_t{0}; });
  StartupParts parts;
  parts.ecc = &ecc;
  parts.guard = &guard;
  parts.moduleRoot = "/nonexistent";
  ConsoleCapture console;
  ASSERT_EQ(startUp(kernel, tester, record, facts, parts).result,
            StartupResult::kReady);
  const std::string opened =
      opening("(premap: 16.00) Amount of RAM mapped by BIOS: 14.95 GB\n");
  EXPECT_EQ(console.take(),
            opened.substr(0, opened.size() - 4) +
                "ECC: no ECC reporting on this machine.\nInitializing....\n"
                "Secure Boot: on\nTest area: 35 MiB of the 64 MiB obtainable\n"
                "Testing with 1 CPU on 1 memory node\n"
                "\n\rPreparing and pre-testing memory...\n\r\x1b[?25l");

  char* const page = reinterpret_cast<char*>(tester.bankB) + 4096;
  const char* const pagePart = reinterpret_cast<const char*>(
      reinterpret_cast<uintptr_t>(page) & ~uintptr_t{4095});
  siginfo_t info = {};
  info.si_signo = SIGBUS;
  info.si_code = BUS_MCEERR_AO;
  info.si_addr = page;
  info.si_addr_lsb = 12;
  ASSERT_EQ(syscall(SYS_rt_tgsigqueueinfo, getpid(), gettid(), SIGBUS, &info),
            0);
  ASSERT_EQ(faults.count(), 1u);
  ASSERT_EQ(kernel.replacementCount, 1);
  EXPECT_EQ(kernel.replacements[0].page, pagePart);
  EXPECT_TRUE(kernel.replacements[0].locked);
}

// The image's EDAC drivers load on every boot, matched by the processor,
// before the memory is measured; one that finds no controller it can use
// (ECC off in the firmware) is named in the line. A host's modules are
// never loaded.
TEST_F(StartUpTest, LoadsTheImagesMemoryControllerDriversOnly) {
  const TempFolder temp("ecc-modules");
  const std::string folder = temp.path() + "/6.1.0-test-amd64";
  const auto write = [&](const std::string& file, const std::string& text) {
    ASSERT_TRUE(temp.write("6.1.0-test-amd64/" + file, text)) << file;
  };
  write("modules.dep",
        "kernel/drivers/edac/amd64_edac.ko: kernel/drivers/edac/"
        "edac_mce_amd.ko\nkernel/drivers/edac/edac_mce_amd.ko:\n"
        "kernel/drivers/net/virtio_net.ko:\n");
  write("modules.alias",
        "alias cpu:type:x86,ven0002fam0019mod*:feature:* amd64_edac\n"
        "alias virtio:d00000001v* virtio_net\n");
  write("kernel/drivers/edac/amd64_edac.ko", "module");
  write("kernel/drivers/edac/edac_mce_amd.ko", "module");
  write("kernel/drivers/net/virtio_net.ko", "module");

  for (const bool image : {false, true}) {
    SCOPED_TRACE(image ? "the image's own modules" : "a host's modules");
    FakeKernel k;
    k.write(ProcFile::kMeminfo, kMeminfo16GiB);
    k.imageInit = image;
    k.putFile("/proc/sys/kernel/osrelease", "6.1.0-test-amd64\n");
    k.putFile("/sys/devices/system/cpu/modalias",
              "cpu:type:x86,ven0002fam0019mod0001:feature:,0000\n");
    k.putFile("/sys/bus/virtio/devices/virtio0/modalias",
              "virtio:d00000001v00001AF4\n");
    k.moduleErrors[folder + "/kernel/drivers/edac/amd64_edac.ko"] = ENODEV;
    EccWatch ecc(k, record, [] { return time_t{0}; });
    StartupParts parts;
    parts.ecc = &ecc;
    parts.moduleRoot = temp.path();
    CellcheckerDos fresh;
    ConsoleCapture console;
    const StartupFound found = startUp(k, fresh, record, facts, parts);
    ASSERT_EQ(found.result, StartupResult::kReady);
    EXPECT_EQ(k.sysMounts, 1);
    const std::string shown = console.take();
    if (!image) {
      EXPECT_TRUE(k.loadedModules.empty());
      EXPECT_NE(shown.find("ECC: no ECC reporting on this machine.\nInit"),
                std::string::npos)
          << shown;
      continue;
    }
    // Only the memory controllers' drivers: the network waits for options.
    EXPECT_EQ(k.loadedModules,
              std::vector<std::string>{folder + "/kernel/drivers/edac/"
                                                "edac_mce_amd.ko"});
    EXPECT_EQ(found.eccDrivers.result.failed.size(), 1u);
    EXPECT_NE(shown.find("ECC: no ECC reporting on this machine (amd64_edac: "
                         "No such device).\nInit"),
              std::string::npos)
        << shown;
  }
}

// A machine of two nodes, each with two CPUs whose numbers interleave.
void makeTwoNodes(FakeKernel& kernel) {
  kernel.cpus = {0, 1, 2, 3};
  kernel.putFile("/sys/devices/system/node/online", "0-1\n");
  kernel.putFile("/sys/devices/system/node/has_memory", "0-1\n");
  kernel.putFile("/sys/devices/system/node/node0/cpulist", "0,2\n");
  kernel.putFile("/sys/devices/system/node/node1/cpulist", "1,3\n");
}

TEST_F(StartUpTest, EveryCpuTestsOnItsOwnNodesMemory) {
  makeTwoNodes(kernel);
  MemoryFaultLog faults;
  MemoryFaultGuard guard(kernel, faults);
  ASSERT_TRUE(guard.install());
  StartupParts parts;
  parts.guard = &guard;
  ConsoleCapture console;
  StartupFound found = startUp(kernel, tester, record, facts, parts);
  ASSERT_EQ(found.result, StartupResult::kReady);
  EXPECT_NE(console.take().find("Test area: 35 MiB of the 64 MiB obtainable\n"
                                "Testing with 4 CPUs on 2 memory nodes\n"
                                "\n\rPreparing"),
            std::string::npos);
  ASSERT_NE(found.pool, nullptr);
  EXPECT_EQ(tester.workers(), 4u);
  // Each worker on its CPU, grouped by node, with a stack for the guard.
  EXPECT_EQ(found.pool->cpus(), (std::vector<unsigned>{0, 2, 1, 3}));
  EXPECT_EQ(kernel.pinnedCpus(), (std::vector<unsigned>{0, 1, 2, 3}));
  EXPECT_EQ(kernel.threadStacks(), 4);
  // The slices were placed before the lock brought the area in: workers 0
  // and 1 test node 0's memory, 2 and 3 node 1's, in both banks.
  ASSERT_FALSE(kernel.placements.empty());
  ASSERT_EQ(kernel.locks.size(), 1u);
  const unsigned nodes[] = {0, 0, 1, 1};
  for (unsigned k = 0; k < 4; ++k) {
    const WordRange slice = bankSlice(tester.bankA, tester.wordsPerBank, 4, k);
    const u64 middle = (slice.begin + slice.end) / 2;
    EXPECT_EQ(kernel.nodeOfPage(tester.bankA + middle),
              static_cast<int>(nodes[k]));
    EXPECT_EQ(kernel.nodeOfPage(tester.bankB + middle),
              static_cast<int>(nodes[k]));
  }
  tester.useWorkers(nullptr);
}

TEST_F(StartUpTest, OneCpuAskedForTestsOnTheStartingThreadAlone) {
  makeTwoNodes(kernel);
  StartupParts parts;
  parts.cpus = 1;
  ConsoleCapture console;
  StartupFound found = startUp(kernel, tester, record, facts, parts);
  ASSERT_EQ(found.result, StartupResult::kReady);
  EXPECT_NE(console.take().find("Testing with 1 CPU on 1 memory node\n"),
            std::string::npos);
  EXPECT_EQ(found.pool, nullptr);
  EXPECT_EQ(tester.workers(), 1u);
  EXPECT_TRUE(kernel.pinnedCpus().empty());
  EXPECT_TRUE(kernel.placements.empty());
}

// The sensors' drivers load on every boot too, after the memory
// controllers': the SMBus controller's driver, then spd5118 for the DDR5
// sensors its bus declared, then jc42 by name. A driver whose chip this
// machine lacks (coretemp here) fails to load and says nothing; the
// temperature line comes below the ECC line, before the measurement.
TEST_F(StartUpTest, LoadsTheSensorDriversAfterTheMemoryControllers) {
  const TempFolder temp("sensor-modules");
  const std::string folder = temp.path() + "/6.12.0-test-amd64";
  const auto write = [&](const std::string& file, const std::string& text) {
    ASSERT_TRUE(temp.write("6.12.0-test-amd64/" + file, text)) << file;
  };
  const std::string i801 = "kernel/drivers/i2c/busses/i2c-i801.ko";
  write("modules.dep", "kernel/drivers/edac/ie31200_edac.ko:\n" + i801 +
                           ": kernel/drivers/i2c/i2c-smbus.ko\n"
                           "kernel/drivers/i2c/i2c-smbus.ko:\n"
                           "kernel/drivers/hwmon/coretemp.ko:\n"
                           "kernel/drivers/hwmon/spd5118.ko:\n"
                           "kernel/drivers/hwmon/jc42.ko:\n");
  write("modules.alias",
        "alias pci:v00008086d00003E0Fsv*sd*bc*sc*i* ie31200_edac\n"
        "alias pci:v00008086d0000A323sv*sd*bc*sc*i* i2c_i801\n"
        "alias cpu:type:x86,ven*fam*mod*:feature:*0050* coretemp\n"
        "alias i2c:spd5118 spd5118\n");
  for (const std::string& file :
       {std::string("kernel/drivers/edac/ie31200_edac.ko"), i801,
        std::string("kernel/drivers/i2c/i2c-smbus.ko"),
        std::string("kernel/drivers/hwmon/coretemp.ko"),
        std::string("kernel/drivers/hwmon/spd5118.ko"),
        std::string("kernel/drivers/hwmon/jc42.ko")}) {
    write(file, "module");
  }

  for (const bool image : {false, true}) {
    SCOPED_TRACE(image ? "the image's own modules" : "a host's modules");
    FakeKernel k;
    k.write(ProcFile::kMeminfo, kMeminfo16GiB);
    k.imageInit = image;
    k.putFile("/proc/sys/kernel/osrelease", "6.12.0-test-amd64\n");
    k.putFile("/sys/devices/system/cpu/modalias",
              "cpu:type:x86,ven0000fam0006mod009E:feature:,0000,0050\n");
    k.putFile("/sys/bus/pci/devices/0000:00:00.0/modalias",
              "pci:v00008086d00003E0Fsv0sd0bc06sc00i00\n");
    k.putFile("/sys/bus/pci/devices/0000:00:1f.4/modalias",
              "pci:v00008086d0000A323sv0sd0bc0Csc05i00\n");
    // The SMBus driver declares two DDR5 sensors; spd5118 binds them.
    for (const char* device : {"0-0050", "0-0051"}) {
      k.filesOnLoad.insert(
          {folder + "/" + i801,
           {std::string("/sys/bus/i2c/devices/") + device + "/modalias",
            "i2c:spd5118\n"}});
    }
    const std::string spd5118 = folder + "/kernel/drivers/hwmon/spd5118.ko";
    k.filesOnLoad.insert(
        {spd5118, {"/sys/class/hwmon/hwmon1/name", "spd5118\n"}});
    k.filesOnLoad.insert(
        {spd5118, {"/sys/class/hwmon/hwmon1/temp1_input", "33000\n"}});
    k.filesOnLoad.insert(
        {spd5118, {"/sys/class/hwmon/hwmon2/name", "spd5118\n"}});
    k.filesOnLoad.insert(
        {spd5118, {"/sys/class/hwmon/hwmon2/temp1_input", "35000\n"}});
    k.moduleErrors[folder + "/kernel/drivers/hwmon/coretemp.ko"] = ENODEV;

    EccWatch ecc(k, record, [] { return time_t{0}; });
    TemperatureWatch temperatures(k, [] { return time_t{0}; });
    StartupParts parts;
    parts.ecc = &ecc;
    parts.temperatures = &temperatures;
    parts.moduleRoot = temp.path();
    CellcheckerDos fresh;
    ConsoleCapture console;
    const StartupFound found = startUp(k, fresh, record, facts, parts);
    ASSERT_EQ(found.result, StartupResult::kReady);
    EXPECT_EQ(k.sysMounts, 1);
    const std::string shown = console.take();
    if (!image) {
      EXPECT_TRUE(k.loadedModules.empty());
      EXPECT_NE(shown.find("ECC: no ECC reporting on this machine.\n"
                           "Temperatures: no sensors found\nInit"),
                std::string::npos)
          << shown;
      continue;
    }
    std::vector<std::string> loaded;
    for (const std::string& module : k.loadedModules) {
      loaded.push_back(module.substr(module.rfind('/') + 1));
    }
    EXPECT_EQ(loaded, (std::vector<std::string>{"ie31200_edac.ko",
                                                "i2c-smbus.ko", "i2c-i801.ko",
                                                "spd5118.ko", "jc42.ko"}));
    ASSERT_EQ(found.sensorDrivers.result.failed.size(), 1u);
    EXPECT_EQ(found.sensorDrivers.result.failed[0].first, "coretemp");
    EXPECT_NE(shown.find("ECC: no ECC reporting on this machine.\n"
                         "Temperatures: no CPU sensor; 2 memory modules "
                         "33-35 \xc2\xb0"
                         "C\nInit"),
              std::string::npos)
        << shown;
  }
}

TEST_F(StartUpTest, WithoutMeminfoTheKernelsPageCountIsShown) {
  kernel.makeUnopenable(ProcFile::kMeminfo);
  kernel.physPageCount = 457 * 256;
  ConsoleCapture console;
  ASSERT_EQ(startUp(kernel, tester, record, facts).result,
            StartupResult::kReady);
  EXPECT_EQ(console.take(), opening("Amount of RAM mapped by BIOS: 0.45 GB\n") +
                                "ializing....\nSecure Boot: on\n"
                                "Test area: 35 MiB of the 64 MiB obtainable\n"
                                "Testing with 1 CPU on 1 memory node\n"
                                "\n\rPreparing and pre-testing memory...\n\r"
                                "\x1b[?25l");
}

TEST_F(StartUpTest, ALockTheKernelRefusesIsSaidAndTestingGoesOn) {
  kernel.lockRefused = true;
  ConsoleCapture console;
  ASSERT_EQ(startUp(kernel, tester, record, facts).result,
            StartupResult::kReady);
  EXPECT_NE(console.take().find(
                "Test area: 35 MiB of the 64 MiB obtainable\n"
                "Testing with 1 CPU on 1 memory node\n"
                "The kernel would not lock the test area in RAM; testing goes "
                "on, but the physical addresses shown for errors may be out "
                "of date.\n\n\rPreparing and pre-testing memory..."),
            std::string::npos);
  EXPECT_EQ(tester.passCount, 1u);
  EXPECT_TRUE(kernel.hugePageCollapseStopped);
}

TEST_F(StartUpTest, TheEarlyCheckIsShownBeforeTheTuningAndJoinsTheRecord) {
  kernel.putFile("/proc/cmdline", "quiet memtest=2\n");
  kernel.log =
      "<6>[    0.000000] early_memtest: # of tests: 2\n"
      "<6>[    0.000000]   0x0000000000100000 - 0x0000000031000000 pattern "
      "ffffffffffffffff\n"
      "<6>[    0.000000]   ffffffffffffffff bad mem addr 0x0000000000200000 - "
      "0x0000000000200008 reserved\n"
      "<6>[    0.000000]   0x0000000000100000 - 0x0000000031000000 pattern "
      "0000000000000000\n";
  ConsoleCapture console;
  ASSERT_EQ(startUp(kernel, tester, record, facts).result,
            StartupResult::kReady);
  const std::string expected =
      opening("(premap: 16.00) Amount of RAM mapped by BIOS: 14.95 GB\n",
              "Early check of all free memory: 2 patterns, bad memory at "
              "0x200000-0x200007 (the kernel keeps off it)\n");
  EXPECT_EQ(console.take().substr(0, expected.size()), expected);
  EXPECT_TRUE(record.totals().anyBad());
  EXPECT_EQ(record.totals().externalRanges, 1u);
}

void expectNoArea(const Cellchecker& tester) {
  EXPECT_EQ(tester.bankA, nullptr);
  EXPECT_EQ(tester.wordsPerBank, 0u);
  EXPECT_EQ(tester.passCount, 0u);
}

TEST_F(StartUpTest, TooLittleMemoryStopsWithWhatWasFoundAndWhatIsNeeded) {
  struct Case {
    const char* name;
    u64 freeMiB;
    bool forkFails;
    const char* found;
  };
  for (Case c : {Case{"44 MiB leave 15 MiB to test", 44, false, "44"},
                 Case{"no child, nothing measured", 64, true, "0"}}) {
    SCOPED_TRACE(c.name);
    FakeKernel small;
    small.freePageCount = c.freeMiB * 256;
    small.forkFails = c.forkFails;
    ConsoleCapture console;
    ASSERT_EQ(startUp(small, tester, record, facts).result,
              StartupResult::kStopped);
    const std::string transcript = console.take();
    const std::string tail =
        std::string("Not enough memory to test: ") + c.found +
        " MiB could be obtained, at least 45 MiB are needed (16 MiB to "
        "test, the rest for the system).\n"
        "Cellcheck has stopped; switch the machine off.\n";
    ASSERT_GE(transcript.size(), tail.size());
    EXPECT_EQ(transcript.substr(transcript.size() - tail.size()), tail);
    EXPECT_TRUE(small.areaRequests.empty());
    expectNoArea(tester);
  }
}

TEST_F(StartUpTest, AnAreaTheKernelRefusesIsTakenSmaller) {
  kernel.areaLimit = 30 * kMiB;
  ConsoleCapture console;
  ASSERT_EQ(startUp(kernel, tester, record, facts).result,
            StartupResult::kReady);
  // 35 MiB less a sixteenth each time until granted.
  std::vector<u64> sizes{35 * kMiB};
  while (sizes.back() > kernel.areaLimit) {
    sizes.push_back(sizes.back() - sizes.back() / 16);
  }
  ASSERT_EQ(kernel.areaRequests, sizes);
  EXPECT_EQ(tester.wordsPerBank, sizes.back() / 8 & ~u64{1});
  EXPECT_NE(console.take().find(
                "ializing....\nSecure Boot: on\nThe kernel would not give 35 "
                "MiB; testing 28 MiB.\nTest area: 28 MiB of the 64 MiB "
                "obtainable\nTesting with 1 CPU on 1 memory node\n\n\r"
                "Preparing"),
            std::string::npos);
}

TEST_F(StartUpTest, AnAreaRefusedDownToTheFloorStops) {
  kernel.areaLimit = 16 * kMiB - 1;
  ConsoleCapture console;
  ASSERT_EQ(startUp(kernel, tester, record, facts).result,
            StartupResult::kStopped);
  ASSERT_GE(kernel.areaRequests.size(), 2u);
  EXPECT_EQ(kernel.areaRequests.front(), 35 * kMiB);
  EXPECT_EQ(kernel.areaRequests.back(), 16 * kMiB);
  for (size_t i = 1; i < kernel.areaRequests.size(); ++i) {
    EXPECT_LT(kernel.areaRequests[i], kernel.areaRequests[i - 1]);
  }
  const std::string transcript = console.take();
  EXPECT_NE(
      transcript.find(
          "ializing....\nSecure Boot: on\nThe kernel would not give even 16 "
          "MiB for the test area (35 MiB were wanted).\n"
          "Cellcheck has stopped; switch the machine off.\n"),
      std::string::npos)
      << transcript;
  expectNoArea(tester);
}

TEST_F(StartUpTest, NoSharedWordMeansNoMeasurementAndAStop) {
  kernel.sharedWordFails = true;
  ConsoleCapture console;
  ASSERT_EQ(startUp(kernel, tester, record, facts).result,
            StartupResult::kStopped);
  const std::string transcript = console.take();
  EXPECT_NE(transcript.find(
                "Initializing.\nSecure Boot: on\nNo shared page for the memory "
                "measurement: nothing measured.\nNot enough "
                "memory to test: 0 MiB"),
            std::string::npos)
      << transcript;
  expectNoArea(tester);
}

// Standard error of the test process, captured into a memory file.
class ErrorCapture {
 public:
  ErrorCapture() : file_(tmpfile()), saved_(dup(STDERR_FILENO)) {
    fflush(stderr);
    dup2(fileno(file_), STDERR_FILENO);
  }
  ~ErrorCapture() {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    fclose(file_);
  }
  std::string take() {
    fflush(stderr);
    std::string text;
    rewind(file_);
    for (int c; (c = fgetc(file_)) != EOF;) text += static_cast<char>(c);
    return text;
  }

 private:
  FILE* file_;
  int saved_;
};

TEST_F(StartUpTest, NotTheFirstProcessChangesNothing) {
  kernel.init = false;
  ConsoleCapture console;
  ErrorCapture errors;
  ASSERT_EQ(startUp(kernel, tester, record, facts).result,
            StartupResult::kNotInit);
  EXPECT_EQ(errors.take(),
            "cellcheck: not started: it runs as the first process (PID 1) of "
            "its own boot image, so boot that image to test RAM.\n");
  EXPECT_EQ(console.take(), "");
  EXPECT_EQ(kernel.read(ProcFile::kOvercommit), "0\n");
  EXPECT_EQ(kernel.read(ProcFile::kOvercommitRatio), "50\n");
  EXPECT_EQ(kernel.read(ProcFile::kMinFree), "67584\n");
  EXPECT_EQ(kernel.mounts, 0);
  EXPECT_EQ(kernel.consoleLogLevel, -1);
  EXPECT_EQ(kernel.sharedWords, 0);
  EXPECT_TRUE(kernel.areaRequests.empty());
  expectNoArea(tester);
}

}  // namespace
