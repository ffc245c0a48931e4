// The summary split: any lines, any machine name. The first line of the
// input is the name, the others are the summary's lines, made printable and
// kept free of '|' and '(' so that the parts can be read back unambiguously.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "events/syslog_message.h"
#include "fuzz/fuzz_check.h"

namespace {

constexpr time_t kNoon = 1796910900;
const std::string kContinues = " (continues)";
const std::string kContinued = "(continued) ";

std::string withoutBlanks(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c != ' ') out += c;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string hostname = field(input, '\n', 0).substr(0, 64);
  std::vector<std::string> lines;
  for (int i = 1;; ++i) {
    std::string line = field(input, '\n', i);
    if (line.empty() && field(input, '\n', i + 1).empty()) break;
    for (char& c : line) {
      if (c < ' ' || c > '~' || c == '|' || c == '(') c = ' ';
    }
    lines.push_back(line);
  }
  SyslogEvent head;
  head.severity = kSeverityWarning;
  head.msgid = "summary";
  head.params = {{"seq", "9999999999"}};
  const std::vector<SyslogEvent> parts = splitLines(head, lines, hostname);

  std::string pieces;
  for (size_t i = 0; i < parts.size(); ++i) {
    const std::string message = formatSyslog(parts[i], hostname, kNoon);
    // Every part fits, whole.
    FUZZ_CHECK(message.size() <= kMaxMessageBytes);
    FUZZ_CHECK(message.size() >= parts[i].text.size() &&
               message.compare(message.size() - parts[i].text.size(),
                               std::string::npos, parts[i].text) == 0);
    if (parts.size() > 1) {
      FUZZ_CHECK(parts[i].params.back().second ==
                 std::to_string(i + 1) + "/" + std::to_string(parts.size()));
    }
    pieces += (i == 0 ? "" : " | ") + parts[i].text;
  }
  // Nothing lost, nothing added, in order: the lines' text is the parts'
  // text less the marks and the blanks a split took.
  std::string all;
  for (const std::string& line : lines) all += line;
  std::string read;
  for (size_t at = 0; at < pieces.size();) {
    size_t bar = pieces.find(" | ", at);
    if (bar == std::string::npos) bar = pieces.size();
    std::string piece = pieces.substr(at, bar - at);
    if (piece.size() >= kContinues.size() &&
        piece.compare(piece.size() - kContinues.size(), std::string::npos,
                      kContinues) == 0) {
      piece.erase(piece.size() - kContinues.size());
    }
    if (piece.compare(0, kContinued.size(), kContinued) == 0) {
      piece.erase(0, kContinued.size());
    }
    read += piece;
    at = bar + 3;
  }
  FUZZ_CHECK(withoutBlanks(read) == withoutBlanks(all));
  return 0;
}
