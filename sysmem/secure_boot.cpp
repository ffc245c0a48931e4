#include "sysmem/secure_boot.h"

#include <cstring>

#include "base/text.h"

namespace {

// The line Debian's kernel logs when UEFI started it. "could not be
// determined" is followed by the firmware's mode, such as " (mode 3)".
constexpr char kPrefix[] = "secureboot: Secure boot ";
constexpr char kEnabled[] = "enabled";
constexpr char kDisabled[] = "disabled";
constexpr char kUndetermined[] = "could not be determined";
// The first line the kernel logs: with it the log is whole.
constexpr char kFirstLine[] = "Linux version ";

// Where the message of the line starting at `at` begins: past "<6>" and
// "[    0.000000] ", either of which may be missing.
size_t messageStart(const std::string& log, size_t at, size_t end) {
  if (at < end && log[at] == '<') {
    const size_t close = log.find('>', at);
    if (close < end) at = close + 1;
  }
  if (at < end && log[at] == '[') {
    const size_t close = log.find(']', at);
    if (close < end) at = close + 1;
    while (at < end && log[at] == ' ') ++at;
  }
  return at;
}

// The rest of the line, without trailing blanks, is exactly `word`.
bool endsLineWith(const std::string& log, size_t at, size_t end,
                  const char* word) {
  while (end > at && (log[end - 1] == ' ' || log[end - 1] == '\r')) --end;
  return end - at == strlen(word) && startsWith(log, word, at);
}

}  // namespace

SecureBoot secureBootFromLog(const std::string& log) {
  if (log.empty()) return SecureBoot::kLogUnreadable;
  bool whole = false;
  for (size_t line = 0; line < log.size();) {
    size_t end = log.find('\n', line);
    if (end == std::string::npos) end = log.size();
    const size_t message = messageStart(log, line, end);
    if (startsWith(log, kFirstLine, message)) whole = true;
    if (startsWith(log, kPrefix, message)) {
      const size_t state = message + strlen(kPrefix);
      if (endsLineWith(log, state, end, kEnabled)) return SecureBoot::kOn;
      if (endsLineWith(log, state, end, kDisabled)) return SecureBoot::kOff;
      if (startsWith(log, kUndetermined, state)) {
        return SecureBoot::kUndetermined;
      }
    }
    line = end + 1;
  }
  return whole ? SecureBoot::kBiosBoot : SecureBoot::kLogIncomplete;
}

const char* secureBootLine(SecureBoot state) {
  switch (state) {
    case SecureBoot::kOn:
      return "Secure Boot: on";
    case SecureBoot::kOff:
      return "Secure Boot: off";
    case SecureBoot::kUndetermined:
      return "Secure Boot: unknown (the firmware did not tell the kernel)";
    case SecureBoot::kBiosBoot:
      return "Secure Boot: not available (started by BIOS, not by UEFI)";
    case SecureBoot::kLogIncomplete:
      return "Secure Boot: unknown (the kernel's log has lost its first "
             "lines)";
    case SecureBoot::kLogUnreadable:
      return "Secure Boot: unknown (the kernel's log cannot be read)";
  }
  return "Secure Boot: unknown";
}
