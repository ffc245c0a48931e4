#include "events/event_log.h"

#include <utility>

namespace {

// The longest IPv4 address: the longest name of a machine that goes by its
// address.
constexpr char kWidestAddress[] = "255.255.255.255";

}  // namespace

EventLog::EventLog(std::string hostname, std::function<time_t()> now)
    : hostname_(std::move(hostname)), now_(std::move(now)) {}

void EventLog::setSink(DatagramSink* sink) {
  sink_ = sink;
  while (sink_ != nullptr && !waiting_.empty()) {
    const Posted posted = std::move(waiting_.front());
    waiting_.pop_front();
    deliver(posted);
  }
}

void EventLog::giveUp() {
  gaveUp_ = true;
  failed_ += waiting_.size();
  waiting_.clear();
}

void EventLog::post(SyslogEvent event) {
  event.params.insert(event.params.begin(),
                      {"seq", std::to_string(++sequence_)});
  const Posted posted{std::move(event), now_()};
  writeLine(posted);
  if (sink_ != nullptr) {
    deliver(posted);
  } else if (gaveUp_) {
    ++failed_;
  } else {
    if (waiting_.size() == kMaxWaiting) {
      waiting_.pop_front();
      ++failed_;
    }
    waiting_.push_back(posted);
  }
}

void EventLog::postLines(const SyslogEvent& head,
                         const std::vector<std::string>& lines) {
  // Sized with the seq parameter post() puts first, and for the name the
  // parts will go out under: they may wait for the lease, which names a
  // machine that has no name of its own.
  SyslogEvent sized = head;
  sized.params.insert(sized.params.begin(), {"seq", "9999999999"});
  const std::string widestName = hostname_.empty() ? kWidestAddress : hostname_;
  for (SyslogEvent& part : splitLines(sized, lines, widestName)) {
    part.params.erase(part.params.begin());
    post(part);
  }
}

void EventLog::deliver(const Posted& posted) {
  if (sink_->send(formatSyslog(posted.event, hostname_, posted.when))) {
    ++sent_;
  } else {
    ++failed_;
  }
}

void EventLog::writeLine(const Posted& posted) {
  if (port_ == nullptr) return;
  if (!portFailed_ &&
      port_->write("\n" + formatSyslog(posted.event, hostname_, posted.when) +
                   "\n")) {
    ++linesWritten_;
    return;
  }
  portFailed_ = true;
  ++linesLost_;
}
