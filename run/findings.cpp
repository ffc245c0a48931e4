#include "run/findings.h"

#include "badmem/summary_text.h"

namespace {

class CollectedLines : public LineSink {
 public:
  void line(const char* text) override { lines.push_back(text); }
  std::vector<std::string> lines;
};

}  // namespace

std::vector<std::string> Findings::summaryLines() const {
  CollectedLines collected;
  renderSummary(record_, collected);
  return collected.lines;
}

std::vector<FoundError> Findings::errorsFrom(u64 first) const {
  std::vector<FoundError> errors;
  // Older errors are gone from the record's table: those kept are the last.
  const u64 total = record_.totals().errors;
  const u64 kept = static_cast<u64>(BadMemory::kKeptPairs);
  if (total > kept && first < total - kept) first = total - kept;
  for (u64 n = first; n < total; ++n) {
    const ReportedPair* pair = record_.pairNumber(n);
    if (pair != nullptr) errors.push_back(FoundError{n + 1, *pair});
  }
  return errors;
}

std::vector<FoundMachineCheck> Findings::machineChecksFrom(u64 first) const {
  std::vector<FoundMachineCheck> checks;
  // The record counts what was reported; the log holds the details, in the
  // same order, as long as it keeps them.
  const u64 total = record_.totals().machineChecks;
  for (u64 n = first; faults_ != nullptr && n < total; ++n) {
    MemoryFault fault;
    if (faults_->copy(n, &fault))
      checks.push_back(FoundMachineCheck{n + 1, fault});
  }
  return checks;
}

std::vector<EccModuleErrors> Findings::eccModules() const {
  std::vector<EccModuleErrors> modules;
  for (int i = 0; i < record_.eccModuleCount(); ++i) {
    modules.push_back(record_.eccModule(i));
  }
  return modules;
}

std::vector<std::string> Findings::temperatureLines() const {
  if (temperatures_ == nullptr) return {};
  return temperatures_->reportLines();
}

FoundTemperatures Findings::temperatures() const {
  FoundTemperatures found;
  if (temperatures_ == nullptr) return found;
  const TemperatureSensors& sensors = temperatures_->sensors();
  for (int i = 0; i < sensors.size(); ++i) {
    const TemperatureSensor& sensor = sensors[i];
    const bool module = sensor.kind == SensorKind::kMemoryModule;
    found.sensors.push_back(FoundTemperature{
        sensor.name, module, sensor.everRead,
        sensor.everRead ? wholeDegrees(sensor.highestMilli) : 0,
        module ? wholeDegrees(sensor.criticalMilli) : 0, sensor.crossings});
  }
  found.cpus = sensors.span(SensorKind::kProcessor, Reading::kHighest);
  found.modules = sensors.span(SensorKind::kMemoryModule, Reading::kHighest);
  found.modulesAtLimit = sensors.modulesThatReachedTheirLimit();
  return found;
}
