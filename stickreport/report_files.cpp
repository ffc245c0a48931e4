#include "stickreport/report_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

// The new file, until it is complete and renamed.
constexpr char kNewSuffix[] = ".new";
// Every extension a pair may have, new files included.
const char* const kExtensions[] = {".txt", ".html", ".txt.new", ".html.new"};

// Collects the bytes and hands them to the disk in pieces.
class DiskSink : public ReportSink {
 public:
  DiskSink(KernelDisks& disks, int file, char* piece, size_t pieceBytes)
      : disks_(disks), file_(file), piece_(piece), pieceBytes_(pieceBytes) {}

  void put(const char* text, size_t length) override {
    while (length != 0 && error_ == 0) {
      const size_t room = pieceBytes_ - used_;
      const size_t now = length < room ? length : room;
      memcpy(piece_ + used_, text, now);
      used_ += now;
      text += now;
      length -= now;
      if (used_ == pieceBytes_) flush();
    }
  }
  // 0 or the first error.
  int finish() {
    if (error_ == 0) flush();
    return error_;
  }

 private:
  void flush() {
    if (used_ != 0) error_ = disks_.writeFile(file_, piece_, used_);
    used_ = 0;
  }

  KernelDisks& disks_;
  int file_;
  char* piece_;
  size_t pieceBytes_;
  size_t used_ = 0;
  int error_ = 0;
};

}  // namespace

ReportFiles::ReportFiles(KernelDisks& disks, std::string folder)
    : disks_(disks),
      folder_(std::move(folder)),
      piece_(new char[kPieceBytes]) {}

std::string ReportFiles::path(const std::string& base,
                              const char* extension) const {
  return folder_ + "/" + base + extension;
}

bool ReportFiles::taken(const std::string& base) {
  for (const char* extension : kExtensions) {
    if (disks_.exists(path(base, extension))) return true;
  }
  return false;
}

void ReportFiles::name(const std::string& machine, time_t started) {
  struct tm utc = {};
  gmtime_r(&started, &utc);
  char when[32];
  strftime(when, sizeof when, "%Y-%m-%d_%H-%M-%S", &utc);
  const std::string first =
      (machine.empty() ? "unknown" : machine) + "_" + when;
  base_ = first;
  for (int counter = 2; taken(base_) && counter <= kMaxCounter; ++counter) {
    base_ = first + "-" + std::to_string(counter);
  }
  if (taken(base_)) error_ = EEXIST;
}

int ReportFiles::write(const char* extension,
                       const std::function<void(ReportSink&)>& produce) {
  return writeAt(path(base_, extension), produce);
}

int ReportFiles::writeNamed(const std::string& name,
                            const std::function<void(ReportSink&)>& produce) {
  return writeAt(folder_ + "/" + name, produce);
}

int ReportFiles::writeAt(const std::string& finished,
                         const std::function<void(ReportSink&)>& produce) {
  if (error_ != 0) return error_;
  const std::string fresh = finished + kNewSuffix;
  int file = -1;
  error_ = disks_.createFile(fresh, &file);
  if (error_ != 0) return error_;
  DiskSink sink(disks_, file, piece_.get(), kPieceBytes);
  produce(sink);
  const int written = sink.finish();
  const int synced = disks_.syncAndClose(file);
  error_ = written != 0 ? written : synced;
  // Only a complete file, on the disk, replaces the last one.
  if (error_ == 0) error_ = disks_.renameFile(fresh, finished);
  return error_;
}
