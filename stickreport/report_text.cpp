#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "base/wording.h"
#include "options/run_options.h"
#include "stickreport/report_model.h"

namespace {

void line(ReportSink& sink, const std::string& text) {
  sink.put(text);
  sink.put("\n", 1);
}

}  // namespace

std::string clockText(time_t when) {
  struct tm utc = {};
  gmtime_r(&when, &utc);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
  return text;
}

std::string reportHeadline(const ReportModel& model) {
  if (model.haveVerdict) return verdictWord(model.verdict);
  if (model.totals.anyBad()) return "FAIL (bad memory found; testing went on)";
  return model.fullTesting ? "no errors so far (testing goes on)"
                           : "testing has just begun";
}

std::string runOutcomeText(const RunRecord& run) {
  switch (run.outcome) {
    case RunOutcome::kPass:
      return "PASS";
    case RunOutcome::kFail:
      return "FAIL";
    default:
      return "no verdict";
  }
}

std::string runModulesText(const RunRecord& run) {
  std::string text;
  for (const ModuleInSlot& module : run.modules) {
    text += (text.empty() ? "" : ", ") + module.slot + " " +
            (module.serial.empty() ? "(no serial number)" : module.serial);
  }
  return text.empty() ? "none named" : text;
}

std::string runLine(const RunRecord& run) {
  return run.when + ": " + runOutcomeText(run) + ", " +
         std::to_string(run.errors) + plural(run.errors, " error", " errors") +
         ", " + fixed(static_cast<double>(run.testedSeconds) / 3600.0, 2) +
         " hours of full testing, " + std::to_string(run.coveragePercent) +
         " % coverage; modules " + runModulesText(run);
}

void writeReportText(const ReportModel& model, ReportSink& sink) {
  line(sink, "Cellcheck report: " + reportHeadline(model));
  line(sink, identityLine(model.identity));
  line(sink, "Options: " + model.options);
  line(sink, "Started " + clockText(model.started) +
                 " by the machine's clock; this report was written " +
                 clockText(model.written) + ".");
  line(sink, "Tested " + std::to_string(model.areaMiB) + " MiB of " +
                 std::to_string(model.installedKiB / 1024) + " MiB of RAM: " +
                 (model.fullTesting
                      ? fixed(model.hours, 2) + " hours of full testing, "
                      : std::string("the opening tests, ")) +
                 fixed(model.coverage, 1) + " % coverage, " +
                 std::to_string(model.totals.errors) +
                 plural(model.totals.errors, " error", " errors") + ".");
  line(sink, "");
  line(sink, "The screen, line by line:");
  line(sink, "");
  if (model.transcript != nullptr) {
    model.transcript->forEachLine([&sink](const char* text, size_t length) {
      sink.put(text, length);
      sink.put("\n", 1);
    });
  }
  line(sink, "");
  line(sink, "Bad memory, as it stands:");
  for (const std::string& text : model.summary) line(sink, text);
  line(sink, "");
  line(sink, model.eccLine.empty() ? "ECC: not read." : model.eccLine);
  for (const EccModuleErrors& module : model.eccModules) {
    line(sink, std::string("ECC: memory module ") + module.module + ": " +
                   std::to_string(module.corrected) + " corrected, " +
                   std::to_string(module.uncorrected) +
                   " uncorrected during the run.");
  }
  for (const std::string& text : model.temperatures) line(sink, text);
  line(sink, "");
  // Not read (start-up named no modules): no section.
  if (!model.modules.modules.empty() || !model.modules.whyNone.empty()) {
    line(sink, "Memory modules:");
    for (const std::string& text : inventoryLines(model.modules)) {
      line(sink, text);
    }
    if (!model.missingMemory.empty()) line(sink, model.missingMemory);
  }
  if (!model.runs.empty()) {
    line(sink, "");
    line(sink,
         "Runs of this machine on this stick, oldest first (this one last, "
         "as it stands):");
    for (const RunRecord& run : model.runs) line(sink, runLine(run));
    for (const std::string& text : model.history) line(sink, text);
  }
  line(sink, "");
  if (model.haveVerdict) {
    const Verdict& verdict = model.verdict;
    line(sink, std::string("Verdict: ") + verdictWord(verdict) + ": tested " +
                   std::to_string(verdict.mib) + " MiB for " +
                   hoursText(verdict.hours) + " hours, " +
                   coverageText(verdict.coverage) + " % coverage, " +
                   std::to_string(verdict.errors) +
                   plural(verdict.errors, " error.", " errors."));
  } else {
    line(sink,
         "Verdict: none yet. Testing went on when this report was written.");
  }
}

void readMemoryMap(const std::string& iomem, MemoryPicture* picture) {
  size_t begin = 0;
  while (begin < iomem.size()) {
    size_t end = iomem.find('\n', begin);
    if (end == std::string::npos) end = iomem.size();
    const std::string text = iomem.substr(begin, end - begin);
    begin = end + 1;
    unsigned long long first = 0;
    unsigned long long last = 0;
    int name = 0;
    if (sscanf(text.c_str(), " %llx-%llx : %n", &first, &last, &name) != 2 ||
        name == 0 || last < first) {
      continue;
    }
    const std::string what = text.substr(static_cast<size_t>(name));
    // Without the right to see them, every address reads 0.
    if (first == 0 && last == 0) continue;
    const PhysicalRange range{first, last + 1};
    if (text[0] != ' ' && what == "System RAM") {
      picture->ram.push_back(range);
    } else if (what == "Kernel code" || what == "Kernel rodata" ||
               what == "Kernel data" || what == "Kernel bss") {
      picture->kernel.push_back(range);
    }
  }
}
