#include "stickreport/history_file.h"

std::string readHistoryText(KernelDisks& disks, const std::string& folder) {
  std::string text;
  if (disks.readFile(folder + "/" + kHistoryFileName, kMaxHistoryBytes,
                     &text) != 0) {
    return std::string();
  }
  return text;
}

void writeHistory(const std::string& earlier, const RunRecord& record,
                  ReportSink& sink) {
  const std::string line = encodeRunRecord(record);
  const bool torn = !earlier.empty() && earlier.back() != '\n';
  const size_t whole = earlier.size() + (torn ? 1 : 0) + line.size();
  size_t from = 0;
  if (whole > kMaxHistoryBytes) {
    const size_t cut = earlier.find('\n', whole - kMaxHistoryBytes - 1);
    from = cut == std::string::npos ? earlier.size() : cut + 1;
  }
  sink.put(earlier.data() + from, earlier.size() - from);
  if (torn && from < earlier.size()) sink.put("\n", 1);
  sink.put(line);
}
