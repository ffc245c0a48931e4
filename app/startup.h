// Start-up: from the first line of main until the test area is in the
// tester's hands and the cursor is hidden. Clears the screen, shows the
// banner, reads the options, shows the RAM the kernel has mapped and the
// outcome of the kernel's early memory check, tunes the kernel's memory
// accounting, drops the image's files that only cost memory, measures how
// much memory can really be used, takes almost all of it in one block,
// locks it where it is in physical memory and has the tester pre-test it.
// What it finds that the rest of the run names goes into the run's facts
// (run/run_facts.h), once.
#ifndef CELLCHECK_APP_STARTUP_H_
#define CELLCHECK_APP_STARTUP_H_

#include <memory>
#include <string>

#include "badmem/bad_memory.h"
#include "base/image_paths.h"
#include "console/ecc_watch.h"
#include "console/temperature_watch.h"
#include "cpus/testing_cpus.h"
#include "machinecheck/fault_guard.h"
#include "run/run_facts.h"
#include "run/unattended.h"
#include "seam/kernel.h"
#include "speaker/pc_speaker.h"
#include "stickreport/stick_report.h"
#include "tester/cellchecker.h"
#include "tester/worker_pool.h"

enum class StartupResult {
  // The tester holds the test area: testing can begin.
  kReady,
  // Not the first process of the system: nothing was changed, a line on
  // standard error says why. main exits with an error.
  kNotInit,
  // Testing cannot start; the screen says why. The first process must not
  // exit (the kernel would panic), so main waits for ever.
  kStopped,
};

// What start-up found besides the run's facts: what only start-up and main
// work with.
struct StartupFound {
  StartupResult result = StartupResult::kNotInit;
  u64 availableBytes = 0;  // what the measurement could obtain and touch
  bool locked = false;     // the area is locked in RAM
  // The CPUs that test and their workers, which the tester uses from the
  // pre-test on (null: the one thread of a single CPU).
  TestingCpus testing;
  std::unique_ptr<WorkerPool> pool;
};

// What start-up works with besides the kernel, the tester and the record;
// each part may be left out.
struct StartupParts {
  // Prepares what the options ask for: the serial port, drivers and
  // network, before the memory is measured. Prints nothing when there are
  // no options.
  Unattended* unattended = nullptr;
  // Says whether ECC errors are counted, once the memory controllers'
  // drivers are loaded (before the memory is measured).
  EccWatch* ecc = nullptr;
  // Finds the boot stick's report partition (drivers and a mount, before
  // the memory is measured) and says where reports go. It names the
  // machine: the identity is read for it.
  StickReport* report = nullptr;
  // Says what the temperature sensors read, once their drivers are loaded
  // (after the memory controllers', before the memory is measured).
  TemperatureWatch* temperatures = nullptr;
  // Survives uncorrected memory errors in the test area from the moment it
  // is taken (the pre-test included).
  MemoryFaultGuard* guard = nullptr;
  // Opened (its drivers loaded) before the memory is measured, unless the
  // options say cellcheck.beep=off. Silent either way.
  PcSpeaker* speaker = nullptr;
  // The image's /lib/modules, where the drivers are, and its busybox (the
  // DHCP client): dropped from memory before it is measured, when this is
  // the image's own /init.
  std::string moduleRoot = kModuleRoot;
  std::string busybox = kBusybox;
  // Names the memory modules (the firmware's table and their EEPROMs,
  // read once the sensors' pass has loaded the SMBus driver) and checks
  // that the firmware mapped what they hold: lines below the test area's.
  bool nameModules = false;
  // At most this many CPUs test when there are no options to say it (0:
  // every one); cellcheck.cpus overrides it.
  unsigned cpus = 0;
};

// `record` receives the bad memory the kernel's early check found; `facts`
// what start-up finds that the run names (all but the schedule).
StartupFound startUp(Kernel& kernel, Cellchecker& tester, BadMemory& record,
                     RunFacts& facts,
                     const StartupParts& parts = StartupParts());

// Kept back from the measured memory for the kernel and this program, on
// top of a reserve of 0.03 % of it.
constexpr u64 kSystemMarginBytes = 28 * kMiB;
// The smallest test area worth testing. Any machine this kernel boots on
// has far more; less means the measurement went wrong, and a test of a few
// MiB would pass for a test of the machine's RAM.
constexpr u64 kMinAreaBytes = 16 * kMiB;
static_assert(kMinAreaBytes / 8 >= kMinWordsPerBank,
              "the smallest area must give banks the tests can run on");

// The test area for `available` measured bytes: less the reserve (0.03 % of
// the whole MiB, rounded up to a MiB) and less kSystemMarginBytes. 0 when
// `available` does not even cover those.
u64 testAreaSize(u64 available);

// The amount line, with the "(premap: ...)" text before it when the kernel
// mapped visibly less than meminfo claims on machines of 16 GiB or more.
void printRamAmount(u64 installedKiB, u64 physPages, u64 pageSize);

#endif  // CELLCHECK_APP_STARTUP_H_
