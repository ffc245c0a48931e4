#include "app/startup.h"

#include <cmath>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "app/early_check_line.h"
#include "app/huge_page_line.h"
#include "base/cprintf.h"
#include "base/small_file.h"
#include "base/stop_message.h"
#include "dimms/module_sources.h"
#include "modules/module_loader.h"
#include "seam/tunables.h"
#include "stickreport/report_model.h"
#include "sysmem/memory_probe.h"
#include "sysmem/secure_boot.h"

namespace {

// Only kernel messages more urgent than errors reach the console while the
// tests run.
constexpr int kConsoleLogLevel = 3;

constexpr int kClearingLineFeeds = 55;

unsigned long long inMiB(u64 bytes) { return bytes / kMiB; }

// The smallest measurement that still gives a test area of kMinAreaBytes:
// the reserve is one MiB at that size.
constexpr u64 kMinAvailableBytes = kMinAreaBytes + kSystemMarginBytes + kMiB;

void printStopped() { cprintf("%s", kStopMessage); }

// Kernel tuning: each tunable of seam/tunables.inc, where its value and its
// reason are, in that order.
void tuneKernel(Kernel& kernel) {
  for (const Tunable& tunable : kTunables) {
    procSet(kernel.path(tunable.file), tunable.value);
  }
}

// Run by mistake from a shell, the program must not touch the tunables or
// take the workstation's memory.
bool runsAsFirstProcess(KernelSystem& system) {
  if (system.isInit()) return true;
  fprintf(stderr,
          "cellcheck: not started: it runs as the first process (PID 1) "
          "of its own boot image, so boot that image to test RAM.\n");
  return false;
}

// Quiets the kernel before the screen is cleared: its late boot messages
// and the out-of-memory killer's report on the measuring child (which is
// how the measurement may end) would break up the start-up lines.
void quietKernel(KernelSystem& system) {
  system.setConsoleLogLevel(kConsoleLogLevel);
}

void showBanner() {
  for (int i = 0; i < kClearingLineFeeds; ++i) cprintf("\n");
  cprintf("Cellcheck RAM tester\n");
  cprintf("Made by the Cellcheck developers. It tests until you switch off.\n");
}

// On every boot, once /proc is mounted: the cellcheck.* options of the
// kernel command line, a line for each one ignored.
RunOptions readOptions(KernelFiles& files) {
  std::vector<std::string> complaints;
  const RunOptions options =
      parseRunOptions(readFileLine(files.file("/proc/cmdline")), &complaints);
  for (const std::string& complaint : complaints) {
    cprintf("%s\n", complaint.c_str());
  }
  return options;
}

// With options: the machine they run on, and what they ask for.
void showOptions(const RunFacts& facts) {
  if (!facts.options.any) return;
  cprintf("%s\n", identityLine(facts.identity).c_str());
  cprintf("%s\n", describeRunOptions(facts.options).c_str());
}

// The amount line and the note below it; returns the RAM in KiB.
u64 showRamAmount(Kernel& kernel) {
  u64 installedKiB = kMemInstalled(kernel);
  const u64 physPages = kernel.physPages();
  const u64 pageSize = kernel.pageSize();
  // Without meminfo's figure, the pages the kernel manages are the best
  // figure left (a little less than installed: the kernel's own part is
  // not in it).
  if (installedKiB == 0) installedKiB = physPages * pageSize / 1024;
  printRamAmount(installedKiB, physPages, pageSize);
  cprintf(
      "Note that some RAM may be missing if your BIOS creates a 'RAM hole' "
      "below 4GB,\nor if your video card shares system memory (this is very "
      "common on motherboards with built-in video). Other plug-in hardware "
      "can also reserve system memory, \nthough typically only a few MB. Your "
      "BIOS may allow you to adjust these options.\n");
  return installedKiB;
}

// On every boot, options or not (the drivers only read counters): the
// memory controllers' drivers of the image, when it is this binary's own,
// then the ECC line.
void loadEccDriversAndSayIfCounted(Kernel& kernel, EccWatch& ecc,
                                   const std::string& moduleRoot) {
  DriverLoad drivers;
  if (kernel.isImageInit()) {
    drivers = loadDrivers(kernel, kernel, moduleRoot, isEdacModule);
  }
  ecc.start(drivers.result.failed);
}

// On every boot as well (the drivers only read sensors): the sensors'
// drivers of the image, then the temperature line. The devices' pass loads
// the processors' drivers and the SMBus controller's, whose bus then lists
// a DDR5 module's sensor as a device of its own, which the pass's next
// round loads spd5118 for; jc42, which finds DDR4's sensors by probing the
// bus, comes last, by name. A driver without its chip on this machine
// fails to load, which is no error: the line says what was found.
void loadSensorDriversAndSayTemperatures(Kernel& kernel,
                                         TemperatureWatch& temperatures,
                                         const std::string& moduleRoot) {
  if (kernel.isImageInit()) {
    const std::vector<std::string> byName(std::begin(kProbingSensorDrivers),
                                          std::end(kProbingSensorDrivers));
    loadDrivers(kernel, kernel, moduleRoot, isSensorModule, byName);
  }
  temperatures.start();
}

// The RAM the firmware handed the kernel: the System RAM ranges of its
// memory map (as root reads /proc/iomem), else what meminfo counts.
u64 firmwareMappedBytes(KernelFiles& files, u64 installedKiB) {
  MemoryPicture picture;
  readMemoryMap(readSmallFile(files.file("/proc/iomem")), &picture);
  u64 bytes = 0;
  for (const PhysicalRange& range : picture.ram) {
    bytes += range.end - range.begin;
  }
  return bytes != 0 ? bytes : installedKiB * 1024;
}

// Once the sensors' pass has loaded the SMBus driver and the EEPROMs'
// drivers: the modules by name, and whether the firmware mapped what they
// hold. Silent: the lines come below the test area's.
void readModules(Kernel& kernel, RunFacts& facts) {
  facts.modules = inventoryFrom(readModuleSources(kernel));
  facts.missingMemory = findMissingMemory(
      facts.modules, firmwareMappedBytes(kernel, facts.installedKiB));
}

// The lines below the test area's (made before the area is taken, printed
// after): a line per module or why none is named, the missing memory, the
// ECC counts by slot, and what the earlier runs on the stick say.
std::vector<std::string> moduleLines(const RunFacts& facts,
                                     const StartupParts& parts) {
  std::vector<std::string> lines = inventoryLines(facts.modules);
  if (facts.missingMemory.missing) {
    lines.push_back(missingMemoryLine(facts.missingMemory));
  }
  if (parts.ecc != nullptr) {
    for (const std::string& line : parts.ecc->slotLines()) {
      lines.push_back(line);
    }
  }
  if (parts.report != nullptr) {
    for (const std::string& line : parts.report->historyLines()) {
      lines.push_back(line);
    }
  }
  return lines;
}

// Once the kernel is tuned, before the memory is measured: the image's
// module files (and the DHCP client when no network is asked for), when
// they are the image's own; once the drivers are in the kernel (or not
// wanted) they are only in the test area's way. With the small free reserve
// in force, the pages they held go straight back to the free memory that
// the measurement starts from, instead of waiting in the kernel's per-CPU
// lists. Silent.
void dropImageFiles(KernelFiles& files, const StartupParts& parts,
                    bool networkWanted) {
  if (!files.isImageInit()) return;
  files.removeFiles(parts.moduleRoot);
  if (!networkWanted) files.removeFiles(parts.busybox);
}

// "Initializing...." around the tuning, the image's files dropped and the
// measurement; returns the bytes measured.
u64 tuneAndMeasure(Kernel& kernel, volatile u64* shared,
                   const StartupParts& parts, const RunFacts& facts) {
  cprintf("Init");
  tuneKernel(kernel);
  dropImageFiles(kernel, parts, facts.options.syslog);
  cprintf("ializing");
  const u64 available =
      shared == nullptr ? 0 : calcAvailableRam(kernel, shared);
  cprintf(".\n");
  return available;
}

// Users ask whether the machine really booted with Secure Boot on.
SecureBoot showSecureBoot(KernelFiles& files) {
  const SecureBoot secureBoot = secureBootFromLog(files.kernelLog());
  cprintf("%s\n", secureBootLine(secureBoot));
  return secureBoot;
}

// Takes the test area for `available` measured bytes: its full size, or
// less when the kernel will not give that much, down to kMinAreaBytes; null
// when not even that is granted. A smaller area, or none, is said on the
// console, and so is the area taken.
char* takeArea(TestAreaMemory& memory, u64 available, u64* size) {
  *size = testAreaSize(available);
  if (*size < kMinAreaBytes) {
    cprintf(
        "Not enough memory to test: %llu MiB could be obtained, at least "
        "%llu MiB are needed (%llu MiB to test, the rest for the system).\n",
        inMiB(available), inMiB(kMinAvailableBytes), inMiB(kMinAreaBytes));
    *size = 0;
    return nullptr;
  }
  const u64 wanted = *size;
  char* area;
  while ((area = memory.allocateArea(*size)) == nullptr) {
    if (*size == kMinAreaBytes) {
      cprintf(
          "The kernel would not give even %llu MiB for the test area "
          "(%llu MiB were wanted).\n",
          inMiB(kMinAreaBytes), inMiB(wanted));
      *size = 0;
      return nullptr;
    }
    // One sixteenth less each time: a few dozen tries from any size.
    *size -= *size / 16;
    if (*size < kMinAreaBytes) *size = kMinAreaBytes;
  }
  if (*size != wanted) {
    cprintf("The kernel would not give %llu MiB; testing %llu MiB.\n",
            inMiB(wanted), inMiB(*size));
  }
  // Not in the tester's own messages, but the one figure that says how much
  // of the machine's RAM this run covers.
  cprintf("Test area: %llu MiB of the %llu MiB obtainable\n", inMiB(*size),
          inMiB(available));
  return area;
}

// One worker per CPU that tests, each kept on its CPU and given a signal
// stack of its own for the fault guard. Made before the memory is measured:
// their stacks are memory the measurement must leave room for.
std::unique_ptr<WorkerPool> startWorkers(Kernel& kernel, TestingCpus* testing,
                                         MemoryFaultGuard* guard) {
  if (testing->cpus.size() <= 1) return nullptr;
  auto pool = std::make_unique<WorkerPool>(
      testing->cpus, [&kernel](unsigned cpu) { return kernel.pinThread(cpu); },
      [guard](unsigned) {
        if (guard != nullptr) guard->guardThisThread();
      });
  // A CPU whose thread could not be made does not test.
  if (pool->cpus().size() != testing->cpus.size()) {
    TestingCpus kept;
    for (size_t k = 0, i = 0; k < testing->cpus.size(); ++k) {
      if (i < pool->cpus().size() && pool->cpus()[i] == testing->cpus[k]) {
        kept.cpus.push_back(testing->cpus[k]);
        kept.nodes.push_back(testing->nodes[k]);
        ++i;
      }
    }
    kept.memoryNodes = testing->memoryNodes;
    *testing = kept;
  }
  return pool;
}

// Below the test area's line: how many CPUs test, on how many nodes, and
// anything that keeps a worker from its CPU or its node.
void showTestingCpus(const TestingCpus& testing, const WorkerPool* pool,
                     unsigned refusedPlacements) {
  cprintf("%s\n", testingCpusLine(static_cast<unsigned>(testing.cpus.size()),
                                  testing.memoryNodes)
                      .c_str());
  if (pool != nullptr && pool->unpinned() != 0) {
    cprintf(
        "%u of them could not be kept on their own CPU; they test where "
        "the kernel runs them.\n",
        pool->unpinned());
  }
  if (refusedPlacements != 0) {
    cprintf(
        "The kernel would not place %u parts of the test area on their "
        "workers' memory nodes; they test where the kernel put them.\n",
        refusedPlacements);
  }
}

// Locked, the area stays where it is in physical memory, so the address
// shown for an error is where the error is.
bool lockInPlace(TestAreaMemory& memory, char* area, u64 bytes) {
  const bool locked = memory.lockArea(area, bytes);
  if (!locked) {
    cprintf(
        "The kernel would not lock the test area in RAM; testing goes on, "
        "but the physical addresses shown for errors may be out of date.\n");
  }
  return locked;
}

// Only once the pre-test has brought in the whole area, on huge pages where
// it could, and those stay: the kernel must not gather the rest into huge
// pages later, which would move them.
void settleArea(Kernel& kernel, char* area, u64 bytes) {
  kernel.stopHugePageCollapse();
  sayIfMostlyOnSmallPages(kernel, area, bytes);
}

}  // namespace

