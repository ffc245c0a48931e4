// The bad-memory record as the verdict and the events see it: its totals
// (the pre-test's mismatches and the kernel's early check included), its
// summary lines, and the details of each error it still keeps.
#ifndef CELLCHECK_APP_BAD_MEMORY_FINDINGS_H_
#define CELLCHECK_APP_BAD_MEMORY_FINDINGS_H_

#include <string>
#include <vector>

#include "app/findings.h"
#include "badmem/bad_memory.h"
#include "console/bad_memory_watch.h"
#include "machinecheck/memory_faults.h"

class BadMemoryFindings : public Findings {
 public:
  // `faults`: the guard's log, for the machine checks' details.
  BadMemoryFindings(const BadMemory& record, BadMemoryWatch& watch,
                    const MemoryFaultLog* faults = nullptr)
      : record_(record), watch_(watch), faults_(faults) {}

  u64 errorCount() override { return record_.totals().errors; }
  bool anythingFound() override { return record_.totals().anyBad(); }
  std::vector<std::string> summaryLines() override;
  void printSummary() override { watch_.printSummary(); }
  // Indices, values, physical addresses ("unknown" when not known) and the
  // bits that differ, all in hex but the indices.
  std::vector<Details> errorsFrom(u64 first) override;
  u64 machineCheckCount() override { return record_.totals().machineChecks; }
  // Virtual and physical address, and how it was found ("read" by the
  // program, or "early" by the hardware).
  std::vector<Details> machineChecksFrom(u64 first) override;
  u64 eccCorrected() override { return record_.totals().eccCorrected; }
  u64 eccUncorrected() override { return record_.totals().eccUncorrected; }
  std::vector<Details> eccModules() override;

 private:
  const BadMemory& record_;
  BadMemoryWatch& watch_;
  const MemoryFaultLog* faults_;
};

#endif  // CELLCHECK_APP_BAD_MEMORY_FINDINGS_H_
