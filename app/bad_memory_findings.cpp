#include "app/bad_memory_findings.h"

#include <cstdio>

#include "badmem/summary_text.h"

namespace {

class CollectedLines : public LineSink {
 public:
  void line(const char* text) override { lines.push_back(text); }
  std::vector<std::string> lines;
};

std::string hex(u64 value) {
  char text[24];
  snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string address(u64 value) {
  return value == kUnknownAddress ? "unknown" : hex(value);
}

}  // namespace

std::vector<std::string> BadMemoryFindings::summaryLines() {
  CollectedLines collected;
  renderSummary(record_, collected);
  return collected.lines;
}

std::vector<Findings::Details> BadMemoryFindings::errorsFrom(u64 first) {
  std::vector<Details> errors;
  // Older errors are gone from the record's table: those kept are the last.
  const u64 total = record_.totals().errors;
  const u64 kept = static_cast<u64>(BadMemory::kKeptPairs);
  if (total > kept && first < total - kept) first = total - kept;
  for (u64 n = first; n < total; ++n) {
    const ReportedPair* pair = record_.pairNumber(n);
    if (pair == nullptr) continue;
    errors.push_back({{"error", std::to_string(n + 1)},
                      {"indexA", std::to_string(pair->indexA)},
                      {"indexB", std::to_string(pair->indexB)},
                      {"valueA", hex(pair->valueA)},
                      {"valueB", hex(pair->valueB)},
                      {"addressA", address(pair->addressA)},
                      {"addressB", address(pair->addressB)},
                      {"bits", hex(pair->valueA ^ pair->valueB)}});
  }
  return errors;
}

std::vector<Findings::Details> BadMemoryFindings::machineChecksFrom(u64 first) {
  std::vector<Details> checks;
  // The record counts what was reported; the log holds the details, in the
  // same order, as long as it keeps them.
  const u64 total = record_.totals().machineChecks;
  for (u64 n = first; faults_ != nullptr && n < total; ++n) {
    MemoryFault fault;
    if (!faults_->copy(n, &fault)) continue;
    checks.push_back({{"machinecheck", std::to_string(n + 1)},
                      {"virtual", hex(fault.page)},
                      {"physical", address(fault.physical)},
                      {"bytes", std::to_string(fault.bytes)},
                      {"found", fault.foundEarly ? "early" : "read"}});
  }
  return checks;
}

std::vector<Findings::Details> BadMemoryFindings::eccModules() {
  std::vector<Details> modules;
  for (int i = 0; i < record_.eccModuleCount(); ++i) {
    const EccModuleErrors& module = record_.eccModule(i);
    modules.push_back({{"module", module.module},
                       {"corrected", std::to_string(module.corrected)},
                       {"uncorrected", std::to_string(module.uncorrected)}});
  }
  return modules;
}
