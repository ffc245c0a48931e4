#include "stickreport/stick_report.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "badmem/summary_text.h"
#include "base/console_ring.h"
#include "base/cprintf.h"
#include "base/small_file.h"
#include "stickreport/history_file.h"

namespace {

// Ranges sorted and merged where they touch.
std::vector<PhysicalRange> merged(std::vector<PhysicalRange> ranges) {
  std::sort(ranges.begin(), ranges.end(),
            [](const PhysicalRange& a, const PhysicalRange& b) {
              return a.begin < b.begin;
            });
  std::vector<PhysicalRange> out;
  for (const PhysicalRange& range : ranges) {
    if (!out.empty() && range.begin <= out.back().end) {
      out.back().end = std::max(out.back().end, range.end);
    } else {
      out.push_back(range);
    }
  }
  return out;
}

ErrorRow rowOf(const FoundError& error) {
  const ReportedPair& pair = error.pair;
  ErrorRow row{pair.addressA, pair.addressB, pair.valueA ^ pair.valueB, 1,
               error.number,  error.number};
  row.suspect = pair.suspect;
  if (pair.suspect == ReportedPair::Suspect::kWordA) {
    row.index = pair.indexA;
    row.read = pair.valueA;
    row.expected = pair.valueB;
  } else if (pair.suspect == ReportedPair::Suspect::kWordB) {
    row.index = pair.indexB;
    row.read = pair.valueB;
    row.expected = pair.valueA;
  }
  return row;
}

}  // namespace

StickReport::StickReport(BootStick& stick, KernelDisks& disks,
                         KernelFiles& files, Findings& findings,
                         const Cellchecker& tester,
                         PhysicalAddresses& addresses, const RunFacts& facts,
                         Clock now)
    : stick_(stick),
      disks_(disks),
      kernelFiles_(files),
      findings_(findings),
      tester_(tester),
      addresses_(addresses),
      facts_(facts),
      now_(std::move(now)) {}

void StickReport::prepare() {
  stick_.prepare();
  if (!stick_.ready()) return;
  // Taken now, while the kernel still gives memory.
  transcript_.reset(new Transcript(kHeadBytes, kTailBytes));
  files_.reset(new ReportFiles(disks_, stick_.folder()));
  started_ = now_();
  files_->name(machineName(facts_.identity), started_);
  if (files_->failed()) sayWritingFailed(files_->error());
  readMemoryMap(readSmallFile(kernelFiles_.file("/proc/iomem")), &picture_);
  // Read now, while the kernel still gives memory; the lines are shown
  // below the modules'.
  historyText_ = readHistoryText(disks_, stick_.folder());
  earlierRuns_ =
      machineRuns(parseRunHistory(historyText_), machineName(facts_.identity),
                  modulesInSlots(facts_.modules));
  if (keepsHistory()) {
    startConclusion_ =
        concludeHistory(earlierRuns_, modulesInSlots(facts_.modules));
  }
}

bool StickReport::keepsHistory() const {
  return !facts_.modules.modules.empty();
}

bool StickReport::writing() const { return files_ && !files_->failed(); }

void StickReport::fullTestingBegins() {
  if (begun_) return;
  begun_ = true;
  begin_ = now_();
}

void StickReport::drain() {
  u64 lost = 0;
  consoleRing().drain(
      [this](const char* text, size_t length) {
        transcript_->feed(text, length);
      },
      &lost);
  transcript_->lost(lost);
}

int StickReport::summariesShown() const {
  return facts_.schedule != nullptr ? facts_.schedule->summariesShown() : 0;
}

bool StickReport::betweenTests() {
  if (!writing()) return true;
  drain();
  const time_t now = now_();
  bool due = !writtenOnce_ || summariesShown() != summariesWritten_;
  if (findings_.totals().findings() != findingsWritten_ &&
      (lastFindingWrite_ == 0 ||
       now - lastFindingWrite_ >= kSecondsBetweenFindingWrites)) {
    due = true;
  }
  if (begun_ && now - lastWrite_ >= kSecondsBetweenRefreshes) due = true;
  if (due) write();
  return true;
}

void StickReport::verdict(const Verdict& verdict) {
  if (!writing()) return;
  haveVerdict_ = true;
  verdict_ = verdict;
  // What the runs say now, this one included: the next step to take.
  if (keepsHistory()) {
    std::vector<RunRecord> runs = earlierRuns_;
    runs.push_back(runRecord());
    for (const std::string& line :
         concludeHistory(runs, modulesInSlots(facts_.modules)).lines) {
      cprintf("%s\n\r", line.c_str());
    }
  }
  drain();
  write();
  if (writing()) {
    cprintf("Report on the boot stick: %s.txt and %s.html\n\r",
            files_->base().c_str(), files_->base().c_str());
  }
}

