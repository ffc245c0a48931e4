// What start-up finds about the run, filled once, in start-up, and read by
// everything that names it afterwards: the report on the boot stick, the
// unattended run's events and verdict. Nothing else copies these figures.
#ifndef CELLCHECK_RUN_RUN_FACTS_H_
#define CELLCHECK_RUN_RUN_FACTS_H_

#include <string>

#include "base/types.h"
#include "dimms/inventory.h"
#include "identity/machine_identity.h"
#include "options/run_options.h"
#include "sysmem/secure_boot.h"

// What the schedule learns as it runs, for those that read the run's facts.
class ScheduleFigures {
 public:
  // Seconds full testing needs to reach 100 % coverage at the speed the
  // opening measured: 0 until the opening has run.
  virtual double secondsToFullCoverage() const = 0;
  // The progress line's "Summary:" lines so far.
  virtual int summariesShown() const = 0;

 protected:
  ~ScheduleFigures() = default;
};

struct RunFacts {
  // The cellcheck.* options of the kernel command line (none: options.any
  // is false), read on every boot.
  RunOptions options;
  // The machine's identity from its firmware, read once when the options
  // or the report on the boot stick name it; empty otherwise.
  MachineIdentity identity;
  u64 installedKiB = 0;  // the RAM the kernel has mapped
  u64 areaBytes = 0;     // the test area; 0 when none was taken
  // The CPUs that test, and the memory nodes they sit on.
  unsigned testingCpus = 0;
  unsigned memoryNodes = 0;
  SecureBoot secureBoot = SecureBoot::kLogUnreadable;
  // The memory controllers' start-up line ("ECC: ...").
  std::string eccLine;
  // The memory modules by name, read once /sys is mounted and the SMBus
  // and EEPROM drivers are loaded; empty, with its reason, when the
  // firmware names none.
  Inventory modules;
  // Whether the modules hold more than the firmware mapped: a module lost.
  MissingMemory missingMemory;
  // The schedule once it is made (null before, and when nothing tests):
  // the estimate of full testing's time to 100 % coverage comes from it.
  const ScheduleFigures* schedule = nullptr;

  // The estimate in seconds; 0 while not known.
  double secondsToFullCoverage() const {
    return schedule != nullptr ? schedule->secondsToFullCoverage() : 0;
  }
};

#endif  // CELLCHECK_RUN_RUN_FACTS_H_
