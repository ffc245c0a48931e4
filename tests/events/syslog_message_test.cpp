#include "events/syslog_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/events/summary_lines.h"

namespace {

// 2026-12-10T13:55:00Z
constexpr time_t kNoon = 1796910900;

TEST(SyslogMessageTest, FormatsAnRfc5424MessageWithStructuredData) {
  SyslogEvent event;
  event.severity = kSeverityNotice;
  event.msgid = "verdict";
  event.params = {{"result", "PASS"}, {"product", "Box \"9\" [x] a\\b"}};
  event.text = "PASS: 1002 MiB tested";
  EXPECT_EQ(formatSyslog(event, "SN-77", kNoon),
            "<13>1 2026-12-10T13:55:00Z SN-77 cellcheck - verdict "
            "[cellcheck@32473 result=\"PASS\" product=\"Box \\\"9\\\" [x\\] "
            "a\\\\b\"] PASS: 1002 MiB tested");
}

TEST(SyslogMessageTest, UnknownHostAndClockAreNilValues) {
  SyslogEvent event;
  event.severity = kSeverityError;
  event.msgid = "error";
  EXPECT_EQ(formatSyslog(event, "", 1000),
            "<11>1 - - cellcheck - error [cellcheck@32473]");
  // A HOSTNAME has no blanks or control characters.
  EXPECT_EQ(formatSyslog(event, "a b\x01", 1000).substr(0, 15),
            "<11>1 - ab cell");
}

// Found by the builder's harness: names went out as given, so a line feed
// or a ']' in one broke the message.
TEST(SyslogMessageTest, NamesAreAlwaysOnesTheRfcAllows) {
  struct Case {
    const char* name;
    std::string msgid;
    std::string param;
    const char* expected;
  };
  for (const Case& c : std::vector<Case>{
           {"plain", "summary", "part", "summary [cellcheck@32473 part=\"1\"]"},
           {"a line feed and a blank", "sum\nmary", "pa rt",
            "sum_mary [cellcheck@32473 pa_rt=\"1\"]"},
           {"what ends a parameter", "a]b", "x=\"]y",
            "a]b [cellcheck@32473 x___y=\"1\"]"},
           {"too long", std::string(40, 'm'), std::string(40, 'p'), nullptr},
           {"an empty name", "", "", "- [cellcheck@32473 _=\"1\"]"},
       }) {
    SyslogEvent event;
    event.msgid = c.msgid;
    event.params = {{c.param, "1"}};
    const std::string message = formatSyslog(event, "SN", kNoon);
    const std::string tail = message.substr(message.find("cellcheck - ") + 12);
    if (c.expected != nullptr) {
      EXPECT_EQ(tail, c.expected) << c.name;
    } else {
      EXPECT_EQ(tail, std::string(32, 'm') + " [cellcheck@32473 " +
                          std::string(32, 'p') + "=\"1\"]")
          << c.name;
    }
  }
}

TEST(SyslogMessageTest, NoMessageIsLongerThanADatagramEveryReceiverTakes) {
  SyslogEvent event;
  event.msgid = "start";
  event.params = {{"vendor", std::string(64, 'v')},
                  {"product", std::string(64, 'p')},
                  {"firmware", std::string(300, 'f')},
                  {"serial", std::string(64, 's')}};
  event.text = std::string(600, 't');
  const std::string message = formatSyslog(event, std::string(64, 'h'), kNoon);
  EXPECT_EQ(message.size(), kMaxMessageBytes);
  // The parameters that do not fit are left out whole, never cut.
  EXPECT_NE(message.find("product=\"" + std::string(64, 'p') + "\"]"),
            std::string::npos)
      << message;
  EXPECT_EQ(message.find("firmware"), std::string::npos);
}

TEST(SyslogMessageTest, LongSummariesAreSplitAtLinesIntoNumberedParts) {
  SyslogEvent head;
  head.msgid = "summary";
  std::vector<std::string> lines;
  for (int i = 0; i < 40; ++i) {
    lines.push_back("Line " + std::to_string(i) + std::string(30, '.'));
  }
  const std::vector<SyslogEvent> parts = splitLines(head, lines, "SN-77");
  ASSERT_GT(parts.size(), 1u);
  std::string rejoined;
  for (size_t i = 0; i < parts.size(); ++i) {
    const std::string message = formatSyslog(parts[i], "SN-77", kNoon);
    EXPECT_LE(message.size(), kMaxMessageBytes);
    ASSERT_EQ(parts[i].params.back().first, "part");
    EXPECT_EQ(parts[i].params.back().second,
              std::to_string(i + 1) + "/" + std::to_string(parts.size()));
    // The whole text made it into the message.
    EXPECT_NE(message.find(parts[i].text), std::string::npos);
    rejoined += (rejoined.empty() ? "" : " | ") + parts[i].text;
  }
  std::string all;
  for (const std::string& line : lines)
    all += (all.empty() ? "" : " | ") + line;
  EXPECT_EQ(rejoined, all);

  const std::vector<SyslogEvent> one = splitLines(head, {"a", "b"}, "SN-77");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].text, "a | b");
  EXPECT_TRUE(one[0].params.empty());
}

