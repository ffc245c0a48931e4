// Cellcheck boots as the first process of its image: start-up prepares the
// kernel and takes the test area, then the schedule tests it until the
// machine is switched off. main never returns once testing has begun.
#include <ctime>

#include "app/kernel_addresses.h"
#include "app/schedule.h"
#include "app/startup.h"
#include "badmem/bad_memory.h"
#include "console/bad_memory_watch.h"
#include "console/cellchecker_dos.h"
#include "sysmem/linux_kernel.h"

// Built by static initialisation, before main: its constructor seeds the
// pattern generator from the clock.
CellcheckerDos cellchecker;
// The bad-memory record's fixed tables exist from the start, before the
// memory is measured and taken.
BadMemory badMemory;

int main() {
  LinuxKernel kernel;
  KernelAddresses addresses(kernel);
  const Clock clock = [] { return time(nullptr); };
  BadMemoryWatch watch(badMemory, addresses, clock);
  cellchecker.watchBadMemory(&watch);
  switch (startUp(kernel, cellchecker, badMemory)) {
    case StartupResult::kNotInit:
      return 1;
    case StartupResult::kStopped:
      LinuxKernel::haltForever();
    case StartupResult::kReady:
      break;
  }
  // What the early check and the pre-test found, at once.
  watch.poll();
  Schedule<CellcheckerDos> schedule(cellchecker, clock, &watch);
  schedule.runForever();
}
