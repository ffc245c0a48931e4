#include "dimms/run_history.h"

#include <cstdio>

#include "base/wording.h"
#include "dimms/dimm_text.h"

namespace {

constexpr char kTag[] = "cellcheck-run/1";
constexpr size_t kMaxLine = 16384;
constexpr size_t kMaxRecords = 1024;  // the latest runs
constexpr size_t kFields = 10;        // the tag, eight values, the checksum

// A value as one word: blanks, controls, bytes above 0x7e and the
// separators ('%', ',', '=') as %XX.
std::string escaped(const std::string& value) {
  std::string out;
  for (unsigned char c : value) {
    if (c <= ' ' || c > '~' || c == '%' || c == ',' || c == '=') {
      char code[4];
      snprintf(code, sizeof code, "%%%02X", c);
      out += code;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of a word. The file is outside input (anyone can edit the
// stick): what it gives back is printable ASCII, a byte outside it '?',
// and no longer than kMaxDimmText.
bool unescaped(const std::string& word, std::string* value) {
  value->clear();
  for (size_t i = 0; i < word.size(); ++i) {
    char c = word[i];
    if (c == '%') {
      if (i + 2 >= word.size()) return false;
      const int high = hexDigit(word[i + 1]);
      const int low = hexDigit(word[i + 2]);
      if (high < 0 || low < 0) return false;
      c = static_cast<char>(high << 4 | low);
      i += 2;
    }
    if (value->size() == kMaxDimmText) return false;
    *value += c >= ' ' && c <= '~' ? c : '?';
  }
  return true;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (true) {
    const size_t end = text.find(separator, at);
    parts.push_back(text.substr(at, end - at));
    if (end == std::string::npos) return parts;
    at = end + 1;
  }
}

// Decimal (at most 19 digits) or lowercase hex (at most 16): no overflow.
bool number(const std::string& word, unsigned base, u64* value) {
  if (word.empty() || word.size() > (base == 10 ? 19u : 16u)) return false;
  *value = 0;
  for (char c : word) {
    unsigned digit = base;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (digit >= base) return false;
    *value = *value * base + digit;
  }
  return true;
}

const char* outcomeWord(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::kPass:
      return "PASS";
    case RunOutcome::kFail:
      return "FAIL";
    default:
      return "STOPPED";
  }
}

bool parseOutcome(const std::string& word, RunOutcome* outcome) {
  for (RunOutcome o :
       {RunOutcome::kPass, RunOutcome::kFail, RunOutcome::kStopped}) {
    if (word == outcomeWord(o)) {
      *outcome = o;
      return true;
    }
  }
  return false;
}

bool parseModules(const std::string& word, std::vector<ModuleInSlot>* out) {
  if (word.empty()) return true;
  for (const std::string& pair : split(word, ',')) {
    const std::vector<std::string> parts = split(pair, '=');
    ModuleInSlot module;
    if (parts.size() != 2 || !unescaped(parts[0], &module.slot) ||
        !unescaped(parts[1], &module.serial) ||
        out->size() == kMaxHistoryModules) {
      return false;
    }
    out->push_back(module);
  }
  return true;
}

bool parsePages(const std::string& word, std::vector<u64>* out) {
  if (word.empty()) return true;
  for (const std::string& page : split(word, ',')) {
    u64 address = 0;
    if (!number(page, 16, &address) || out->size() == kMaxHistoryPages) {
      return false;
    }
    out->push_back(address);
  }
  return true;
}

// The record that starts at `line` (its tag first), if whole.
bool parseRecord(const std::string& line, RunRecord* record) {
  const size_t last = line.rfind(' ');
  if (last == std::string::npos) return false;
  char crc[9];
  snprintf(crc, sizeof crc, "%08x", runLineChecksum(line.substr(0, last)));
  if (line.compare(last + 1, std::string::npos, crc) != 0) return false;
  const std::vector<std::string> words = split(line, ' ');
  if (words.size() != kFields || words[0] != kTag) return false;
  u64 percent = 0;
  if (!number(words[6], 10, &percent) || percent > 0xffffffffu) return false;
  record->coveragePercent = static_cast<u32>(percent);
  return unescaped(words[1], &record->machine) &&
         unescaped(words[2], &record->when) &&
         parseOutcome(words[3], &record->outcome) &&
         number(words[4], 10, &record->errors) &&
         number(words[5], 10, &record->testedSeconds) &&
         parseModules(words[7], &record->modules) &&
         parsePages(words[8], &record->suspectPages);
}

}  // namespace

u32 runLineChecksum(const std::string& text) {
  u32 crc = 0xffffffff;
  for (unsigned char c : text) {
    crc ^= c;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc >> 1) ^ (0xedb88320 & (0u - (crc & 1)));
    }
  }
  return ~crc;
}

std::string encodeRunRecord(const RunRecord& record) {
  std::string modules;
  for (size_t i = 0; i < record.modules.size() && i < kMaxHistoryModules; ++i) {
    modules += (i ? "," : "") + escaped(record.modules[i].slot) + "=" +
               escaped(record.modules[i].serial);
  }
  std::string pages;
  for (size_t i = 0; i < record.suspectPages.size() && i < kMaxHistoryPages;
       ++i) {
    char page[20];
    snprintf(page, sizeof page, "%s%llx", i ? "," : "",
             ull(record.suspectPages[i]));
    pages += page;
  }
  std::string line = std::string(kTag) + " " + escaped(record.machine) + " " +
                     escaped(record.when) + " " + outcomeWord(record.outcome) +
                     " " + std::to_string(record.errors) + " " +
                     std::to_string(record.testedSeconds) + " " +
                     std::to_string(record.coveragePercent) + " " + modules +
                     " " + pages;
  char crc[10];
  snprintf(crc, sizeof crc, " %08x", runLineChecksum(line));
  return line + crc + "\n";
}

std::vector<RunRecord> parseRunHistory(const std::string& text) {
  std::vector<RunRecord> records;
  for (const std::string& line : split(text, '\n')) {
    if (line.size() > kMaxLine) continue;
    // A line torn by a power-off and appended to later holds the whole
    // record after its last tag.
    for (size_t at = line.find(kTag); at != std::string::npos;
         at = line.find(kTag, at + 1)) {
      RunRecord record;
      if (parseRecord(line.substr(at), &record)) {
        records.push_back(record);
        break;
      }
    }
  }
  if (records.size() > kMaxRecords) {
    records.erase(records.begin(), records.end() - kMaxRecords);
  }
  return records;
}
