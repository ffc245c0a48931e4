#include "events/syslog_message.h"

#include <cstdio>

namespace {

// 2000-01-01T00:00:00Z: an earlier clock was never set.
constexpr time_t kClockSet = 946684800;
constexpr char kLineSeparator[] = " | ";
// The longest MSGID and parameter name RFC 5424 allows.
constexpr size_t kMaxNameBytes = 32;

std::string printable(const std::string& text) {
  std::string out;
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    out += (u >= ' ' && u < 127) ? c : '?';
  }
  return out;
}

// A MSGID or parameter name as RFC 5424 allows it: 1 to 32 printable ASCII
// characters without blanks, and for a parameter name none of '=', ']' and
// '"' either. Anything else becomes '_', so that a name can never end the
// structured data early or break the message's line.
std::string name(const std::string& given, bool parameter) {
  std::string out;
  for (char c : given.substr(0, kMaxNameBytes)) {
    const bool plain = c > ' ' && c <= '~' &&
                       !(parameter && (c == '=' || c == ']' || c == '"'));
    out += plain ? c : '_';
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
         (event.msgid.empty() ? "-" : name(event.msgid, false)) + " ";
}

std::string structuredData(
    const std::vector<std::pair<std::string, std::string>>& params,
    size_t count) {
  std::string data = std::string("[") + kSdId;
  for (size_t i = 0; i < count; ++i) {
    data += " " +
            (params[i].first.empty() ? "_" : name(params[i].first, true)) +
            "=\"";
    for (char c : printable(params[i].second)) {
      if (c == '"' || c == '\\' || c == ']') data += '\\';
      data += c;
    }
    data += '"';
  }
  return data + "]";
}

// Where a line that does not fit is split, and how its pieces say so: a
// piece that goes on ends with kContinues, the next begins with kContinued.
// A pasted piece then never passes for the whole line (a list of pages to
// fence off that is cut short would fence the wrong memory).
constexpr char kContinues[] = " (continues)";
constexpr char kContinued[] = "(continued) ";
// Text room below which lines are not split finer: only a head far larger
// than any this program posts leaves less, and its messages are cut.
constexpr size_t kMinRoom = 64;

// The length of the head of `text` to keep in a piece of at most `budget`
// bytes, cut between items: after the last "; " (between clauses), else the
// last ", " (between the items of a list), that keeps at least a quarter of
// the budget; else at the last blank (between words). Never inside a word
// (a number, an address), unless one word alone is longer than the budget.
// `next` is where the rest begins.
size_t cutBetweenItems(const std::string& text, size_t budget, size_t* next) {
  for (const char* separator : {"; ", ", "}) {
    const size_t at = text.rfind(separator, budget - 1);
    if (at != std::string::npos && at + 1 >= budget / 4) {
      *next = at + 2;
      return at + 1;  // the ';' or ',' stays with its item
    }
  }
  const size_t blank = text.rfind(' ', budget);
  if (blank != std::string::npos && blank > 0) {
    *next = blank + 1;
    return blank;
  }
  *next = budget;
  return budget;
}

// `line` as pieces of at most `room` bytes, split between items and marked.
void splitLine(std::string line, size_t room,
               std::vector<std::string>* pieces) {
  while (!line.empty() && line.back() == ' ') line.pop_back();
  std::string prefix;
  for (;;) {
    if (prefix.size() + line.size() <= room) {
      pieces->push_back(prefix + line);
      return;
    }
    const size_t budget = room - prefix.size() - (sizeof kContinues - 1);
    size_t next;
    const size_t kept = cutBetweenItems(line, budget, &next);
    pieces->push_back(prefix + line.substr(0, kept) + kContinues);
    line.erase(0, next);
    prefix = kContinued;
  }
}

// The texts of the parts: pieces of lines joined by " | " as long as they
// fit the room one message leaves beside `head` with a part parameter of
// `widestPart`, under `hostname`.
std::vector<std::string> partTexts(const SyslogEvent& head,
                                   const std::vector<std::string>& lines,
                                   const std::string& hostname,
                                   const std::string& widestPart) {
  // The clock's stamp is always 20 characters or the 1 of "-".
  SyslogEvent sizing = head;
  sizing.params.emplace_back("part", widestPart);
  sizing.text.clear();
  const size_t used = formatSyslog(sizing, hostname, kClockSet).size() + 1;
  size_t room = used < kMaxMessageBytes ? kMaxMessageBytes - used : 0;
  if (room < kMinRoom) room = kMinRoom;

  std::vector<std::string> pieces;
  for (const std::string& line : lines) {
    splitLine(printable(line), room, &pieces);
  }
  std::vector<std::string> texts;
  for (const std::string& piece : pieces) {
    if (!texts.empty() &&
        texts.back().size() + sizeof kLineSeparator - 1 + piece.size() <=
            room) {
      texts.back() += kLineSeparator + piece;
    } else {
      texts.push_back(piece);
    }
  }
  return texts;
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
  // A part parameter as wide as the count of parts needs: sized for one
  // digit first, and again one digit wider whenever the parts outnumber it.
  for (size_t digits = 1;; ++digits) {
    const std::string widest(digits, '9');
    const std::vector<std::string> texts =
        partTexts(head, lines, hostname, widest + "/" + widest);
    if (std::to_string(texts.size()).size() > digits) continue;
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
}
