// Start-up: from the first line of main until the test area is in the
// tester's hands and the cursor is hidden. Clears the screen, shows the
// banner, the RAM the kernel has mapped and the outcome of the kernel's
// early memory check, tunes the kernel's memory accounting, measures how
// much memory can really be used, takes almost all of it in one block,
// locks it where it is in physical memory and has the tester pre-test it.
#ifndef CELLCHECK_APP_STARTUP_H_
#define CELLCHECK_APP_STARTUP_H_

#include "app/ecc_watch.h"
#include "app/unattended.h"
#include "badmem/bad_memory.h"
#include "machinecheck/fault_guard.h"
#include "sysmem/kernel.h"
#include "tester/cellchecker.h"

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

// `record` receives the bad memory the kernel's early check found. With
// `unattended`, start-up also reads the cellcheck.* options (after /proc is
// mounted), and prepares drivers and network (before the memory is
// measured); it prints nothing more when there are no options. With `ecc`,
// it loads the memory controllers' drivers and says whether they report ECC
// errors (before the memory is measured). With `guard`, uncorrected memory
// errors in the test area are survived from the moment it is taken (the
// pre-test included).
StartupResult startUp(Kernel& kernel, Cellchecker& tester, BadMemory& record,
                      Unattended* unattended = nullptr, EccWatch* ecc = nullptr,
                      MemoryFaultGuard* guard = nullptr);

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
