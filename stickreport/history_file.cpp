#include "stickreport/history_file.h"

std::string readHistoryText(KernelDisks& disks, const std::string& folder) {
  std::string text;
  if (disks.readFile(folder + "/" + kHistoryFileName, kMaxHistoryBytes,
                     &text) != 0) {
    return std::string();
  }
  return text;
}

std::string historyWithRecord(const std::string& earlier,
                              const RunRecord& record) {
  const std::string line = encodeRunRecord(record);
  std::string text = earlier;
  if (!text.empty() && text.back() != '\n') text += '\n';
  if (text.size() + line.size() > kMaxHistoryBytes) {
    const size_t excess = text.size() + line.size() - kMaxHistoryBytes;
    const size_t cut = text.find('\n', excess == 0 ? 0 : excess - 1);
    text = cut == std::string::npos ? std::string() : text.substr(cut + 1);
  }
  return text + line;
}
