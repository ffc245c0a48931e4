#include "app/early_check_line.h"

#include <cstdio>

#include "base/cprintf.h"
#include "base/small_file.h"

namespace {

// Bad ranges named on the line at most; all join the record.
constexpr size_t kRangesNamed = 4;

std::string textOf(const char* format, unsigned long long a,
                   unsigned long long b) {
  char text[96];
  snprintf(text, sizeof text, format, a, b);
  return text;
}

std::string patternsText(unsigned patterns) {
  return std::to_string(patterns) + (patterns == 1 ? " pattern" : " patterns");
}

}  // namespace

std::string earlyCheckLine(const EarlyCheck& check) {
  std::string line = "Early check of all free memory: ";
  switch (check.state) {
    case EarlyCheck::State::kOff:
      return line +
             "off (no memtest= on the kernel command line, or memtest=0)";
    case EarlyCheck::State::kLost:
      return line + "its lines are no longer in the kernel's log";
    case EarlyCheck::State::kIncomplete:
      return line + "only " + std::to_string(check.passes) + " of " +
             patternsText(check.patterns) +
             " in the kernel's log, no errors in them";
    case EarlyCheck::State::kPassed:
      return line + patternsText(check.patterns) + ", no errors";
    case EarlyCheck::State::kFoundBad:
      break;
  }
  line += patternsText(check.patterns) + ", bad memory at ";
  for (size_t i = 0; i < check.bad.size() && i < kRangesNamed; ++i) {
    line += textOf(i == 0 ? "0x%llx-0x%llx" : ", 0x%llx-0x%llx",
                   check.bad[i].begin, check.bad[i].end - 1);
  }
  if (check.bad.size() > kRangesNamed) {
    line +=
        ", and " + std::to_string(check.bad.size() - kRangesNamed) + " more";
  }
  return line + " (the kernel keeps off it)";
}

void showAndRecordEarlyCheck(KernelFiles& kernel, BadMemory& record) {
  const EarlyCheck check = readEarlyCheck(
      readSmallFile(kernel.file("/proc/cmdline")), kernel.kernelLog());
  cprintf("%s\n", earlyCheckLine(check).c_str());
  for (const EarlyCheck::Range& range : check.bad) {
    record.recordExternalRange(PhysicalRange{range.begin, range.end});
  }
}
