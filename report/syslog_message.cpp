#include "report/syslog_message.h"

#include <cstdio>

namespace {

// 2000-01-01T00:00:00Z: an earlier clock was never set.
constexpr time_t kClockSet = 946684800;
constexpr char kLineSeparator[] = " | ";
// A part parameter as wide as any this program writes, for sizing.
constexpr char kWidestPart[] = "99/99";
constexpr size_t kMaxParts = 99;

std::string printable(const std::string& text) {
  std::string out;
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    out += (u >= ' ' && u < 127) ? c : '?';
  }
  return out;
}

std::string header(const SyslogEvent& event, const std::string& hostname,
                   time_t timestamp) {
  char stamp[32] = "-";
  if (timestamp >= kClockSet) {
    tm utc;
    gmtime_r(&timestamp, &utc);
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
  }
  std::string host;
  for (char c : hostname) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u > ' ' && u < 127 && host.size() < 255) host += c;
  }
  if (host.empty()) host = "-";
  return "<" + std::to_string(kFacility * 8 + event.severity) + ">1 " + stamp +
         " " + host + " " + kAppName + " - " +
         (event.msgid.empty() ? "-" : event.msgid) + " ";
}

std::string structuredData(
    const std::vector<std::pair<std::string, std::string>>& params,
    size_t count) {
  std::string data = std::string("[") + kSdId;
  for (size_t i = 0; i < count; ++i) {
    data += " " + params[i].first + "=\"";
    for (char c : printable(params[i].second)) {
      if (c == '"' || c == '\\' || c == ']') data += '\\';
      data += c;
    }
    data += '"';
  }
  return data + "]";
}

}  // namespace

std::string formatSyslog(const SyslogEvent& event, const std::string& hostname,
                         time_t timestamp) {
  std::string message = header(event, hostname, timestamp);
  size_t count = event.params.size();
  std::string data = structuredData(event.params, count);
  while (count > 0 && message.size() + data.size() > kMaxMessageBytes) {
    data = structuredData(event.params, --count);
  }
  message += data;
  const std::string text = printable(event.text);
  if (!text.empty() && message.size() + 1 < kMaxMessageBytes) {
    message += " " + text.substr(0, kMaxMessageBytes - message.size() - 1);
  }
  return message.substr(0, kMaxMessageBytes);
}

std::vector<SyslogEvent> splitLines(const SyslogEvent& head,
                                    const std::vector<std::string>& lines,
                                    const std::string& hostname) {
  // The room left for text in one message, with a part parameter of the
  // widest kind; the clock's stamp is always 20 characters or the 1 of "-".
  SyslogEvent sizing = head;
  sizing.params.emplace_back("part", kWidestPart);
  sizing.text.clear();
  const size_t used = formatSyslog(sizing, hostname, kClockSet).size() + 1;
  const size_t room = used < kMaxMessageBytes ? kMaxMessageBytes - used : 0;

  std::vector<std::string> texts;
  for (const std::string& line : lines) {
    const std::string piece = printable(line).substr(0, room);
    if (!texts.empty() &&
        texts.back().size() + sizeof kLineSeparator - 1 + piece.size() <=
            room) {
      texts.back() += kLineSeparator + piece;
    } else if (texts.size() < kMaxParts) {
      texts.push_back(piece);
    }
  }
  std::vector<SyslogEvent> events;
  for (size_t i = 0; i < texts.size(); ++i) {
    SyslogEvent event = head;
    if (texts.size() > 1) {
      event.params.emplace_back(
          "part", std::to_string(i + 1) + "/" + std::to_string(texts.size()));
    }
    event.text = texts[i];
    events.push_back(event);
  }
  return events;
}