void StickReport::takeNewErrors() {
  const u64 total = findings_.totals().errors;
  const std::vector<FoundError> errors = findings_.errorsFrom(errorsTaken_);
  // Those no longer kept in detail are only counted.
  const u64 kept = errors.empty() ? total : errors.front().number - 1;
  errorsNotInTable_ += kept - errorsTaken_;
  for (const FoundError& error : errors) {
    const ReportedPair& pair = error.pair;
    const bool oneWord = pair.suspect != ReportedPair::Suspect::kEither;
    // A pair's row stands for its two places; a word's for that word, whose
    // place may be unknown.
    const auto key = std::make_tuple(
        static_cast<int>(pair.suspect), pair.addressA, pair.addressB,
        pair.valueA ^ pair.valueB, oneWord ? pair.indexA : 0);
    auto row = rows_.find(key);
    if (row != rows_.end()) {
      ++row->second.times;
      row->second.last = error.number;
    } else if (rows_.size() < kMaxErrorRows) {
      rows_[key] = rowOf(error);
    } else {
      ++errorsNotInTable_;
    }
  }
  errorsTaken_ = total;
}

void StickReport::pictureTestArea() {
  // Once: the area is locked and stays where it is. One address every
  // 2 MiB: a huge page's worth is one piece of physical memory; of an area
  // on small pages this is a sample.
  pictured_ = true;
  std::vector<PhysicalRange> tested;
  const u64 bankBytes = tester_.wordsPerBank * sizeof(u32);
  for (const u32* bank : {tester_.bankA, tester_.bankB}) {
    if (bank == nullptr) continue;
    const char* begin = reinterpret_cast<const char*>(bank);
    for (u64 offset = 0; offset < bankBytes; offset += kHugePageBytes) {
      const u64 address = addresses_.of(begin + offset);
      if (address == kUnknownAddress) continue;
      const u64 piece = std::min(kHugePageBytes, bankBytes - offset);
      tested.push_back(PhysicalRange{address, address + piece});
    }
  }
  picture_.tested = merged(tested);
}

RunRecord StickReport::runRecord() const {
  RunRecord run;
  run.machine = machineName(facts_.identity);
  run.when = clockText(started_);
  run.outcome = !haveVerdict_   ? RunOutcome::kStopped
                : verdict_.pass ? RunOutcome::kPass
                                : RunOutcome::kFail;
  run.errors = findings_.totals().findings();
  run.testedSeconds = begun_ ? static_cast<u64>(now_() - begin_) : 0;
  run.coveragePercent = static_cast<u32>(tester_.percentCoverage());
  run.modules = modulesInSlots(facts_.modules);
  const BadMemory& bad = findings_.record();
  for (int i = 0;
       i < bad.pageCount() && run.suspectPages.size() < kMaxHistoryPages; ++i) {
    run.suspectPages.push_back(bad.page(i).address);
  }
  return run;
}

ReportModel StickReport::model() {
  if (!pictured_) pictureTestArea();
  takeNewErrors();
  ReportModel model;
  model.identity = facts_.identity;
  model.options = facts_.options.any ? describeRunOptions(facts_.options)
                                     : "none (tests until switched off)";
  model.started = started_;
  model.written = now_();
  model.installedKiB = facts_.installedKiB;
  model.areaMiB = facts_.areaBytes / kMiB;
  model.fullTesting = begun_;
  model.hours =
      begun_ ? static_cast<double>(model.written - begin_) / 3600.0 : 0.0;
  model.coverage = tester_.percentCoverage();
  model.totals = findings_.totals();
  model.haveVerdict = haveVerdict_;
  model.verdict = verdict_;
  model.summary = findings_.summaryLines();
  const BadMemory& record = findings_.record();
  char ready[kReadyLineBytes];
  linuxReadyLine(record, ready, sizeof ready);
  model.linuxLine = ready;
  windowsReadyLine(record, ready, sizeof ready);
  model.windowsLine = ready;
  model.eccLine = facts_.eccLine;
  model.eccModules = findings_.eccModules();
  model.temperatures = findings_.temperatureLines();
  for (const auto& row : rows_) model.errorRows.push_back(row.second);
  model.errorsNotInTable = errorsNotInTable_;
  model.picture = picture_;
  for (int i = 0; i < record.pageCount(); ++i) {
    model.picture.suspectPages.push_back(record.page(i).address);
  }
  model.transcript = transcript_.get();
  model.modules = facts_.modules;
  model.missingMemory = missingMemoryLine(facts_.missingMemory);
  if (keepsHistory()) {
    model.runs = earlierRuns_;
    model.runs.push_back(runRecord());
    model.history =
        concludeHistory(model.runs, modulesInSlots(facts_.modules)).lines;
  }
  return model;
}

void StickReport::sayWritingFailed(int error) {
  cprintf(
      "\n\rReports: writing to the boot stick failed (%s); no more reports "
      "are written, testing goes on.\n\r",
      strerror(error));
}

void StickReport::write() {
  const time_t now = now_();
  const u64 found = findings_.totals().findings();
  const ReportModel report = model();
  int error = files_->write(
      ".txt", [&report](ReportSink& sink) { writeReportText(report, sink); });
  if (error == 0) {
    error = files_->write(".html", [&report](ReportSink& sink) {
      writeReportPage(report, sink);
    });
  }
  if (error == 0 && keepsHistory()) {
    // This run's record last: the one the reports above show.
    error = files_->writeNamed(kHistoryFileName, [&](ReportSink& sink) {
      writeHistory(historyText_, report.runs.back(), sink);
    });
  }
  if (error != 0) {
    sayWritingFailed(error);
    return;
  }
  if (found != findingsWritten_) lastFindingWrite_ = now;
  writtenOnce_ = true;
  lastWrite_ = now;
  findingsWritten_ = found;
  summariesWritten_ = summariesShown();
}
