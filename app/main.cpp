// Cellcheck boots as the first process of its image: start-up prepares the
// kernel and takes the test area, then the schedule tests it until the
// machine is switched off. main never returns once testing has begun.
#include <ctime>

#include "app/schedule.h"
#include "app/startup.h"
#include "console/cellchecker_dos.h"
#include "sysmem/linux_kernel.h"

// Built by static initialisation, before main: its constructor seeds the
// pattern generator from the clock.
CellcheckerDos cellchecker;

int main() {
  LinuxKernel kernel;
  switch (startUp(kernel, cellchecker)) {
    case StartupResult::kNotInit:
      return 1;
    case StartupResult::kStopped:
      LinuxKernel::haltForever();
    case StartupResult::kReady:
      break;
  }
  Schedule<CellcheckerDos> schedule(cellchecker, [] { return time(nullptr); });
  schedule.runForever();
}
