// The kernel's log and command line as start-up reads them: the early
// memory check's lines and the Secure Boot line. The first line of the input
// is the command line, the rest the log.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "sysmem/early_check.h"
#include "sysmem/secure_boot.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  const std::string commandLine = input.substr(0, newline);
  const std::string log =
      newline == std::string::npos ? std::string() : input.substr(newline + 1);

  const EarlyCheck check = readEarlyCheck(commandLine, log);
  // Every bad range is a stretch of physical memory: shown and recorded
  // alike, never empty, inverted or wrapped.
  for (const EarlyCheck::Range& range : check.bad) {
    FUZZ_CHECK(range.begin < range.end);
    FUZZ_CHECK(range.end <= (uint64_t{1} << 52));
  }
  FUZZ_CHECK((check.state == EarlyCheck::State::kFoundBad) ==
             !check.bad.empty());
  if (check.state == EarlyCheck::State::kOff) {
    FUZZ_CHECK(memtestPatterns(commandLine) == 0);
  } else {
    FUZZ_CHECK(check.patterns != 0);
  }
  if (check.state == EarlyCheck::State::kPassed) {
    FUZZ_CHECK(check.passes >= check.patterns);
  }
  FUZZ_CHECK(secureBootLine(secureBootFromLog(log)) != nullptr);
  return 0;
}
