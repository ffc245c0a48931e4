// An unattended run after start-up: two pieces of the step between tests
// (its events, which keep the collector and the serial port's event lines
// up to date: each error, machine check and ECC count, progress every few
// minutes; and its limit, which ends the run once the time or coverage
// asked for is reached), then the verdict on the screen, to the collector
// and on the serial port. Nothing here runs inside a test, and nothing
// waits for the network.
#ifndef CELLCHECK_RUN_UNATTENDED_RUN_H_
#define CELLCHECK_RUN_UNATTENDED_RUN_H_

#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "base/between_tests.h"
#include "console/progress_line.h"
#include "events/event_log.h"
#include "net/dhcp_client.h"
#include "run/findings.h"
#include "run/run_events.h"
#include "run/run_facts.h"
#include "run/unattended.h"
#include "run/verdict.h"
#include "seam/network.h"
#include "seam/system.h"
#include "tester/cellchecker.h"

class UnattendedRun {
 public:
  // `facts`: what start-up found (the options, the identity, the figures
  // of the start event, the estimate once the schedule runs); `start`: the
  // serial port it opened; `summary`: the console's bad-memory summary,
  // which the verdict shows.
  UnattendedRun(const RunFacts& facts, const Unattended& start,
                KernelSystem& system, NetworkInterfaces& network,
                DhcpClient& dhcp, const Cellchecker& tester, Findings& findings,
                BadMemoryWatch& summary, Clock now);

  // The run's two pieces of the step between tests: they go into its
  // events and limit places.
  BetweenTestsWork& events() { return events_; }
  BetweenTestsWork& limit() { return limit_; }

  // The start event: identity, RAM, test area, what the options ask.
  void postStart();
  // Start-up stopped before testing (the screen says why): one event, so
  // that the collector hears of a machine that tests nothing.
  void postStopped();
  // Once the limit ended the run: `step` (the step between tests) looks once
  // more, whatever spacing its work keeps, so that ECC counts that grew in
  // the last seconds, and the sensors' last readings, are in the verdict; then
  // the verdict, on the screen and to the collector, with the summary when
  // anything was found. Returns true for PASS.
  bool finish(BetweenTestsWork& step);
  // The verdict finish() showed.
  const Verdict& verdict() const { return verdict_; }

  const EventLog& eventLog() const { return eventLog_; }

  // Progress goes out this often, or every tenth of a shorter time limit
  // (but not more often than every kMinProgressSeconds).
  static constexpr time_t kProgressSeconds = 300;
  static constexpr time_t kMinProgressSeconds = 10;
  // Error events with details, at most, between two tests; a count covers
  // the rest.
  static constexpr u64 kMaxErrorDetailsAtOnce = 8;

 private:
  // Between tests: children collected, the collector found, the findings
  // sent; progress when due.
  class Events : public BetweenTestsWork {
   public:
    explicit Events(UnattendedRun& run) : run_(run) {}
    bool betweenTests() override;
    void fullTestingBegins() override { run_.beginFullTesting(); }
    void lastLook() override { run_.sendFindings(); }

   private:
    UnattendedRun& run_;
  };
  // The last piece of the step: false once the time or coverage is
  // reached, never before full testing begins.
  class Limit : public BetweenTestsWork {
   public:
    explicit Limit(UnattendedRun& run) : run_(run) {}
    bool betweenTests() override { return !run_.limitReached(); }
    void fullTestingBegins() override { run_.beginFullTesting(); }
    void lastLook() override {}

   private:
    UnattendedRun& run_;
  };

  void beginFullTesting();
  bool limitReached() const;
  // Events go somewhere: to a collector, or as lines on the serial port.
  bool eventsGo() const;
  // Says once on the screen that the serial port stopped taking lines.
  void noteSerialPort();
  void findCollector();
  // Children collected, the collector found, new errors, machine checks
  // and ECC counts sent.
  void sendFindings();
  void postErrors();
  void postMachineChecks();
  void postEccCounts();
  void postProgress();
  double hoursSinceBegin() const;

  const RunFacts& facts_;
  const Unattended& start_;
  KernelSystem& system_;
  NetworkInterfaces& network_;
  DhcpClient& dhcp_;
  const Cellchecker& tester_;
  Findings& findings_;
  BadMemoryWatch& summary_;
  Clock now_;
  EventLog eventLog_;
  Events events_{*this};
  Limit limit_{*this};
  std::unique_ptr<DatagramSink> sink_;
  bool collectorSettled_ = false;
  bool begun_ = false;
  time_t begin_ = 0;
  time_t nextProgress_ = 0;
  time_t progressEvery_ = kProgressSeconds;
  u64 errorsPosted_ = 0;
  u64 machineChecksPosted_ = 0;
  // Each module's counts as last posted.
  std::map<std::string, std::pair<u64, u64>> eccPosted_;
  u64 findingsInLastSummary_ = 0;
  bool estimatePosted_ = false;
  Verdict verdict_ = {};
  bool saidSerialPortFailed_ = false;
};

#endif  // CELLCHECK_RUN_UNATTENDED_RUN_H_
