#include "run/run_events.h"

#include <vector>

#include "badmem/physical_addresses.h"
#include "base/hex.h"
#include "dimms/dimm_text.h"

namespace {

using Params = std::vector<std::pair<std::string, std::string>>;

std::string limitText(const RunOptions& options) {
  std::string text;
  if (options.seconds != 0) text = std::to_string(options.seconds) + "s";
  if (options.coverage != 0) {
    text += (text.empty() ? "" : " or ") + coverageText(options.coverage) + "%";
  }
  return text.empty() ? "none" : text;
}

// "1 error", "2 errors".
std::string errorsText(u64 count) {
  return std::to_string(count) + (count == 1 ? " error" : " errors");
}

std::string address(u64 value) {
  return value == kUnknownAddress ? "unknown" : hex(value);
}

// The start event's word for the Secure Boot state; empty when not known.
const char* secureBootWord(SecureBoot state) {
  switch (state) {
    case SecureBoot::kOn:
      return "on";
    case SecureBoot::kOff:
      return "off";
    case SecureBoot::kBiosBoot:
      return "bios";
    default:
      return "";
  }
}

void addIdentity(const MachineIdentity& id, Params* params) {
  params->insert(params->end(), {{"vendor", id.vendor},
                                 {"product", id.product},
                                 {"serial", id.serial},
                                 {"boardserial", id.boardSerial},
                                 {"firmware", id.firmware}});
}

// A field of a module's value: its separator "; " kept for the fields.
std::string field(const std::string& text, const char* unknown) {
  if (text.empty()) return unknown;
  std::string out = text;
  for (char& c : out) {
    if (c == ';') c = ',';
  }
  return out;
}

// The modules for a fleet collector: how many, then each as "SLOT; SIZE;
// PART; SERIAL" ("-" for what is not known).
void addModules(const Inventory& inventory, Params* params) {
  params->emplace_back("dimms", std::to_string(inventory.modules.size()));
  int number = 0;
  for (const Module& m : inventory.modules) {
    params->emplace_back(
        "dimm" + std::to_string(++number),
        field(m.slot, "-") + "; " +
            (m.sizeBytes ? sizeText(m.sizeBytes) : std::string("-")) + "; " +
            field(m.partNumber, "-") + "; " + field(m.serial, "-"));
  }
}

// A kind's highest readings: "41", "33-35", "" when none gave one.
std::string spanText(const TemperatureSpan& span) {
  if (span.read == 0) return "";
  if (span.lowest == span.highest) return std::to_string(span.highest);
  return std::to_string(span.lowest) + (span.lowest < 0 ? " to " : "-") +
         std::to_string(span.highest);
}

// The highest temperatures as figures (whole degrees Celsius) and as text:
// nothing on a machine without sensors.
void addTemperatures(const FoundTemperatures& found, SyslogEvent* event) {
  if (!found.any()) return;
  const std::string cpus = spanText(found.cpus);
  const std::string modules = spanText(found.modules);
  std::string text;
  if (!cpus.empty()) {
    event->params.emplace_back("tempcpu", cpus);
    text += "CPU " + cpus + " C";
  }
  if (!modules.empty()) {
    event->params.emplace_back("tempmodules", modules);
    text += (text.empty() ? "" : ", ") + std::string("memory modules ") +
            modules + " C";
  }
  if (found.modulesAtLimit != 0) {
    event->params.emplace_back("tempcritical",
                               std::to_string(found.modulesAtLimit));
    text += (text.empty() ? "" : ", ") + std::to_string(found.modulesAtLimit) +
            (found.modulesAtLimit == 1
                 ? " memory module reached its critical limit"
                 : " memory modules reached their critical limit");
  }
  if (!text.empty()) event->text += "; highest temperatures: " + text;
}

}  // namespace

