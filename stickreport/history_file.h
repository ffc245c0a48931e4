// The runs' history on the report partition: one line per run of every
// machine booted from this stick (dimms/run_history.h), beside the reports.
// It is read once at start-up, bounded, and written whole each time the
// report is, the earlier runs' lines with this run's record as it stands
// last: written anew, synced and renamed like the reports, so a power-off
// leaves the last complete file, and a run cut short still leaves its
// record with the errors found so far.
#ifndef CELLCHECK_STICKREPORT_HISTORY_FILE_H_
#define CELLCHECK_STICKREPORT_HISTORY_FILE_H_

#include <cstddef>
#include <string>

#include "dimms/run_history.h"
#include "seam/disks.h"
#include "stickreport/report_files.h"

// Hidden, like the build mark: the partition lists the reports.
constexpr char kHistoryFileName[] = ".cellcheck-history";
// Hundreds of runs; the oldest lines give way past it.
constexpr size_t kMaxHistoryBytes = 256 * 1024;

// The file's text on the partition mounted at `folder` (empty when there
// is none), at most kMaxHistoryBytes of it.
std::string readHistoryText(KernelDisks& disks, const std::string& folder);

// `earlier` (the text read at start-up) with `record` appended, handed to
// `sink` as it stands (no copy of the file is made: the test area is taken
// by then): after a line feed of its own when `earlier` does not end with
// one, so a line torn by a power-off stays apart; the oldest whole lines
// left out to keep the file within kMaxHistoryBytes.
void writeHistory(const std::string& earlier, const RunRecord& record,
                  ReportSink& sink);

#endif  // CELLCHECK_STICKREPORT_HISTORY_FILE_H_
