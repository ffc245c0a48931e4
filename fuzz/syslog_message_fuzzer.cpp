// The syslog message builder: any event, any machine name, any clock.
// Fields of the input cut at NUL bytes: HOSTNAME, MSGID, text, then
// parameter names and values in turn; the last eight bytes are the clock.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "events/syslog_message.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string hostname = field(input, '\0', 0);
  SyslogEvent event;
  event.severity = static_cast<Severity>(size % 8);
  event.msgid = field(input, '\0', 1);
  event.text = field(input, '\0', 2);
  for (int i = 3; i < 40; i += 2) {
    const std::string name = field(input, '\0', i);
    if (name.empty()) break;
    event.params.emplace_back(name, field(input, '\0', i + 1));
  }
  int64_t clock = 0;
  if (size >= 8) memcpy(&clock, data + size - 8, 8);

  const std::string message =
      formatSyslog(event, hostname, static_cast<time_t>(clock));
  // One datagram every receiver takes, all of it printable.
  FUZZ_CHECK(message.size() <= kMaxMessageBytes);
  FUZZ_CHECK(message.compare(0, 1, "<") == 0);
  FUZZ_CHECK(message.find('\n') == std::string::npos);
  FUZZ_CHECK(message.find('\0') == std::string::npos);
  return 0;
}