SyslogEvent startEvent(const RunFacts& facts) {
  const RunOptions& options = facts.options;
  const u64 ramMiB = facts.installedKiB / 1024;
  const u64 areaMiB = facts.areaBytes / kMiB;
  SyslogEvent event;
  event.severity = kSeverityNotice;
  event.msgid = "start";
  event.params = {
      {"ram", std::to_string(ramMiB)},
      {"area", std::to_string(areaMiB)},
      {"limit", limitText(options)},
      {"end", options.end == EndAction::kHalt ? "halt" : "poweroff"}};
  const std::string secureBoot = secureBootWord(facts.secureBoot);
  if (!secureBoot.empty()) event.params.emplace_back("secureboot", secureBoot);
  addIdentity(facts.identity, &event.params);
  addModules(facts.modules, &event.params);
  if (facts.missingMemory.missing) {
    event.params.emplace_back("missingmemory",
                              missingSlotsText(facts.missingMemory));
  }
  event.text = "Cellcheck started: testing " + std::to_string(areaMiB) +
               " MiB of " + std::to_string(ramMiB) + " MiB RAM";
  if (facts.missingMemory.missing) {
    event.text += "; " + missingMemoryLine(facts.missingMemory);
  }
  return event;
}

SyslogEvent stoppedEvent(const RunFacts& facts) {
  SyslogEvent event;
  event.severity = kSeverityAlert;
  event.msgid = "stopped";
  event.params = {{"ram", std::to_string(facts.installedKiB / 1024)}};
  addIdentity(facts.identity, &event.params);
  event.text = "Cellcheck could not start testing; its screen says why";
  return event;
}

SyslogEvent progressEvent(double coverage, u64 errors, double hours,
                          const FoundTemperatures& temperatures,
                          double hoursTo100) {
  const std::string covered = coverageText(coverage);
  const std::string tested = hoursText(hours);
  SyslogEvent event;
  event.severity = kSeverityInfo;
  event.msgid = "progress";
  event.params = {{"coverage", covered},
                  {"errors", std::to_string(errors)},
                  {"hours", tested}};
  event.text = covered + " % coverage, " + errorsText(errors) + ", " + tested +
               " hours of full testing";
  addTemperatures(temperatures, &event);
  if (hoursTo100 > 0) {
    event.params.emplace_back("hoursto100", hoursText(hoursTo100));
    event.text += "; 100 % coverage in about " + hoursText(hoursTo100) +
                  " hours at the speed measured";
  }
  return event;
}

SyslogEvent summaryHead() {
  SyslogEvent head;
  head.severity = kSeverityWarning;
  head.msgid = "summary";
  return head;
}

SyslogEvent errorEvent(const FoundError& error) {
  const ReportedPair& pair = error.pair;
  SyslogEvent event;
  event.severity = kSeverityError;
  event.msgid = "error";
  event.params = {{"error", std::to_string(error.number)},
                  {"indexA", std::to_string(pair.indexA)},
                  {"indexB", std::to_string(pair.indexB)},
                  {"valueA", hex(pair.valueA)},
                  {"valueB", hex(pair.valueB)},
                  {"addressA", address(pair.addressA)},
                  {"addressB", address(pair.addressB)},
                  {"bits", hex(pair.valueA ^ pair.valueB)}};
  // A word that read back other than what was written: the other bank's
  // value is the one expected, and only this word is suspect.
  if (pair.suspect != ReportedPair::Suspect::kEither) {
    event.params.emplace_back(
        "suspect", pair.suspect == ReportedPair::Suspect::kWordA ? "A" : "B");
  }
  event.text = "Memory error " + std::to_string(error.number);
  return event;
}

SyslogEvent errorCountEvent(u64 total, u64 fresh, double coverage) {
  SyslogEvent event;
  event.severity = kSeverityError;
  event.msgid = "error";
  event.params = {{"errors", std::to_string(total)},
                  {"new", std::to_string(fresh)},
                  {"coverage", coverageText(coverage)}};
  event.text = std::to_string(fresh) + " new memory error" +
               (fresh == 1 ? "" : "s") + ", " + std::to_string(total) +
               " in all, at " + coverageText(coverage) + " % coverage";
  return event;
}

