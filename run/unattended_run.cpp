#include "run/unattended_run.h"

#include <utility>

#include "base/cprintf.h"
#include "run/verdict.h"

UnattendedRun::UnattendedRun(const RunFacts& facts, const Unattended& start,
                             KernelSystem& system, NetworkInterfaces& network,
                             DhcpClient& dhcp, const Cellchecker& tester,
                             Findings& findings, BadMemoryWatch& summary,
                             Clock now)
    : facts_(facts),
      start_(start),
      system_(system),
      network_(network),
      dhcp_(dhcp),
      tester_(tester),
      findings_(findings),
      summary_(summary),
      now_(std::move(now)),
      eventLog_(machineName(facts.identity), now_) {
  if (!facts_.options.syslog) {
    eventLog_.giveUp();
    collectorSettled_ = true;
  }
  // The serial port's lines go out at once, whether a collector comes or
  // not.
  eventLog_.setSerialPort(start_.serialPort.get());
  const RunOptions& options = facts_.options;
  if (options.seconds != 0) {
    progressEvery_ = static_cast<time_t>(options.seconds / 10);
    if (progressEvery_ > kProgressSeconds) progressEvery_ = kProgressSeconds;
    if (progressEvery_ < kMinProgressSeconds) {
      progressEvery_ = kMinProgressSeconds;
    }
  }
}

bool UnattendedRun::eventsGo() const {
  return facts_.options.syslog || start_.serialPort != nullptr;
}

void UnattendedRun::noteSerialPort() {
  if (saidSerialPortFailed_ || !eventLog_.serialPortFailed()) return;
  saidSerialPortFailed_ = true;
  cprintf(
      "\n\rThe serial port %s stopped taking event lines: no more are "
      "written.\n\r",
      start_.serialDevice.c_str());
}

void UnattendedRun::postStart() {
  findCollector();
  if (!eventsGo()) return;
  eventLog_.post(startEvent(facts_));
  noteSerialPort();
}

void UnattendedRun::postStopped() {
  findCollector();
  if (!eventsGo()) return;
  eventLog_.post(stoppedEvent(facts_));
  noteSerialPort();
}

void UnattendedRun::findCollector() {
  if (collectorSettled_) return;
  Lease lease;
  if (!dhcp_.lease(&lease)) return;
  // Without a serial number the machine goes by its address.
  if (eventLog_.hostname().empty()) eventLog_.setHostname(lease.address);
  const std::string host = facts_.options.syslogHost.empty()
                               ? lease.logServer
                               : facts_.options.syslogHost;
  collectorSettled_ = true;
  if (host.empty()) {
    eventLog_.giveUp();
    return;
  }
  sink_ = network_.udpSink(host, facts_.options.syslogPort);
  eventLog_.setSink(sink_.get());
}

void UnattendedRun::beginFullTesting() {
  if (begun_) return;
  begun_ = true;
  begin_ = now_();
  nextProgress_ = begin_;
}

double UnattendedRun::hoursSinceBegin() const {
  return static_cast<double>(now_() - begin_) / 3600.0;
}

bool UnattendedRun::limitReached() const {
  // The limit counts from the notice that full testing begins: the opening
  // always runs whole.
  if (!begun_) return false;
  const RunOptions& options = facts_.options;
  if (options.seconds != 0 &&
      static_cast<uint64_t>(now_() - begin_) >= options.seconds) {
    return true;
  }
  return options.coverage != 0 && tester_.percentCoverage() >= options.coverage;
}

bool UnattendedRun::Events::betweenTests() {
  run_.sendFindings();
  if (run_.begun_) {
    const time_t now = run_.now_();
    if (now >= run_.nextProgress_) {
      run_.postProgress();
      // On a fixed beat from the start of full testing, however long the
      // tests in between take.
      while (run_.nextProgress_ <= now) {
        run_.nextProgress_ += run_.progressEvery_;
      }
    }
  }
  run_.noteSerialPort();
  return true;
}

