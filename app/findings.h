// What the verdict and the events need from the bad-memory summary: the
// error total, whether anything at all was found, the summary's lines, and
// each error's details. The summary itself lives in a room of its own;
// ErrorCountFindings stands in for it with what the tester alone knows.
#ifndef CELLCHECK_APP_FINDINGS_H_
#define CELLCHECK_APP_FINDINGS_H_

#include <string>
#include <utility>
#include <vector>

#include "base/types.h"
#include "tester/cellchecker.h"

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
  // Each error from number `first` on (counting from 0), as name/value
  // pairs for an event: indices, values, physical addresses, bits. Empty
  // when no details are kept.
  virtual std::vector<Details> errorsFrom(u64 first) = 0;
};

// The stand-in until the bad-memory summary is on main: the tester's error
// count, no summary lines, no details.
class ErrorCountFindings : public Findings {
 public:
  explicit ErrorCountFindings(const Cellchecker& tester) : tester_(tester) {}
  u64 errorCount() override { return tester_.errorCount; }
  bool anythingFound() override { return tester_.errorCount != 0; }
  std::vector<std::string> summaryLines() override { return {}; }
  void printSummary() override {}
  std::vector<Details> errorsFrom(u64) override { return {}; }

 private:
  const Cellchecker& tester_;
};

#endif  // CELLCHECK_APP_FINDINGS_H_