SyslogEvent machineCheckEvent(const FoundMachineCheck& check) {
  const MemoryFault& fault = check.fault;
  SyslogEvent event;
  event.severity = kSeverityError;
  event.msgid = "machinecheck";
  event.params = {{"machinecheck", std::to_string(check.number)},
                  {"virtual", hex(fault.page)},
                  {"physical", address(fault.physical)},
                  {"bytes", std::to_string(fault.bytes)},
                  {"found", fault.foundEarly ? "early" : "read"}};
  event.text = "Uncorrected memory error (machine check) at physical address " +
               address(fault.physical) +
               "; its page was replaced and testing goes on";
  return event;
}

SyslogEvent eccEvent(const EccModuleErrors& module) {
  const std::string corrected = std::to_string(module.corrected);
  const std::string uncorrected = std::to_string(module.uncorrected);
  SyslogEvent event;
  event.severity = module.uncorrected == 0 ? kSeverityWarning : kSeverityError;
  event.msgid = "ecc";
  event.params = {{"module", module.module},
                  {"corrected", corrected},
                  {"uncorrected", uncorrected}};
  event.text = "ECC errors on memory module " + std::string(module.module) +
               " during the run: " + corrected + " corrected, " + uncorrected +
               " uncorrected";
  return event;
}

SyslogEvent verdictEvent(const Verdict& verdict,
                         const MachineIdentity& identity,
                         const Inventory& modules) {
  const std::string word = verdictWord(verdict);
  const std::string hours = hoursText(verdict.hours);
  const std::string coverage = coverageText(verdict.coverage);
  SyslogEvent event;
  event.severity = verdict.pass ? kSeverityNotice : kSeverityAlert;
  event.msgid = "verdict";
  event.params = {{"result", word},
                  {"mib", std::to_string(verdict.mib)},
                  {"hours", hours},
                  {"coverage", coverage},
                  {"errors", std::to_string(verdict.errors)},
                  {"unsent", std::to_string(verdict.unsent)}};
  const bool ecc = verdict.eccCorrected != 0 || verdict.eccUncorrected != 0;
  if (verdict.machineChecks != 0) {
    event.params.emplace_back("machinechecks",
                              std::to_string(verdict.machineChecks));
  }
  if (ecc) {
    event.params.emplace_back("ecccorrected",
                              std::to_string(verdict.eccCorrected));
    event.params.emplace_back("eccuncorrected",
                              std::to_string(verdict.eccUncorrected));
  }
  if (verdict.hoursTo100 > 0) {
    event.params.emplace_back("hoursto100", hoursText(verdict.hoursTo100));
  }
  addIdentity(identity, &event.params);
  addModules(modules, &event.params);
  if (!verdict.missingMemory.empty()) {
    event.params.emplace_back("missingmemory", verdict.missingSlots);
  }
  event.text = word + ": " + std::to_string(verdict.mib) + " MiB tested for " +
               hours + " hours, " + coverage + " % coverage, " +
               errorsText(verdict.errors);
  if (verdict.machineChecks != 0) {
    event.text += ", " + std::to_string(verdict.machineChecks) +
                  " machine check" + (verdict.machineChecks == 1 ? "" : "s");
  }
  if (ecc) {
    event.text += ", ECC " + std::to_string(verdict.eccCorrected) +
                  " corrected and " + std::to_string(verdict.eccUncorrected) +
                  " uncorrected";
  }
  if (!verdict.missingMemory.empty()) {
    event.text += "; " + verdict.missingMemory;
  }
  // After the identity: where the datagram runs short, the last figures
  // give way first.
  addTemperatures(verdict.temperatures, &event);
  return event;
}