u64 testAreaSize(u64 available) {
  const double mib = static_cast<double>(available >> 20);
  const double reserve = ceil(mib * 0.0003);
  const double rest = static_cast<double>(available) - reserve * 1048576.0;
  if (rest <= static_cast<double>(kSystemMarginBytes)) return 0;
  return static_cast<u64>(rest) - kSystemMarginBytes;
}

void printRamAmount(u64 installedKiB, u64 physPages, u64 pageSize) {
  const double installed = static_cast<double>(installedKiB) / 1024.0 / 1024.0;
  const double mapped = static_cast<double>(physPages) / 1048576.0 *
                        static_cast<double>(pageSize);
  double shown = installed;
  // On big machines, a figure well below what meminfo claims means RAM was
  // lost before the kernel could use it; both are shown.
  if (installed >= 16.0) {
    const double adjusted = mapped / 0.98 / 1024.0;
    if (round(installed) > round(adjusted)) {
      cprintf("(premap: %1.2f) ", installed);
      shown = adjusted;
    }
  }
  cprintf("Amount of RAM mapped by BIOS: %1.2f GB\n", shown);
}

StartupFound startUp(Kernel& kernel, Cellchecker& tester, BadMemory& record,
                     RunFacts& facts, const StartupParts& parts) {
  StartupFound found;
  if (!runsAsFirstProcess(kernel)) return found;
  // The measuring child reports its progress here; it outlives the child
  // however the child ends.
  volatile u64* shared = kernel.mapSharedWord();
  quietKernel(kernel);
  showBanner();
  kernel.mountProc();
  facts.options = readOptions(kernel);
  // The identity is read once, for all that name the machine: the events
  // of an unattended run and the report on the boot stick.
  const bool identityNamed = facts.options.any || parts.report != nullptr;
  const bool sysMounted =
      identityNamed || parts.ecc != nullptr || parts.temperatures != nullptr;
  if (sysMounted) kernel.mountSys();
  if (identityNamed) facts.identity = readMachineIdentity(kernel);
  showOptions(facts);
  const unsigned cpuCap =
      facts.options.cpus != 0 ? facts.options.cpus : parts.cpus;
  facts.installedKiB = showRamAmount(kernel);
  // Read before the measurement: it allocates, and once the area is taken
  // the kernel gives no more memory.
  showAndRecordEarlyCheck(kernel, record);
  // The drivers take memory, so they load before it is measured; so does
  // the network, whose DHCP client forks, which the first process can no
  // longer do once it holds the test area.
  if (parts.ecc != nullptr) {
    loadEccDriversAndSayIfCounted(kernel, *parts.ecc, parts.moduleRoot);
    facts.eccLine = parts.ecc->startLine();
  }
  if (parts.temperatures != nullptr) {
    loadSensorDriversAndSayTemperatures(kernel, *parts.temperatures,
                                        parts.moduleRoot);
  }
  // The modules come before the report, whose history names them.
  if (parts.nameModules) {
    readModules(kernel, facts);
    if (parts.ecc != nullptr) parts.ecc->nameSlots(slotNames(facts.modules));
  }
  if (parts.report != nullptr) parts.report->prepare();
  const std::vector<std::string> modules = parts.nameModules
                                               ? moduleLines(facts, parts)
                                               : std::vector<std::string>();
  if (parts.speaker != nullptr && facts.options.beep) parts.speaker->open();
  if (parts.unattended != nullptr) parts.unattended->prepare(facts.options);
  found.testing = chooseTestingCpus(kernel, kernel, cpuCap);
  found.pool = startWorkers(kernel, &found.testing, parts.guard);
  tester.useWorkers(found.pool.get());
  facts.testingCpus = static_cast<unsigned>(found.testing.cpus.size());
  facts.memoryNodes = found.testing.memoryNodes;
  found.availableBytes = tuneAndMeasure(kernel, shared, parts, facts);
  facts.secureBoot = showSecureBoot(kernel);
  if (shared == nullptr) {
    cprintf("No shared page for the memory measurement: nothing measured.\n");
  }
  char* area = takeArea(kernel, found.availableBytes, &facts.areaBytes);
  if (area == nullptr) {
    printStopped();
    found.result = StartupResult::kStopped;
    return found;
  }
  // Placed before the lock brings the pages in.
  const unsigned refused =
      placeSlices(kernel, area, facts.areaBytes, found.testing);
  showTestingCpus(found.testing, found.pool.get(), refused);
  for (const std::string& line : modules) cprintf("%s\n", line.c_str());
  found.locked = lockInPlace(kernel, area, facts.areaBytes);
  if (parts.guard != nullptr) {
    parts.guard->guardArea(area, facts.areaBytes, found.locked);
  }
  tester.initNoAlloc(facts.areaBytes, area);
  settleArea(kernel, area, facts.areaBytes);
  cprintf("\x1b[?25l");
  found.result = StartupResult::kReady;
  return found;
}
