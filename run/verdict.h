// The verdict of a timed run: its figures, made once, and their text on the
// screen (the events' text of it is run/run_events.h).
#ifndef CELLCHECK_RUN_VERDICT_H_
#define CELLCHECK_RUN_VERDICT_H_

#include <string>

#include "base/types.h"
#include "console/bad_memory_watch.h"
#include "options/run_options.h"
#include "run/findings.h"

struct Verdict {
  // PASS: nothing at all found (BadMemoryTotals::anyBad()), and no memory
  // missing.
  bool pass;
  u64 mib;          // the test area
  double hours;     // of full testing
  double coverage;  // percent
  u64 errors;
  u64 machineChecks;
  u64 eccCorrected;
  u64 eccUncorrected;
  // Events that could not be sent before the verdict; shown only when
  // events were asked for.
  bool eventsAsked;
  u64 unsent;
  EndAction end;
  // Full testing's estimated hours to 100 % coverage at the speed the
  // opening measured; 0 when not known.
  double hoursTo100 = 0;
  // The highest temperatures of the run, read once more for the verdict;
  // they never change PASS or FAIL.
  FoundTemperatures temperatures;
  // The missing-memory line (dimms/inventory.h) when the modules hold more
  // than the firmware mapped: a module lost, which fails the run.
  std::string missingMemory;
  std::string missingSlots;  // the modules it names: "DIMM_B1 (16 GiB)"
};

// The verdict between two rules, with the bad-memory summary (as `summary`
// shows it) when anything was found.
void printVerdict(const Verdict& verdict, BadMemoryWatch& summary);

// "PASS" or "FAIL".
const char* verdictWord(const Verdict& verdict);
// The figures as the screen and the events write them: hours with two
// decimals, coverage with one.
std::string hoursText(double hours);
std::string coverageText(double coverage);

#endif  // CELLCHECK_RUN_VERDICT_H_
