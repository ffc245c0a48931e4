// What the verdict and the events need from the bad-memory summary: the
// error total, whether anything at all was found, the summary's lines, each
// error's details, the machine checks and the memory controllers' counts. The
// program answers from the bad-memory record (BadMemoryFindings); tests answer
// with chosen findings.
#ifndef CELLCHECK_APP_FINDINGS_H_
#define CELLCHECK_APP_FINDINGS_H_

#include <string>
#include <utility>
#include <vector>

#include "base/types.h"

class Findings {
 public:
  using Details = std::vector<std::pair<std::string, std::string>>;

  virtual ~Findings() = default;
  // The memory errors the tests found.
  virtual u64 errorCount() = 0;
  // Errors, or anything the pre-test or the kernel's early memory check
  // found: any of it fails the run.
  virtual bool anythingFound() = 0;
  // The summary as the console shows it, a line each; empty when there is
  // nothing to sum up.
  virtual std::vector<std::string> summaryLines() = 0;
  virtual void printSummary() = 0;
  // Each error from number `first` on (counting from 0) whose details are
  // still kept, as name/value pairs for an event, its number (from 1) under
  // "error" first, then indices, values, physical addresses and bits. Empty
  // when no details are kept.
  virtual std::vector<Details> errorsFrom(u64 first) = 0;

  // Uncorrected memory errors caught by machine checks (apart from the
  // errors the tests found), and each one's details from number `first` on
  // (its number from 1 under "machinecheck" first), as long as they are
  // kept.
  virtual u64 machineCheckCount() = 0;
  virtual std::vector<Details> machineChecksFrom(u64 first) = 0;
  // What the memory controllers counted during the run: corrected and
  // uncorrected errors in all, and each module with its counts (under
  // "module", "corrected" and "uncorrected").
  virtual u64 eccCorrected() = 0;
  virtual u64 eccUncorrected() = 0;
  virtual std::vector<Details> eccModules() = 0;
};

#endif  // CELLCHECK_APP_FINDINGS_H_
