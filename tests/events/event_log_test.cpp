#include "events/event_log.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/linux_kernel.h"
#include "tests/events/summary_lines.h"

namespace {

// A UDP socket of the test's own on 127.0.0.1, standing in for a collector.
class Collector {
 public:
  Collector() {
    socket_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    timeval wait{2, 0};
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  }
  ~Collector() { close(socket_); }

  uint16_t port() const { return port_; }
  std::string receive() {
    char buffer[2048];
    const ssize_t got = recv(socket_, buffer, sizeof buffer, 0);
    return got < 0 ? std::string() : std::string(buffer, got);
  }

 private:
  int socket_;
  uint16_t port_;
};

class FailingSink : public DatagramSink {
 public:
  bool send(const std::string&) override { return false; }
};

// A serial port that notes each write, or takes nothing.
class NotedPort : public SerialLine {
 public:
  bool write(const std::string& text) override {
    ++writes;
    if (stuck) return false;
    lines.push_back(text);
    return true;
  }
  std::vector<std::string> lines;
  int writes = 0;
  bool stuck = false;
};

SyslogEvent progress(const std::string& coverage) {
  SyslogEvent event;
  event.msgid = "progress";
  event.params = {{"coverage", coverage}};
  event.text = coverage + " % coverage";
  return event;
}

constexpr time_t kNoon = 1796910900;

TEST(EventLogTest, SendsEachEventAsOneUdpDatagramWithASequenceNumber) {
  Collector collector;
  UdpSink sink("127.0.0.1", collector.port());
  ASSERT_TRUE(sink.ready());
  EventLog log("SN-77", [] { return kNoon; });
  log.setSink(&sink);
  log.post(progress("3.0"));
  log.post(progress("4.5"));
  EXPECT_EQ(collector.receive(),
            "<14>1 2026-12-10T13:55:00Z SN-77 cellcheck - progress "
            "[cellcheck@32473 seq=\"1\" coverage=\"3.0\"] 3.0 % coverage");
  EXPECT_NE(collector.receive().find("seq=\"2\" coverage=\"4.5\""),
            std::string::npos);
  EXPECT_EQ(log.sent(), 2u);
  EXPECT_EQ(log.unsent(), 0u);
}

TEST(EventLogTest, EventsWaitForTheCollectorAndTheOldestAreDroppedFirst) {
  Collector collector;
  UdpSink sink("127.0.0.1", collector.port());
  EventLog log("SN-77", [] { return kNoon; });
  const size_t posted = EventLog::kMaxWaiting + 3;
  for (size_t i = 0; i < posted; ++i) log.post(progress(std::to_string(i)));
  EXPECT_EQ(log.unsent(), posted);  // none sent yet
  log.setSink(&sink);
  EXPECT_EQ(log.sent(), EventLog::kMaxWaiting);
  EXPECT_EQ(log.unsent(), 3u);
  // The first to arrive is the oldest one kept.
  EXPECT_NE(collector.receive().find("seq=\"4\""), std::string::npos);
}

TEST(EventLogTest, FailedSendsAndAGivenUpCollectorAreCountedNeverRetried) {
  FailingSink failing;
  EventLog log("SN-77", [] { return kNoon; });
  log.setSink(&failing);
  log.post(progress("1"));
  log.post(progress("2"));
  EXPECT_EQ(log.sent(), 0u);
  EXPECT_EQ(log.unsent(), 2u);

  EventLog nowhere("SN-77", [] { return kNoon; });
  nowhere.post(progress("1"));
  nowhere.giveUp();
  nowhere.post(progress("2"));
  EXPECT_EQ(nowhere.unsent(), 2u);
}

TEST(EventLogTest, AnUnreachableCollectorFailsWithoutWaiting) {
  // A port nobody listens on: UDP hands the datagram over all the same, or
  // reports the refusal on a later send; either way nothing blocks.
  UdpSink sink("127.0.0.1", 9);
  EventLog log("SN-77", [] { return kNoon; });
  log.setSink(&sink);
  for (int i = 0; i < 5; ++i) log.post(progress(std::to_string(i)));
  EXPECT_EQ(log.sent() + log.unsent(), 5u);
  UdpSink broken("not an address", 514);
  EXPECT_FALSE(broken.ready());
  EXPECT_FALSE(broken.send("x"));
}

TEST(EventLogTest, LongLinesGoOutInPartsEachWithinTheLimit) {
  Collector collector;
  UdpSink sink("127.0.0.1", collector.port());
  EventLog log(std::string(60, 'S'), [] { return kNoon; });
  log.setSink(&sink);
  SyslogEvent head;
  head.msgid = "summary";
  head.params = {{"errors", "12"}};
  log.postLines(head, std::vector<std::string>(30, std::string(50, 'x')));
  ASSERT_GT(log.sent(), 1u);
  for (uint64_t i = 0; i < log.sent(); ++i) {
    const std::string datagram = collector.receive();
    EXPECT_LE(datagram.size(), kMaxMessageBytes);
    EXPECT_NE(datagram.find("part=\"" + std::to_string(i + 1) + "/"),
              std::string::npos)
        << datagram;
    EXPECT_NE(datagram.find("errors=\"12\""), std::string::npos);
  }
}

// Each event is one write of its own, a line that starts on a fresh line:
// the same message the collector gets, and at once, while the collector is
// still unknown, after it was given up, or when there is none at all.
TEST(EventLogTest, TheSerialPortGetsEachEventAtOnceAsALineOfItsOwn) {
  Collector collector;
  UdpSink sink("127.0.0.1", collector.port());
  NotedPort port;
  EventLog log("SN-77", [] { return kNoon; });
  log.setSerialPort(&port);
  log.post(progress("3.0"));  // waits for the collector
  ASSERT_EQ(port.lines.size(), 1u);
  EXPECT_EQ(port.lines[0],
            "\n<14>1 2026-12-10T13:55:00Z SN-77 cellcheck - progress "
            "[cellcheck@32473 seq=\"1\" coverage=\"3.0\"] 3.0 % coverage\n");
  log.setSink(&sink);
  log.post(progress("4.5"));
  ASSERT_EQ(port.lines.size(), 2u);
  for (const std::string& line : port.lines) {
    EXPECT_EQ("\n" + collector.receive() + "\n", line);
  }
  EXPECT_EQ(log.linesWritten(), 2u);

  // Without a collector (only the serial port asked for): every line.
  NotedPort alone;
  EventLog serialOnly("SN-77", [] { return kNoon; });
  serialOnly.giveUp();
  serialOnly.setSerialPort(&alone);
  SyslogEvent head;
  head.msgid = "summary";
  serialOnly.postLines(head,
                       std::vector<std::string>(30, std::string(50, 'x')));
  serialOnly.post(progress("9"));
  ASSERT_GT(alone.lines.size(), 2u);
  for (const std::string& line : alone.lines) {
    ASSERT_GE(line.size(), 2u);
    EXPECT_EQ(line.front(), '\n');
    EXPECT_EQ(line.back(), '\n');
    // One message: no line break inside it, within the datagram limit.
    const std::string message = line.substr(1, line.size() - 2);
    EXPECT_EQ(message.find_first_of("\r\n"), std::string::npos) << line;
    EXPECT_LE(message.size(), kMaxMessageBytes);
    EXPECT_EQ(message.rfind("<14>1 ", 0), 0u) << line;
  }
}

TEST(EventLogTest, APortThatTakesNothingIsGivenUpAfterItsFirstLine) {
  // Each write to a stuck port waits before it fails: one wait, not one
  // for every event of the run.
  NotedPort port;
  port.stuck = true;
  EventLog log("SN-77", [] { return kNoon; });
  log.giveUp();
  log.setSerialPort(&port);
  EXPECT_FALSE(log.serialPortFailed());
  for (int i = 0; i < 5; ++i) log.post(progress(std::to_string(i)));
  EXPECT_EQ(port.writes, 1);
  EXPECT_TRUE(log.serialPortFailed());
  EXPECT_EQ(log.linesWritten(), 0u);
  EXPECT_EQ(log.linesLost(), 5u);
}

// A machine without a serial number goes by its lease address, which comes
// after the summary may have been posted.
TEST(EventLogTest, LinesPostedBeforeTheMachineIsNamedFitUnderItsAddress) {
  const std::vector<std::string> lines = summaryLikeLines();
  Collector collector;
  UdpSink sink("127.0.0.1", collector.port());
  EventLog log("", [] { return kNoon; });
  SyslogEvent head;
  head.severity = kSeverityWarning;
  head.msgid = "summary";
  log.postLines(head, lines);
  log.setHostname("255.255.255.255");
  log.setSink(&sink);
  ASSERT_GT(log.sent(), 1u);
  std::vector<std::string> texts;
  for (uint64_t i = 0; i < log.sent(); ++i) {
    const std::string datagram = collector.receive();
    EXPECT_LE(datagram.size(), kMaxMessageBytes);
    ASSERT_NE(datagram.find(" 255.255.255.255 cellcheck "), std::string::npos);
    const size_t end = datagram.find("\"] ");
    ASSERT_NE(end, std::string::npos) << datagram;
    texts.push_back(datagram.substr(end + 3));
  }
  EXPECT_EQ(rejoinParts(texts), lines);
}

}  // namespace
