// What a run found, as the verdict, the events and (later) the reports read
// it: typed, from the bad-memory record and the fault guard's log. Their
// text is made in one place each: the screen's by the console (its watches
// and badmem/summary_text.h) and run/verdict.h, the events' by
// run/run_events.h.
#ifndef CELLCHECK_RUN_FINDINGS_H_
#define CELLCHECK_RUN_FINDINGS_H_

#include <string>
#include <vector>

#include "badmem/bad_memory.h"
#include "console/temperature_watch.h"
#include "machinecheck/memory_faults.h"

// One error the tests found.
struct FoundError {
  u64 number;  // from 1
  ReportedPair pair;
};

// One uncorrected memory error caught by a machine check.
struct FoundMachineCheck {
  u64 number;  // from 1
  MemoryFault fault;
};

// One temperature sensor over the run.
struct FoundTemperature {
  std::string name;   // "CPU", "CPU 1", "memory module 2 on SMBus 0"
  bool memoryModule;  // else a processor
  bool read;          // it gave a reading at least once
  int highest;        // its highest reading, whole degrees Celsius
  int critical;       // a memory module's critical limit, likewise
  u64 crossings;      // times a memory module reached that limit
};

// The run's temperatures: each sensor, and each kind's highest readings
// together. Never a reason to fail a run: heat is not a memory error.
struct FoundTemperatures {
  std::vector<FoundTemperature> sensors;  // processors first
  TemperatureSpan cpus;
  TemperatureSpan modules;
  int modulesAtLimit = 0;  // memory modules that reached their limit
  bool any() const { return !sensors.empty(); }
};

class Findings {
 public:
  // `faults`: the guard's log, for the machine checks' details;
  // `temperatures`: the temperature sensors' watch.
  explicit Findings(const BadMemory& record,
                    const MemoryFaultLog* faults = nullptr,
                    const TemperatureWatch* temperatures = nullptr)
      : record_(record), faults_(faults), temperatures_(temperatures) {}

  // Everything counted: the errors, the pre-test's mismatches, the ranges
  // of the kernel's early check, the machine checks and the memory
  // controllers' counts. Any of it fails a run (anyBad()).
  BadMemoryTotals totals() const { return record_.totals(); }
  // Each error from number `first` on (counting from 0) whose pair the
  // record still keeps (the last BadMemory::kKeptPairs).
  std::vector<FoundError> errorsFrom(u64 first) const;
  // Each machine check from number `first` on whose details the log still
  // keeps.
  std::vector<FoundMachineCheck> machineChecksFrom(u64 first) const;
  // Each module whose controller counted errors during the run, with its
  // counts, in the order first counted.
  std::vector<EccModuleErrors> eccModules() const;
  // The highest temperatures so far; none without sensors.
  FoundTemperatures temperatures() const;
  // The temperatures' lines as the report on the boot stick shows them
  // (TemperatureWatch::reportLines); none without the watch.
  std::vector<std::string> temperatureLines() const;
  // The summary as the console shows it (BadMemoryWatch::printSummary), a
  // line each.
  std::vector<std::string> summaryLines() const;
  // The record itself, for the ready lines and the suspect pages.
  const BadMemory& record() const { return record_; }

 private:
  const BadMemory& record_;
  const MemoryFaultLog* faults_;
  const TemperatureWatch* temperatures_;
};

#endif  // CELLCHECK_RUN_FINDINGS_H_
