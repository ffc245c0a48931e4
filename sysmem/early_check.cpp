#include "sysmem/early_check.h"

#include <cstdio>
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

// "  0x0000000000100000 - 0x0000000031000000 pattern 5555555555555555":
// one range of one pass.
bool passLine(const char* message, unsigned long long* pattern) {
  unsigned long long begin;
  unsigned long long end;
  int used = 0;
  return sscanf(message, " 0x%llx - 0x%llx pattern %llx%n", &begin, &end,
                pattern, &used) == 3 &&
         message[used] == '\0';
}

// "  5555555555555555 bad mem addr 0x0000000012345000 - 0x0000000012345008
// reserved": a stretch that failed, which the kernel reserved.
bool badLine(const char* message, EarlyCheck::Range* range) {
  unsigned long long pattern;
  unsigned long long begin;
  unsigned long long end;
  int used = 0;
  if (sscanf(message, " %llx bad mem addr 0x%llx - 0x%llx reserved%n", &pattern,
             &begin, &end, &used) != 3 ||
      message[used] != '\0') {
    return false;
  }
  *range = EarlyCheck::Range{begin, end};
  return true;
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
  unsigned long long lastPattern = 0;
  size_t at = 0;
  while (at < kernelLog.size()) {
    size_t end = kernelLog.find('\n', at);
    if (end == std::string::npos) end = kernelLog.size();
    const std::string line = kernelLog.substr(at, end - at);
    at = end + 1;
    const char* message = messageOf(line);
    unsigned count;
    if (sscanf(message, "early_memtest: # of tests: %u", &count) == 1) {
      // A second header would be a second boot's log: start afresh.
      headerSeen = true;
      check.patterns = count;
      check.passes = 0;
      check.bad.clear();
      inPass = false;
      continue;
    }
    if (!headerSeen) continue;
    unsigned long long pattern;
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
