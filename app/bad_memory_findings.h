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

class BadMemoryFindings : public Findings {
 public:
  BadMemoryFindings(const BadMemory& record, BadMemoryWatch& watch)
      : record_(record), watch_(watch) {}

  u64 errorCount() override { return record_.totals().errors; }
  bool anythingFound() override { return record_.totals().anyBad(); }
  std::vector<std::string> summaryLines() override;
  void printSummary() override { watch_.printSummary(); }
  // Indices, values, physical addresses ("unknown" when not known) and the
  // bits that differ, all in hex but the indices.
  std::vector<Details> errorsFrom(u64 first) override;

 private:
  const BadMemory& record_;
  BadMemoryWatch& watch_;
};

#endif  // CELLCHECK_APP_BAD_MEMORY_FINDINGS_H_
