// The outcome of the kernel's early memory check: booted with memtest=N, the
// kernel writes and checks N patterns over all free memory before it uses
// any, logs each pass range by range, and reserves (and logs) what fails.
// Read from the kernel command line and the kernel's log at start-up.
#ifndef CELLCHECK_SYSMEM_EARLY_CHECK_H_
#define CELLCHECK_SYSMEM_EARLY_CHECK_H_

#include <string>
#include <vector>

#include "base/types.h"

struct EarlyCheck {
  enum class State {
    kOff,         // no memtest= (or memtest=0) on the command line
    kLost,        // asked for, but its lines are no longer in the log
    kIncomplete,  // the log shows fewer passes than patterns
    kPassed,      // every pass in the log, nothing bad
    kFoundBad,    // the log shows bad memory, reserved by the kernel
  };
  // Physical bytes [begin, end) that failed a pattern.
  struct Range {
    u64 begin;
    u64 end;
  };

  State state = State::kOff;
  unsigned patterns = 0;  // passes the kernel was asked for
  unsigned passes = 0;    // passes the log shows
  std::vector<Range> bad;
};

// The pattern count the command line asks for: the last memtest= wins, as
// in the kernel; a bare "memtest" asks for all 17 patterns; 0 when none.
unsigned memtestPatterns(const std::string& commandLine);

// The early check's outcome from the command line (/proc/cmdline) and the
// kernel's log (one message a line).
EarlyCheck readEarlyCheck(const std::string& commandLine,
                          const std::string& kernelLog);

#endif  // CELLCHECK_SYSMEM_EARLY_CHECK_H_
