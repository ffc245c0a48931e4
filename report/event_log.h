// The events of a run on their way to the collector. Events posted before
// the collector is known (the DHCP lease has not come yet) wait, a bounded
// number of them; every event that was not handed to the network is
// counted, for the verdict. Nothing here ever waits or retries: losing the
// network must not stop the test.
#ifndef CELLCHECK_REPORT_EVENT_LOG_H_
#define CELLCHECK_REPORT_EVENT_LOG_H_

#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "report/syslog_message.h"
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

  std::string hostname_;
  std::function<time_t()> now_;
  DatagramSink* sink_ = nullptr;
  bool gaveUp_ = false;
  std::deque<Posted> waiting_;
  uint64_t sequence_ = 0;
  uint64_t sent_ = 0;
  uint64_t failed_ = 0;
};

#endif  // CELLCHECK_REPORT_EVENT_LOG_H_
