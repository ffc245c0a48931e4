#include "console/machine_check_watch.h"

#include "base/cprintf.h"
#include "base/wording.h"

void MachineCheckWatch::poll() {
  const u64 logged = log_.count();
  for (; reported_ < logged; ++reported_) {
    MemoryFault fault;
    if (!log_.copy(reported_, &fault)) {
      // More came at once than the log keeps: counted, without details.
      cprintf(
          "\n\rUncorrected memory error (machine check): its details were "
          "not kept.\n\r");
      tester_.notifyError();
      record_.recordMachineCheck(kUnknownAddress);
      continue;
    }
    cprintf(
        "\n\rUncorrected memory error (machine check) at virtual address "
        "0x%llx, %s;\n\rthe kernel took its %llu KiB page out of use, and "
        "a fresh page in its place keeps testing going.\n\r",
        ull(fault.page),
        fault.foundEarly ? "found by the hardware before the program "
                           "read it"
                         : "met by the program's read",
        ull(fault.bytes / 1024));
    tester_.notifyError();
    if (fault.physical == kUnknownAddress) {
      cprintf("Physical address unknown\n\r");
    } else {
      cprintf("Physical address: 0x%llx (page 0x%llx-0x%llx)\n\r",
              ull(fault.physical), ull(fault.physical),
              ull(fault.physical + fault.bytes - 1));
    }
    record_.recordMachineCheck(fault.physical);
  }
}
