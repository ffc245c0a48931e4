#include "console/machine_check_watch.h"

#include "base/cprintf.h"
#include "base/wording.h"

void MachineCheckWatch::poll() {
  const u64 logged = log_.count();
  while (reported_ < logged) {
    // The log keeps the last faults only; the handler may add more (and
    // push older ones out) while these lines are printed.
    const u64 count = log_.count();
    const u64 keptFrom = count > static_cast<u64>(MemoryFaultLog::kKept)
                             ? count - static_cast<u64>(MemoryFaultLog::kKept)
                             : 0;
    if (reported_ < keptFrom) {
      showNotKept((keptFrom < logged ? keptFrom : logged) - reported_);
      continue;
    }
    MemoryFault fault;
    if (!log_.copy(reported_, &fault)) continue;  // pushed out meanwhile
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
    ++reported_;
  }
}

void MachineCheckWatch::showNotKept(u64 count) {
  // A storm of them takes one line, not one each.
  if (count == 1) {
    cprintf(
        "\n\rUncorrected memory error (machine check): its details were "
        "not kept.\n\r");
  } else {
    cprintf(
        "\n\r%llu uncorrected memory errors (machine checks): their details "
        "were not kept.\n\r",
        ull(count));
  }
  tester_.notifyErrors(static_cast<u32>(count));
  record_.recordMachineChecksUnknown(count);
  reported_ += count;
}
