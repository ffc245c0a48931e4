// The events of a run on their way to the collector and to the serial
// port. Events posted before the collector is known (the DHCP lease has not
// come yet) wait, a bounded number of them; every event that was not handed
// to the network is counted, for the verdict. The serial port takes each
// event at once, as a line of its own. Nothing here ever retries: losing
// the network or the port must not stop the test.
#ifndef CELLCHECK_EVENTS_EVENT_LOG_H_
#define CELLCHECK_EVENTS_EVENT_LOG_H_

#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "events/syslog_message.h"
#include "seam/devices.h"
#include "seam/network.h"

class EventLog {
 public:
  // `now` stamps each event when it is posted. `hostname` empty: the
  // machine has no name yet, and goes by its IPv4 address once it has a
  // lease (setHostname).
  EventLog(std::string hostname, std::function<time_t()> now);

  // The name sent as HOSTNAME from now on, for every event that goes out,
  // waiting ones included: a log begun without a name takes the machine's
  // IPv4 address here.
  void setHostname(const std::string& hostname) { hostname_ = hostname; }
  const std::string& hostname() const { return hostname_; }
  // Where events go from now on; the waiting ones are sent at once. Null:
  // nowhere yet.
  void setSink(DatagramSink* sink);
  // No collector will come (DHCP named none): waiting events, and every
  // event from now on, are counted as not sent.
  void giveUp();
  // Every event from now on also goes to `port` as it is posted, the same
  // message as the collector's, under the machine's name known then. Each
  // is a line of its own that starts on a fresh line: a line feed, the
  // message, a line feed (the port sends each as CR LF), so that a reader
  // finds it whole even where the console's text shares the port. A port
  // that fails to take a line is given up: each line after would wait for
  // it again.
  void setSerialPort(SerialLine* port) { port_ = port; }

  // One event, one datagram; a seq parameter (1, 2, ...) comes first.
  void post(SyslogEvent event);
  // Lines too many for one datagram, split as splitLines does, sized for
  // the longest name the machine can go by when they are sent: its name, or
  // while it has none, the widest IPv4 address.
  void postLines(const SyslogEvent& head,
                 const std::vector<std::string>& lines);

  uint64_t sent() const { return sent_; }
  // Lost so far: sends that failed, events dropped while waiting, and those
  // still waiting.
  uint64_t unsent() const { return failed_ + waiting_.size(); }
  // Lines the serial port took, lines it did not (the one it failed and
  // every one after), and whether it failed one.
  uint64_t linesWritten() const { return linesWritten_; }
  uint64_t linesLost() const { return linesLost_; }
  bool serialPortFailed() const { return portFailed_; }

  // Events waiting for the collector, at most; older ones are dropped.
  static constexpr size_t kMaxWaiting = 64;

 private:
  // An event with its seq parameter and the time it was posted; it is
  // formatted when it goes out, under the machine's name known by then.
  struct Posted {
    SyslogEvent event;
    time_t when;
  };
  void deliver(const Posted& posted);
  void writeLine(const Posted& posted);

  std::string hostname_;
  std::function<time_t()> now_;
  DatagramSink* sink_ = nullptr;
  bool gaveUp_ = false;
  std::deque<Posted> waiting_;
  uint64_t sequence_ = 0;
  uint64_t sent_ = 0;
  uint64_t failed_ = 0;
  SerialLine* port_ = nullptr;
  bool portFailed_ = false;
  uint64_t linesWritten_ = 0;
  uint64_t linesLost_ = 0;
};

#endif  // CELLCHECK_EVENTS_EVENT_LOG_H_
