// The start-up line on the kernel's early check of all free memory, and the
// bad ranges it found joining the bad-memory record.
#ifndef CELLCHECK_APP_EARLY_CHECK_LINE_H_
#define CELLCHECK_APP_EARLY_CHECK_LINE_H_

#include <string>

#include "badmem/bad_memory.h"
#include "seam/files.h"
#include "sysmem/early_check.h"

// "Early check of all free memory: 3 patterns, no errors", or what else the
// kernel's log says. No line break.
std::string earlyCheckLine(const EarlyCheck& check);

// Reads the early check's outcome from the kernel command line and log,
// prints its line and records its bad ranges. Allocates: call it before the
// test area is taken.
void showAndRecordEarlyCheck(KernelFiles& kernel, BadMemory& record);

#endif  // CELLCHECK_APP_EARLY_CHECK_LINE_H_
