// The kernel command line: any bytes, read as cellcheck.* options.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/host_address.h"
#include "fuzz/fuzz_check.h"
#include "options/run_options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string cmdline(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> complaints;
  const RunOptions options = parseRunOptions(cmdline, &complaints);
  // Complaints go to the console as they are: one printable line each.
  for (const std::string& complaint : complaints) {
    FUZZ_CHECK(printableAscii(complaint));
  }
  FUZZ_CHECK(options.seconds <= kMaxSeconds);
  FUZZ_CHECK(options.coverage >= 0 && options.coverage <= 1000000);
  FUZZ_CHECK(options.syslogPort != 0);
  FUZZ_CHECK(options.syslogHost.empty() || isHostAddress(options.syslogHost));
  FUZZ_CHECK(options.syslog || options.syslogHost.empty());
  FUZZ_CHECK(printableAscii(describeRunOptions(options)));

  uint64_t seconds = 0;
  if (parseDuration(cmdline, &seconds)) {
    FUZZ_CHECK(seconds != 0 && seconds <= kMaxSeconds);
  }
  return 0;
}
