#include "run/verdict.h"

#include <cstdio>

#include "base/cprintf.h"
#include "base/wording.h"
#include "console/full_testing_estimate.h"
#include "console/temperature_watch.h"

namespace {

constexpr char kRule[] =
    "==============================================================="
    "=======";

}  // namespace

const char* verdictWord(const Verdict& verdict) {
  return verdict.pass ? "PASS" : "FAIL";
}

std::string hoursText(double hours) { return fixed(hours, 2); }

std::string coverageText(double coverage) { return fixed(coverage, 1); }

void printVerdict(const Verdict& verdict, BadMemoryWatch& summary) {
  cprintf("\n\r\n\r%s\n\r VERDICT: %s\n\r", kRule, verdictWord(verdict));
  cprintf(" Tested %llu MiB for %s hours, %s %% coverage, %llu error%s.\n\r",
          ull(verdict.mib), hoursText(verdict.hours).c_str(),
          coverageText(verdict.coverage).c_str(), ull(verdict.errors),
          plural(verdict.errors, "", "s"));
  // Beside the hours tested, what a complete test needs on this machine.
  if (verdict.hoursTo100 > 0) {
    cprintf(
        " 100 %% coverage takes about %s of full testing at the speed "
        "measured at start-up.\n\r",
        durationWords(verdict.hoursTo100 * 3600).c_str());
  }
  // The hardware's own findings, apart from the errors the tests found.
  if (verdict.machineChecks != 0) {
    cprintf(" Uncorrected memory errors caught by machine checks: %llu.\n\r",
            ull(verdict.machineChecks));
  }
  if (verdict.eccCorrected != 0 || verdict.eccUncorrected != 0) {
    cprintf(
        " ECC: the memory controllers counted %llu corrected and %llu "
        "uncorrected errors during the run.\n\r",
        ull(verdict.eccCorrected), ull(verdict.eccUncorrected));
  }
  if (!verdict.missingMemory.empty()) {
    cprintf(" %s.\n\r", verdict.missingMemory.c_str());
  }
  if (verdict.temperatures.any()) {
    const FoundTemperatures& temperatures = verdict.temperatures;
    char text[256];
    formatTemperatures(temperatures.cpus, temperatures.modules,
                       temperatures.modulesAtLimit, text, sizeof text);
    cprintf(" Highest temperatures: %s.\n\r", text);
  }
  if (!verdict.pass) summary.printSummary();
  if (verdict.eventsAsked) {
    cprintf(" Events that could not be sent to the collector: %llu.\n\r",
            ull(verdict.unsent));
  }
  cprintf(verdict.end == EndAction::kHalt
              ? " Testing has ended: switch the machine off.\n\r"
              : " Testing has ended: the machine switches itself off.\n\r");
  cprintf("%s\n\r", kRule);
}
