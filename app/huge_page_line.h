// The start-up line that says when the kernel left the test area mostly on
// small pages: testing is as thorough, but the tests that probe random places
// run slower, and the speed score is lower, than the machine allows.
#ifndef CELLCHECK_APP_HUGE_PAGE_LINE_H_
#define CELLCHECK_APP_HUGE_PAGE_LINE_H_

#include "seam/files.h"

// Reads how much of the `bytes` at `area` the kernel holds on huge pages and,
// when that is less than half, says so in one line. Says nothing when the
// figure cannot be read. Call it once the pre-test has filled the area: the
// kernel gives huge pages as the pages are first touched.
void sayIfMostlyOnSmallPages(KernelFiles& kernel, const char* area, u64 bytes);

#endif  // CELLCHECK_APP_HUGE_PAGE_LINE_H_