void UnattendedRun::sendFindings() {
  // The first process inherits every orphan; a DHCP client that ended (or
  // was stopped for another interface) is collected here.
  system_.reapChildren();
  findCollector();
  postErrors();
}

void UnattendedRun::postMachineChecks() {
  const u64 total = findings_.totals().machineChecks;
  if (total <= machineChecksPosted_) return;
  for (const FoundMachineCheck& check :
       findings_.machineChecksFrom(machineChecksPosted_)) {
    eventLog_.post(machineCheckEvent(check));
  }
  machineChecksPosted_ = total;
}

void UnattendedRun::postEccCounts() {
  for (const EccModuleErrors& module : findings_.eccModules()) {
    const auto counts = std::make_pair(module.corrected, module.uncorrected);
    auto posted = eccPosted_.find(module.module);
    if (posted != eccPosted_.end() && posted->second == counts) continue;
    eccPosted_[module.module] = counts;
    eventLog_.post(eccEvent(module));
  }
}

void UnattendedRun::postErrors() {
  if (!eventsGo()) return;
  postMachineChecks();
  postEccCounts();
  const u64 total = findings_.totals().errors;
  if (total <= errorsPosted_) return;
  u64 detailed = 0;
  for (const FoundError& error : findings_.errorsFrom(errorsPosted_)) {
    if (detailed == kMaxErrorDetailsAtOnce) break;
    eventLog_.post(errorEvent(error));
    ++detailed;
  }
  const u64 rest = total - errorsPosted_ - detailed;
  if (rest != 0) {
    eventLog_.post(errorCountEvent(total, rest, tester_.percentCoverage()));
  }
  errorsPosted_ = total;
}

void UnattendedRun::postProgress() {
  if (!eventsGo()) return;
  double hoursTo100 = 0;
  if (!estimatePosted_) {
    hoursTo100 = facts_.secondsToFullCoverage() / 3600.0;
    estimatePosted_ = hoursTo100 > 0;
  }
  eventLog_.post(progressEvent(tester_.percentCoverage(),
                               findings_.totals().errors, hoursSinceBegin(),
                               findings_.temperatures(), hoursTo100));
  // The summary again when it has changed since it last went out.
  const u64 found = findings_.totals().findings();
  if (found != findingsInLastSummary_) {
    eventLog_.postLines(summaryHead(), findings_.summaryLines());
    findingsInLastSummary_ = found;
  }
}

bool UnattendedRun::finish(BetweenTestsWork& step) {
  step.lastLook();
  sendFindings();
  const BadMemoryTotals totals = findings_.totals();
  Verdict verdict;
  // A module whose memory the firmware never mapped was not tested: no
  // PASS for the machine.
  verdict.pass = !totals.anyBad() && !facts_.missingMemory.missing;
  verdict.missingMemory = missingMemoryLine(facts_.missingMemory);
  verdict.missingSlots = missingSlotsText(facts_.missingMemory);
  verdict.mib = tester_.MB();
  verdict.hours = hoursSinceBegin();
  verdict.coverage = tester_.percentCoverage();
  verdict.errors = totals.errors;
  verdict.machineChecks = totals.machineChecks;
  verdict.eccCorrected = totals.eccCorrected;
  verdict.eccUncorrected = totals.eccUncorrected;
  verdict.eventsAsked = facts_.options.syslog;
  // Events lost so far: the verdict's own fate cannot be known. Without a
  // collector, the lines the serial port did not take.
  verdict.unsent =
      facts_.options.syslog ? eventLog_.unsent() : eventLog_.linesLost();
  verdict.end = facts_.options.end;
  verdict.hoursTo100 = facts_.secondsToFullCoverage() / 3600.0;
  verdict.temperatures = findings_.temperatures();
  printVerdict(verdict, summary_);
  verdict_ = verdict;

  if (!eventsGo()) return verdict.pass;
  if (!verdict.pass) {
    eventLog_.postLines(summaryHead(), findings_.summaryLines());
  }
  eventLog_.post(verdictEvent(verdict, facts_.identity, facts_.modules));
  noteSerialPort();
  return verdict.pass;
}
