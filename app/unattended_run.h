// An unattended run after start-up: between tests it keeps the collector
// up to date (each error, progress every few minutes) and ends the run when
// the time or coverage asked for is reached; then it shows the verdict on
// the screen and sends it. Nothing here runs inside a test, and nothing
// waits for the network.
#ifndef CELLCHECK_APP_UNATTENDED_RUN_H_
#define CELLCHECK_APP_UNATTENDED_RUN_H_

#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "app/findings.h"
#include "app/run_control.h"
#include "app/unattended.h"
#include "report/datagram_sink.h"
#include "report/event_log.h"
#include "tester/cellchecker.h"

// Makes the sink for a collector's address and port (UDP in the program).
using SinkMaker =
    std::function<std::unique_ptr<DatagramSink>(const std::string&, uint16_t)>;

class UnattendedRun : public RunControl {
 public:
  UnattendedRun(Unattended& start, Kernel& kernel, DhcpClient& dhcp,
                Cellchecker& tester, Findings& findings,
                std::function<time_t()> now, SinkMaker makeSink);

  // The start event: identity, RAM, test area, what the options ask.
  void postStart();
  // Start-up stopped before testing (the screen says why): one event, so
  // that the collector hears of a machine that tests nothing.
  void postStopped();
  void fullTestingBegins() override;
  bool betweenTests() override;
  // The verdict, on the screen and to the collector, with the summary when
  // anything was found. Returns true for PASS.
  bool finish();

  const EventLog& events() const { return events_; }

  // Progress goes out this often, or every tenth of a shorter time limit
  // (but not more often than every kMinProgressSeconds).
  static constexpr time_t kProgressSeconds = 300;
  static constexpr time_t kMinProgressSeconds = 10;
  // Error events with details, at most, between two tests; a count covers
  // the rest.
  static constexpr u64 kMaxErrorDetailsAtOnce = 8;

 private:
  void findCollector();
  void postErrors();
  void postMachineChecks();
  void postEccCounts();
  // Everything found so far, as one figure that grows with any news.
  u64 findingsSoFar();
  void postProgress();
  double hoursSinceBegin() const;
  Findings::Details identityParams() const;

  Unattended& start_;
  Kernel& kernel_;
  DhcpClient& dhcp_;
  Cellchecker& tester_;
  Findings& findings_;
  std::function<time_t()> now_;
  SinkMaker makeSink_;
  EventLog events_;
  std::unique_ptr<DatagramSink> sink_;
  bool collectorSettled_ = false;
  time_t begin_ = 0;
  time_t nextProgress_ = 0;
  time_t progressEvery_ = kProgressSeconds;
  u64 errorsPosted_ = 0;
  u64 machineChecksPosted_ = 0;
  // Each module's counts as last posted.
  std::map<std::string, std::pair<std::string, std::string>> eccPosted_;
  u64 findingsInLastSummary_ = 0;
};

#endif  // CELLCHECK_APP_UNATTENDED_RUN_H_
