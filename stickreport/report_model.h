// What a report on the boot stick says, gathered between tests from the
// run's findings, and its two renderings: a text file with every line the
// screen showed, and a self-contained page (no scripts, nothing beside it)
// for a person on another PC. Both are written piece by piece to a sink,
// never built whole in memory.
#ifndef CELLCHECK_STICKREPORT_REPORT_MODEL_H_
#define CELLCHECK_STICKREPORT_REPORT_MODEL_H_

#include <ctime>
#include <string>
#include <vector>

#include "badmem/bad_memory.h"
#include "dimms/inventory.h"
#include "dimms/run_history.h"
#include "identity/machine_identity.h"
#include "run/verdict.h"
#include "stickreport/report_files.h"
#include "stickreport/transcript.h"

// One row of the page's tables of errors: the errors that named the same two
// words' places with the same bits, or, for a one-word error (a test that
// knew what the word should hold), the same word with the same bits.
struct ErrorRow {
  u64 addressA;  // kUnknownAddress when not known
  u64 addressB;
  u32 bits;
  u64 times;
  u64 first;  // the first and last error numbers, from 1
  u64 last;
  // A one-word error's row: the word (kWordA: its address is addressA;
  // kWordB: addressB), and what the row's first error read and expected.
  ReportedPair::Suspect suspect = ReportedPair::Suspect::kEither;
  u64 index = 0;
  u32 read = 0;
  u32 expected = 0;
};

// The machine's physical memory as the page draws it: the RAM, the test
// area's share of it (the rest is the kernel's and this program's), the
// kernel's own code and data, and the suspect pages.
struct MemoryPicture {
  std::vector<PhysicalRange> ram;
  std::vector<PhysicalRange> tested;
  std::vector<PhysicalRange> kernel;
  std::vector<u64> suspectPages;
};

struct ReportModel {
  MachineIdentity identity;
  std::string options;  // what the options ask for, or that there are none
  time_t started = 0;   // the run began (the machine's clock)
  time_t written = 0;   // this report
  u64 installedKiB = 0;
  u64 areaMiB = 0;
  bool fullTesting = false;  // the opening is over
  double hours = 0;          // of full testing
  double coverage = 0;
  BadMemoryTotals totals = {};
  bool haveVerdict = false;
  Verdict verdict = {};
  // The bad-memory summary, a line each, as the screen shows it, and the
  // ready lines in it (empty when nothing is known).
  std::vector<std::string> summary;
  std::string linuxLine;
  std::string windowsLine;
  std::string eccLine;  // the start-up line on the memory controllers
  std::vector<EccModuleErrors> eccModules;
  // The temperatures, a line each: the readings and the highest so far.
  std::vector<std::string> temperatures;
  std::vector<ErrorRow> errorRows;
  u64 errorsNotInTable = 0;  // too many, or no longer kept in detail
  MemoryPicture picture;
  const Transcript* transcript = nullptr;
  // The memory modules by name, and the missing-memory line (empty when
  // nothing is missing).
  Inventory modules;
  std::string missingMemory;
  // This machine's runs on the stick, oldest first, this one last as it
  // stands; and what they say.
  std::vector<RunRecord> runs;
  std::vector<std::string> history;
};

// "PASS", "FAIL", or for a run without a verdict (yet) what was found so
// far.
std::string reportHeadline(const ReportModel& model);
// "2026-12-10 15:30:12", the clock as it reads (UTC to the kernel).
std::string clockText(time_t when);

// A run of the history as both files show it: "PASS", "FAIL", "no
// verdict"; its modules, "DIMM_A1 1A2B3C4D, DIMM_B1 (no serial number)".
std::string runOutcomeText(const RunRecord& run);
std::string runModulesText(const RunRecord& run);
// "2026-12-10 15:30:12: FAIL, 3 errors, 1.25 hours of full testing, 62 %
// coverage; modules DIMM_A1 1A2B3C4D, ..."
std::string runLine(const RunRecord& run);

void writeReportText(const ReportModel& model, ReportSink& sink);
void writeReportPage(const ReportModel& model, ReportSink& sink);

// The System RAM ranges and the kernel's code and data in the text of
// /proc/iomem (as root sees it: with real addresses).
void readMemoryMap(const std::string& iomem, MemoryPicture* picture);

#endif  // CELLCHECK_STICKREPORT_REPORT_MODEL_H_