// The text of a message: what follows its structured data.
std::string textOf(const std::string& message) {
  size_t at = message.find("[cellcheck@32473");
  while (at < message.size() && message[at] != ']') {
    at += message[at] == '\\' ? 2 : 1;
  }
  return at + 2 <= message.size() ? message.substr(at + 2) : std::string();
}

TEST(SyslogMessageTest, LongLinesAreSplitBetweenItemsAndMarked) {
  const std::vector<std::string> lines = summaryLikeLines();
  SyslogEvent head;
  head.severity = kSeverityWarning;
  head.msgid = "summary";
  head.params = {{"seq", "9999999999"}};
  for (const std::string& host :
       {std::string(), std::string("255.255.255.255"), std::string(64, 'S')}) {
    SCOPED_TRACE("HOSTNAME " + host);
    const std::vector<SyslogEvent> parts = splitLines(head, lines, host);
    std::vector<std::string> texts;
    for (const SyslogEvent& part : parts) {
      const std::string message = formatSyslog(part, host, kNoon);
      EXPECT_LE(message.size(), kMaxMessageBytes);
      // Each part whole in its message.
      EXPECT_EQ(textOf(message), part.text) << message;
      texts.push_back(part.text);
    }
    // Cut only where a blank was: never inside a number such as 0x358be5.
    EXPECT_EQ(rejoinParts(texts), lines);
    // The lists are cut between their items.
    const std::string mark = kContinuesMark;
    for (const std::string& text : texts) {
      for (const std::string& list :
           {std::string("Suspect pages"), std::string("Bits that differed"),
            std::string("ECC errors")}) {
        const size_t from = text.find(list);
        if (from == std::string::npos) continue;
        const size_t end = text.find(mark, from);
        if (end == std::string::npos || end < text.find(" | ", from)) continue;
        EXPECT_TRUE(text[end - 1] == ',' || text[end - 1] == ';') << text;
      }
    }
  }
}

TEST(SyslogMessageTest, PartNumbersAsWideAsTheirCount) {
  // Over a hundred parts: the part parameter grows by a digit, and every
  // message still fits.
  SyslogEvent head;
  head.msgid = "summary";
  const std::vector<std::string> lines(150, std::string(300, 'x') + " y");
  const std::string host(64, 'S');
  const std::vector<SyslogEvent> parts = splitLines(head, lines, host);
  ASSERT_GT(parts.size(), 100u);
  EXPECT_EQ(parts.back().params.back().second,
            std::to_string(parts.size()) + "/" + std::to_string(parts.size()));
  for (const SyslogEvent& part : parts) {
    EXPECT_LE(formatSyslog(part, host, kNoon).size(), kMaxMessageBytes);
  }
}

}  // namespace
