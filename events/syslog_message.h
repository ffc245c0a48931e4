// Events as RFC 5424 syslog messages, each sent as one UDP datagram (RFC
// 5426): "<PRI>1 TIMESTAMP HOSTNAME cellcheck - MSGID [cellcheck@32473
// name="value" ...] text". The machine's serial number is the HOSTNAME, so a
// collector files each machine's events apart; the structured data carries
// the figures for programs, the text the same for people.
#ifndef CELLCHECK_EVENTS_SYSLOG_MESSAGE_H_
#define CELLCHECK_EVENTS_SYSLOG_MESSAGE_H_

#include <ctime>
#include <string>
#include <utility>
#include <vector>

// The structured data's SD-ID: a name of ours and, after the '@', an
// enterprise number. 32473 is the number set aside for documentation; it
// stands until Cellcheck has one of its own.
constexpr char kSdId[] = "cellcheck@32473";
constexpr char kAppName[] = "cellcheck";
// The size every IPv4 receiver must take in one datagram: no message is
// longer, whatever the network's MTU.
constexpr size_t kMaxMessageBytes = 480;
// Facility "user" (1): what a program that is not a system daemon uses.
constexpr int kFacility = 1;

enum Severity {
  kSeverityAlert = 1,
  kSeverityError = 3,
  kSeverityWarning = 4,
  kSeverityNotice = 5,
  kSeverityInfo = 6,
};

struct SyslogEvent {
  Severity severity = kSeverityInfo;
  std::string msgid;  // what happened: "start", "progress", "error", ...
  // Parameter names of printable ASCII without '=', ' ', ']' or '"', at most
  // 32 characters; values of any printable ASCII.
  std::vector<std::pair<std::string, std::string>> params;
  std::string text;  // printable ASCII
};

// The message, at most kMaxMessageBytes long: when the whole would be
// longer, the text is cut, and when the structured data alone is too long,
// its last parameters are left out. A MSGID or parameter name that is not
// one RFC 5424 allows has its other bytes as '_', cut to 32. `hostname` empty
// is sent as "-"; a time before 2000 (a clock never set) as "-".
std::string formatSyslog(const SyslogEvent& event, const std::string& hostname,
                         time_t timestamp);

// The lines as events like `head`, each message at most kMaxMessageBytes
// under `hostname` (or any shorter name) and any time stamp: as many lines to
// an event as fit, joined by " | ", each event with a part="K/N" parameter
// when there is more than one. A line too long for one event is split
// between its items ("; " or ", " separated, or blank-separated words),
// never inside a number; the piece that goes on ends with " (continues)" and
// the next one begins with "(continued) ".
std::vector<SyslogEvent> splitLines(const SyslogEvent& head,
                                    const std::vector<std::string>& lines,
                                    const std::string& hostname);

#endif  // CELLCHECK_EVENTS_SYSLOG_MESSAGE_H_
