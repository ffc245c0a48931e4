// The run history file on the stick, as start-up reads it and reasons
// over this machine's runs.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "dimms/run_history.h"
#include "fuzz/fuzz_check.h"

namespace {

// Every line with a checksum that fits it, in place of its last word: the
// mutations then reach the fields and the reasoning, not only the check.
std::string signedLines(const std::string& text) {
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    const size_t last = line.rfind(' ');
    if (last != std::string::npos) line.erase(last);
    char crc[10];
    snprintf(crc, sizeof crc, " %08x", runLineChecksum(line));
    out += line + crc + "\n";
    at = end + 1;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  // The file as it is, or (first byte odd) with every line signed.
  const std::vector<RunRecord> records = parseRunHistory(
      size > 0 && (data[0] & 1) ? signedLines(text.substr(1)) : text);
  for (const RunRecord& r : records) {
    FUZZ_CHECK(r.modules.size() <= kMaxHistoryModules);
    FUZZ_CHECK(r.suspectPages.size() <= kMaxHistoryPages);
    FUZZ_CHECK(printableAscii(r.machine) && printableAscii(r.when));
    // What was read writes back as a record that reads the same.
    const std::string line = encodeRunRecord(r);
    const std::vector<RunRecord> again = parseRunHistory(line);
    FUZZ_CHECK(again.size() == 1 && encodeRunRecord(again[0]) == line);
  }
  const std::vector<ModuleInSlot> now =
      records.empty() ? std::vector<ModuleInSlot>() : records.back().modules;
  const std::vector<RunRecord> mine = machineRuns(records, "", now);
  FUZZ_CHECK(mine.size() <= records.size());
  const HistoryConclusion conclusion = concludeHistory(records, now);
  FUZZ_CHECK(!conclusion.lines.empty());
  for (const std::string& line : conclusion.lines) {
    FUZZ_CHECK(printableAscii(line));
  }
  if (conclusion.known) {
    FUZZ_CHECK(conclusion.serials.size() + conclusion.slots.size() == 1);
  }
  return 0;
}
