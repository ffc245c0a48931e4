// The report's files on the mounted report partition: one pair a run (a
// text file and a page), named once at the run's start, never a name an
// older report has. Each time the report is written it goes into a new
// file, which is synced to the disk and only then renamed over the last
// complete one: a machine switched off at any moment leaves the previous
// complete report. The first write that fails (a stick pulled out, a full
// partition, a broken disk) ends all writing; the caller says so once.
#ifndef CELLCHECK_STICKREPORT_REPORT_FILES_H_
#define CELLCHECK_STICKREPORT_REPORT_FILES_H_

#include <cstddef>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "seam/disks.h"

// No file is ever larger: a report that would be keeps its head and its
// last part (stickreport/transcript.h).
constexpr size_t kMaxReportFileBytes = 4 * 1024 * 1024;

// Bytes of one file, handed to the disk in large pieces as they come.
class ReportSink {
 public:
  virtual ~ReportSink() = default;
  virtual void put(const char* text, size_t length) = 0;
  void put(const std::string& text) { put(text.data(), text.size()); }
};

class ReportFiles {
 public:
  // `folder`: where the partition is mounted.
  ReportFiles(KernelDisks& disks, std::string folder);

  // Names the run's pair SERIAL_YYYY-MM-DD_HH-MM-SS, from the machine's
  // name (`machine`, "unknown" when empty) and the clock at `started`
  // (Linux reads the real-time clock as UTC, so UTC gives its own date and
  // time); with -2, -3, ... when an older report has that name.
  void name(const std::string& machine, time_t started);
  // The pair's name, without an extension ("" before name()).
  const std::string& base() const { return base_; }

  // Writes BASE.`extension` anew: `produce` hands its bytes to the sink.
  // 0, or the error number of the first failure, after which nothing is
  // written any more.
  int write(const char* extension,
            const std::function<void(ReportSink&)>& produce);

  // Writes the file `name` of the partition anew, the same way: a file
  // beside the pair that every run rewrites (the runs' history).
  int writeNamed(const std::string& name,
                 const std::function<void(ReportSink&)>& produce);

  bool failed() const { return error_ != 0; }
  int error() const { return error_; }

  // Bytes handed to the disk at once.
  static constexpr size_t kPieceBytes = 64 * 1024;
  // Past this, a name's counter gives up: the partition is full of
  // reports of this machine at this second.
  static constexpr int kMaxCounter = 999;

 private:
  bool taken(const std::string& base);
  int writeAt(const std::string& finished,
              const std::function<void(ReportSink&)>& produce);
  std::string path(const std::string& base, const char* extension) const;

  KernelDisks& disks_;
  std::string folder_;
  std::string base_;
  int error_ = 0;
  std::unique_ptr<char[]> piece_;
};

#endif  // CELLCHECK_STICKREPORT_REPORT_FILES_H_
