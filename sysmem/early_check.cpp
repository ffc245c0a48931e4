#include "sysmem/early_check.h"

#include <cstdlib>
#include <cstring>

namespace {

// The kernel's table of patterns; a bare "memtest" runs them all.
constexpr unsigned kAllPatterns = 17;

// The message of one log line, after its "<level>" and "[seconds] " marks.
const char* messageOf(const std::string& line) {
  const char* text = line.c_str();
  if (*text == '<') {
    const char* close = strchr(text, '>');
    if (close != nullptr) text = close + 1;
  }
  if (*text == '[') {
    const char* close = strstr(text, "] ");
    if (close != nullptr) text = close + 2;
  }
  return text;
}

// x86-64 physical addresses have at most 52 bits: a range that ends above
// is not one the kernel logged.
constexpr u64 kPhysicalAddressEnd = u64{1} << 52;

// One message read as the kernel prints it: blanks, fixed words, and numbers
// that fit the types the kernel prints them from. Unlike sscanf it takes no
// sign, and refuses a number too long for its type instead of saturating.
class Reader {
 public:
  explicit Reader(const char* text) : at_(text) {}

  void blanks() {
    while (*at_ == ' ' || *at_ == '\t') ++at_;
  }
  bool word(const char* expected) {
    blanks();
    const size_t length = strlen(expected);
    if (strncmp(at_, expected, length) != 0) return false;
    at_ += length;
    return true;
  }
  // 1 to 16 hex digits: a 64-bit value.
  bool hex(u64* value) {
    blanks();
    u64 read = 0;
    int digits = 0;
    for (;; ++digits, ++at_) {
      const char c = *at_;
      unsigned digit;
      if (c >= '0' && c <= '9') {
        digit = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<unsigned>(c - 'A' + 10);
      } else {
        break;
      }
      if (digits == 16) return false;
      read = read << 4 | digit;
    }
    *value = read;
    return digits != 0;
  }
  // A decimal unsigned int, as %u prints one: 0 to 4294967295.
  bool decimal(unsigned* value) {
    blanks();
    u64 read = 0;
    int digits = 0;
    for (; *at_ >= '0' && *at_ <= '9'; ++at_, ++digits) {
      read = read * 10 + static_cast<u64>(*at_ - '0');
      if (read > 0xFFFFFFFFull) return false;
    }
    *value = static_cast<unsigned>(read);
    return digits != 0;
  }
  bool end() {
    blanks();
    return *at_ == '\0';
  }

 private:
  const char* at_;
};

// "  0x0000000000100000 - 0x0000000031000000 pattern 5555555555555555":
// one range of one pass.
bool passLine(const char* message, u64* pattern) {
  Reader reader(message);
  u64 begin;
  u64 end;
  return reader.word("0x") && reader.hex(&begin) && reader.word("-") &&
         reader.word("0x") && reader.hex(&end) && reader.word("pattern") &&
         reader.hex(pattern) && reader.end();
}

// "  5555555555555555 bad mem addr 0x0000000012345000 - 0x0000000012345008
// reserved": a stretch that failed, which the kernel reserved. A range that
// is empty, inverted or past the physical address space is no stretch of
// memory: such a line is neither shown nor recorded.
bool badLine(const char* message, EarlyCheck::Range* range) {
  Reader reader(message);
  u64 pattern;
  u64 begin;
  u64 end;
  if (!(reader.hex(&pattern) && reader.word("bad mem addr") &&
        reader.word("0x") && reader.hex(&begin) && reader.word("-") &&
        reader.word("0x") && reader.hex(&end) && reader.word("reserved") &&
        reader.end())) {
    return false;
  }
  if (begin >= end || end > kPhysicalAddressEnd) return false;
  *range = EarlyCheck::Range{begin, end};
  return true;
}

// "early_memtest: # of tests: 3": the header of the check, with the number
// of patterns (never 0: the kernel logs nothing then).
bool headerLine(const char* message, unsigned* patterns) {
  Reader reader(message);
  return reader.word("early_memtest: # of tests:") &&
         reader.decimal(patterns) && *patterns != 0 && reader.end();
}

}  // namespace

unsigned memtestPatterns(const std::string& commandLine) {
  unsigned patterns = 0;
  size_t at = 0;
  while (at < commandLine.size()) {
    const size_t end = commandLine.find_first_of(" \t\n", at);
    const std::string word = commandLine.substr(at, end - at);
    at = end == std::string::npos ? commandLine.size() : end + 1;
    if (word == "memtest") {
      patterns = kAllPatterns;
    } else if (word.compare(0, 8, "memtest=") == 0 && word.size() > 8) {
      // As the kernel reads it: a whole unsigned number in any base C
      // knows, or the parameter is ignored.
      char* rest = nullptr;
      const unsigned long long value = strtoull(word.c_str() + 8, &rest, 0);
      if (*rest == '\0' && word[8] != '-' && value <= 0xFFFFFFFFull) {
        patterns = static_cast<unsigned>(value);
      }
    }
  }
  return patterns;
}

EarlyCheck readEarlyCheck(const std::string& commandLine,
                          const std::string& kernelLog) {
  EarlyCheck check;
  check.patterns = memtestPatterns(commandLine);
  if (check.patterns == 0) return check;  // kOff

  bool headerSeen = false;
  bool inPass = false;
  u64 lastPattern = 0;
  size_t at = 0;
  while (at < kernelLog.size()) {
    size_t end = kernelLog.find('\n', at);
    if (end == std::string::npos) end = kernelLog.size();
    const std::string line = kernelLog.substr(at, end - at);
    at = end + 1;
    const char* message = messageOf(line);
    unsigned count;
    if (headerLine(message, &count)) {
      // A second header would be a second boot's log: start afresh.
      headerSeen = true;
      check.patterns = count;
      check.passes = 0;
      check.bad.clear();
      inPass = false;
      continue;
    }
    if (!headerSeen) continue;
    u64 pattern;
    EarlyCheck::Range range;
    if (passLine(message, &pattern)) {
      // Each pass logs one line per free range, all with its pattern; the
      // next pass has another pattern.
      if (!inPass || pattern != lastPattern) ++check.passes;
      inPass = true;
      lastPattern = pattern;
    } else if (badLine(message, &range)) {
      check.bad.push_back(range);
    }
  }
  if (!headerSeen) {
    check.state = EarlyCheck::State::kLost;
  } else if (!check.bad.empty()) {
    check.state = EarlyCheck::State::kFoundBad;
  } else if (check.passes < check.patterns) {
    check.state = EarlyCheck::State::kIncomplete;
  } else {
    check.state = EarlyCheck::State::kPassed;
  }
  return check;
}
