#include "report/syslog_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
