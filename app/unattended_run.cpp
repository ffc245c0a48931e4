#include "app/unattended_run.h"

#include <cstdio>
#include <utility>

#include "base/cprintf.h"

namespace {

std::string fixed(double value, int decimals) {
  char text[64];
  snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string limitText(const RunOptions& options) {
  std::string text;
  if (options.seconds != 0) text = std::to_string(options.seconds) + "s";
  if (options.coverage != 0) {
    text += (text.empty() ? "" : " or ") + fixed(options.coverage, 1) + "%";
  }
  return text.empty() ? "none" : text;
}

// "1 error", "2 errors".
std::string errorsText(u64 count) {
  return std::to_string(count) + (count == 1 ? " error" : " errors");
}

// The start event's word for the Secure Boot state; empty when not known.
const char* secureBootWord(SecureBoot state) {
  switch (state) {
    case SecureBoot::kOn:
      return "on";
    case SecureBoot::kOff:
      return "off";
    case SecureBoot::kBiosBoot:
      return "bios";
    default:
      return "";
  }
}

constexpr char kRule[] =
    "==============================================================="
    "=======";

}  // namespace

UnattendedRun::UnattendedRun(Unattended& start, Kernel& kernel,
                             DhcpClient& dhcp, Cellchecker& tester,
                             Findings& findings, std::function<time_t()> now,
                             SinkMaker makeSink)
    : start_(start),
      kernel_(kernel),
      dhcp_(dhcp),
      tester_(tester),
      findings_(findings),
      now_(std::move(now)),
      makeSink_(std::move(makeSink)),
      events_(machineName(start.identity), now_) {
  if (!start_.options.syslog) {
    events_.giveUp();
    collectorSettled_ = true;
  }
  const RunOptions& options = start_.options;
  if (options.seconds != 0) {
    progressEvery_ = static_cast<time_t>(options.seconds / 10);
    if (progressEvery_ > kProgressSeconds) progressEvery_ = kProgressSeconds;
    if (progressEvery_ < kMinProgressSeconds) {
      progressEvery_ = kMinProgressSeconds;
    }
  }
}

Findings::Details UnattendedRun::identityParams() const {
  const MachineIdentity& id = start_.identity;
  return {{"vendor", id.vendor},
          {"product", id.product},
          {"serial", id.serial},
          {"boardserial", id.boardSerial},
          {"firmware", id.firmware}};
}

void UnattendedRun::postStart() {
  findCollector();
  if (!start_.options.syslog) return;
  const u64 ramMiB = start_.installedKiB / 1024;
  const u64 areaMiB = start_.areaBytes / kMiB;
  SyslogEvent event;
  event.severity = kSeverityNotice;
  event.msgid = "start";
  event.params = {
      {"ram", std::to_string(ramMiB)},
      {"area", std::to_string(areaMiB)},
      {"limit", limitText(start_.options)},
      {"end", start_.options.end == EndAction::kHalt ? "halt" : "poweroff"}};
  const std::string secureBoot = secureBootWord(start_.secureBoot);
  if (!secureBoot.empty()) event.params.emplace_back("secureboot", secureBoot);
  for (auto& param : identityParams()) event.params.push_back(param);
  event.text = "Cellcheck started: testing " + std::to_string(areaMiB) +
               " MiB of " + std::to_string(ramMiB) + " MiB RAM";
  events_.post(event);
}

void UnattendedRun::postStopped() {
  findCollector();
  if (!start_.options.syslog) return;
  SyslogEvent event;
  event.severity = kSeverityAlert;
  event.msgid = "stopped";
  event.params = {{"ram", std::to_string(start_.installedKiB / 1024)}};
  for (auto& param : identityParams()) event.params.push_back(param);
  event.text = "Cellcheck could not start testing; its screen says why";
  events_.post(event);
}

void UnattendedRun::findCollector() {
  if (collectorSettled_) return;
  Lease lease;
  if (!dhcp_.lease(&lease)) return;
  // Without a serial number the machine goes by its address.
  if (events_.hostname().empty()) events_.setHostname(lease.address);
  const std::string host = start_.options.syslogHost.empty()
                               ? lease.logServer
                               : start_.options.syslogHost;
  collectorSettled_ = true;
  if (host.empty()) {
    events_.giveUp();
    return;
  }
  sink_ = makeSink_(host, start_.options.syslogPort);
  events_.setSink(sink_.get());
}

void UnattendedRun::fullTestingBegins() {
  begin_ = now_();
  nextProgress_ = begin_;
}

double UnattendedRun::hoursSinceBegin() const {
  return static_cast<double>(now_() - begin_) / 3600.0;
}

bool UnattendedRun::betweenTests() {
  // The first process inherits every orphan; a DHCP client that ended (or
  // was stopped for another interface) is collected here.
  kernel_.reapChildren();
  findCollector();
  postErrors();
  const time_t now = now_();
  if (now >= nextProgress_) {
    postProgress();
    // On a fixed beat from the start of full testing, however long the
    // tests in between take.
    while (nextProgress_ <= now) nextProgress_ += progressEvery_;
  }
  const RunOptions& options = start_.options;
  if (options.seconds != 0 &&
      static_cast<uint64_t>(now - begin_) >= options.seconds) {
    return false;
  }
  return options.coverage == 0 || tester_.percentCoverage() < options.coverage;
}

u64 UnattendedRun::findingsSoFar() {
  return findings_.errorCount() + findings_.machineCheckCount() +
         findings_.eccCorrected() + findings_.eccUncorrected();
}

void UnattendedRun::postMachineChecks() {
  const u64 total = findings_.machineCheckCount();
  if (total <= machineChecksPosted_) return;
  for (const Findings::Details& check :
       findings_.machineChecksFrom(machineChecksPosted_)) {
    SyslogEvent event;
    event.severity = kSeverityError;
    event.msgid = "machinecheck";
    event.params = check;
    std::string physical = "unknown";
    for (const auto& param : check) {
      if (param.first == "physical") physical = param.second;
    }
    event.text =
        "Uncorrected memory error (machine check) at physical address " +
        physical + "; its page was replaced and testing goes on";
    events_.post(event);
  }
  machineChecksPosted_ = total;
}

void UnattendedRun::postEccCounts() {
  for (const Findings::Details& module : findings_.eccModules()) {
    std::string name, corrected, uncorrected;
    for (const auto& param : module) {
      if (param.first == "module") name = param.second;
      if (param.first == "corrected") corrected = param.second;
      if (param.first == "uncorrected") uncorrected = param.second;
    }
    const auto counts = std::make_pair(corrected, uncorrected);
    auto posted = eccPosted_.find(name);
    if (posted != eccPosted_.end() && posted->second == counts) continue;
    eccPosted_[name] = counts;
    SyslogEvent event;
    event.severity = uncorrected == "0" ? kSeverityWarning : kSeverityError;
    event.msgid = "ecc";
    event.params = module;
    event.text = "ECC errors on memory module " + name +
                 " during the run: " + corrected + " corrected, " +
                 uncorrected + " uncorrected";
    events_.post(event);
  }
}

void UnattendedRun::postErrors() {
  if (start_.options.syslog) {
    postMachineChecks();
    postEccCounts();
  }
  const u64 total = findings_.errorCount();
  if (total <= errorsPosted_ || !start_.options.syslog) return;
  const std::vector<Findings::Details> details =
      findings_.errorsFrom(errorsPosted_);
  u64 detailed = 0;
  for (const Findings::Details& error : details) {
    if (detailed == kMaxErrorDetailsAtOnce) break;
    SyslogEvent event;
    event.severity = kSeverityError;
    event.msgid = "error";
    event.params = error;
    event.text = "Memory error " + (error.empty() ? "" : error[0].second);
    events_.post(event);
    ++detailed;
  }
  const u64 rest = total - errorsPosted_ - detailed;
  if (rest != 0) {
    SyslogEvent event;
    event.severity = kSeverityError;
    event.msgid = "error";
    event.params = {{"errors", std::to_string(total)},
                    {"new", std::to_string(rest)},
                    {"coverage", fixed(tester_.percentCoverage(), 1)}};
    event.text = std::to_string(rest) + " new memory error" +
                 (rest == 1 ? "" : "s") + ", " + std::to_string(total) +
                 " in all, at " + fixed(tester_.percentCoverage(), 1) +
                 " % coverage";
    events_.post(event);
  }
  errorsPosted_ = total;
}

void UnattendedRun::postProgress() {
  if (!start_.options.syslog) return;
  const std::string coverage = fixed(tester_.percentCoverage(), 1);
  const std::string hours = fixed(hoursSinceBegin(), 2);
  const u64 errors = findings_.errorCount();
  SyslogEvent event;
  event.severity = kSeverityInfo;
  event.msgid = "progress";
  event.params = {{"coverage", coverage},
                  {"errors", std::to_string(errors)},
                  {"hours", hours}};
  event.text = coverage + " % coverage, " + errorsText(errors) + ", " + hours +
               " hours of full testing";
  events_.post(event);
  // The summary again when it has changed since it last went out.
  const u64 found = findingsSoFar();
  if (found != findingsInLastSummary_) {
    SyslogEvent head;
    head.severity = kSeverityWarning;
    head.msgid = "summary";
    events_.postLines(head, findings_.summaryLines());
    findingsInLastSummary_ = found;
  }
}

bool UnattendedRun::finish() {
  findCollector();
  postErrors();
  const bool pass = !findings_.anythingFound();
  const std::string verdict = pass ? "PASS" : "FAIL";
  const u64 mib = tester_.MB();
  const std::string hours = fixed(hoursSinceBegin(), 2);
  const std::string coverage = fixed(tester_.percentCoverage(), 1);
  const u64 errors = findings_.errorCount();
  // Events lost so far: the verdict's own fate cannot be known.
  const u64 unsent = events_.unsent();

  cprintf("\n\r\n\r%s\n\r VERDICT: %s\n\r", kRule, verdict.c_str());
  cprintf(" Tested %llu MiB for %s hours, %s %% coverage, %llu error%s.\n\r",
          static_cast<unsigned long long>(mib), hours.c_str(), coverage.c_str(),
          static_cast<unsigned long long>(errors), errors == 1 ? "" : "s");
  // The hardware's own findings, apart from the errors the tests found.
  const u64 machineChecks = findings_.machineCheckCount();
  const u64 eccCorrected = findings_.eccCorrected();
  const u64 eccUncorrected = findings_.eccUncorrected();
  if (machineChecks != 0) {
    cprintf(" Uncorrected memory errors caught by machine checks: %llu.\n\r",
            static_cast<unsigned long long>(machineChecks));
  }
  if (eccCorrected != 0 || eccUncorrected != 0) {
    cprintf(
        " ECC: the memory controllers counted %llu corrected and %llu "
        "uncorrected errors during the run.\n\r",
        static_cast<unsigned long long>(eccCorrected),
        static_cast<unsigned long long>(eccUncorrected));
  }
  if (!pass) findings_.printSummary();
  if (start_.options.syslog) {
    cprintf(" Events that could not be sent to the collector: %llu.\n\r",
            static_cast<unsigned long long>(unsent));
  }
  cprintf(start_.options.end == EndAction::kHalt
              ? " Testing has ended: switch the machine off.\n\r"
              : " Testing has ended: the machine switches itself off.\n\r");
  cprintf("%s\n\r", kRule);

  if (!start_.options.syslog) return pass;
  if (!pass) {
    SyslogEvent head;
    head.severity = kSeverityWarning;
    head.msgid = "summary";
    events_.postLines(head, findings_.summaryLines());
  }
  SyslogEvent event;
  event.severity = pass ? kSeverityNotice : kSeverityAlert;
  event.msgid = "verdict";
  event.params = {{"result", verdict},
                  {"mib", std::to_string(mib)},
                  {"hours", hours},
                  {"coverage", coverage},
                  {"errors", std::to_string(errors)},
                  {"unsent", std::to_string(unsent)}};
  if (machineChecks != 0) {
    event.params.emplace_back("machinechecks", std::to_string(machineChecks));
  }
  if (eccCorrected != 0 || eccUncorrected != 0) {
    event.params.emplace_back("ecccorrected", std::to_string(eccCorrected));
    event.params.emplace_back("eccuncorrected", std::to_string(eccUncorrected));
  }
  for (auto& param : identityParams()) event.params.push_back(param);
  event.text = verdict + ": " + std::to_string(mib) + " MiB tested for " +
               hours + " hours, " + coverage + " % coverage, " +
               errorsText(errors);
  if (machineChecks != 0) {
    event.text += ", " + std::to_string(machineChecks) + " machine check" +
                  (machineChecks == 1 ? "" : "s");
  }
  if (eccCorrected != 0 || eccUncorrected != 0) {
    event.text += ", ECC " + std::to_string(eccCorrected) + " corrected and " +
                  std::to_string(eccUncorrected) + " uncorrected";
  }
  events_.post(event);
  return pass;
}
