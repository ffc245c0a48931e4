#include "report/event_log.h"

#include <utility>

EventLog::EventLog(std::string hostname, std::function<time_t()> now)
    : hostname_(std::move(hostname)), now_(std::move(now)) {}

void EventLog::setSink(DatagramSink* sink) {
  sink_ = sink;
  while (sink_ != nullptr && !waiting_.empty()) {
    const std::string datagram = std::move(waiting_.front());
    waiting_.pop_front();
    deliver(datagram);
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
  const std::string datagram = formatSyslog(event, hostname_, now_());
  if (sink_ != nullptr) {
    deliver(datagram);
  } else if (gaveUp_) {
    ++failed_;
  } else {
    if (waiting_.size() == kMaxWaiting) {
      waiting_.pop_front();
      ++failed_;
    }
    waiting_.push_back(datagram);
  }
}

void EventLog::postLines(const SyslogEvent& head,
                         const std::vector<std::string>& lines) {
  // Sized with the seq parameter post() puts first.
  SyslogEvent sized = head;
  sized.params.insert(sized.params.begin(), {"seq", "9999999999"});
  for (SyslogEvent& part : splitLines(sized, lines, hostname_)) {
    part.params.erase(part.params.begin());
    post(part);
  }
}

void EventLog::deliver(const std::string& datagram) {
  if (sink_->send(datagram)) {
    ++sent_;
  } else {
    ++failed_;
  }
}
