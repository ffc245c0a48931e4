// The report on the boot stick: the step between tests' report place. It
// keeps every line the screen showed (taken from the console's ring between
// tests) and writes the run's pair of files (stickreport/report_model.h) to
// the report partition (stick/): at the start, after new findings (at most once
// a minute), at each of the progress line's summaries, every ten minutes
// of full testing, and at the verdict. Never inside a test. A write that
// fails gets one line, and no more writes follow; testing goes on.
#ifndef CELLCHECK_STICKREPORT_STICK_REPORT_H_
#define CELLCHECK_STICKREPORT_STICK_REPORT_H_

#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "badmem/physical_addresses.h"
#include "base/between_tests_work.h"
#include "base/clock.h"
#include "dimms/run_history.h"
#include "run/findings.h"
#include "run/run_facts.h"
#include "run/verdict.h"
#include "seam/disks.h"
#include "seam/files.h"
#include "stick/boot_stick.h"
#include "stickreport/report_files.h"
#include "stickreport/report_model.h"
#include "stickreport/transcript.h"
#include "tester/cellchecker.h"

class StickReport : public BetweenTestsWork {
 public:
  // `facts`: what start-up found, the machine's identity first of all; the
  // schedule's summary lines, once it runs, are each a reason to write.
  StickReport(BootStick& stick, KernelDisks& disks, KernelFiles& files,
              Findings& findings, const Cellchecker& tester,
              PhysicalAddresses& addresses, const RunFacts& facts, Clock now);

  // Start-up, before the memory is measured and once the identity is read:
  // finds the report partition (one line says where reports go, or why
  // there are none) and, when there is one, takes the storage of the
  // report's lines.
  void prepare();

  bool betweenTests() override;
  void fullTestingBegins() override;
  void lastLook() override {}
  // After the verdict's lines: the last report, and one line naming it.
  void verdict(const Verdict& verdict);

  // What the earlier runs of this machine on the stick say, for the
  // start-up lines below the modules'; empty without a report partition.
  const std::vector<std::string>& historyLines() const {
    return startConclusion_.lines;
  }

  // Reports are being written: the partition is there and no write failed.
  bool writing() const;
  const std::string& name() const { return files_ ? files_->base() : none_; }

  // Findings are written at most this often; a summary line and the
  // verdict are written at once.
  static constexpr time_t kSecondsBetweenFindingWrites = 60;
  // Without news, the report is brought up to date this often.
  static constexpr time_t kSecondsBetweenRefreshes = 600;
  // The transcript's storage: its head (start-up and the first lines) and
  // its last lines; the rest of a file stays far below its cap.
  static constexpr size_t kHeadBytes = 512 * 1024;
  static constexpr size_t kTailBytes = 3 * 1024 * 1024;
  static_assert(kHeadBytes + kTailBytes + 256 * 1024 <= kMaxReportFileBytes,
                "the transcript leaves room for the rest of the text file");
  // Rows of the page's table of errors at most.
  static constexpr size_t kMaxErrorRows = 200;

 private:
  void drain();
  void write();
  // The one line when writing ends.
  static void sayWritingFailed(int error);
  void takeNewErrors();
  int summariesShown() const;
  void pictureTestArea();
  ReportModel model();
  // A run that names no module shows nothing the history could follow:
  // it keeps no record, and its screen and reports have no history.
  bool keepsHistory() const;
  // This run's line of the history, as it stands.
  RunRecord runRecord() const;

  BootStick& stick_;
  KernelDisks& disks_;
  KernelFiles& kernelFiles_;
  Findings& findings_;
  const Cellchecker& tester_;
  PhysicalAddresses& addresses_;
  const RunFacts& facts_;
  Clock now_;
  std::unique_ptr<Transcript> transcript_;
  std::unique_ptr<ReportFiles> files_;
  std::string none_;
  time_t started_ = 0;
  bool begun_ = false;
  time_t begin_ = 0;
  bool haveVerdict_ = false;
  Verdict verdict_ = {};
  MemoryPicture picture_;
  bool pictured_ = false;

  // The history file as start-up read it, this machine's runs in it, and
  // what they said before this run.
  std::string historyText_;
  std::vector<RunRecord> earlierRuns_;
  HistoryConclusion startConclusion_;

  // What the last write held.
  bool writtenOnce_ = false;
  time_t lastWrite_ = 0;
  time_t lastFindingWrite_ = 0;
  u64 findingsWritten_ = 0;
  int summariesWritten_ = 0;

  // The tables of errors: by the kind of error (a pair, or one word of
  // bank A or B), the two places, the bits and a one-word error's index.
  std::map<std::tuple<int, u64, u64, u32, u64>, ErrorRow> rows_;
  u64 errorsTaken_ = 0;
  u64 errorsNotInTable_ = 0;
};

#endif  // CELLCHECK_STICKREPORT_STICK_REPORT_H_
