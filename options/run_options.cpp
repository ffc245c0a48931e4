#include "options/run_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "base/host_address.h"

namespace {

constexpr char kPrefix[] = "cellcheck.";
constexpr size_t kPrefixLength = sizeof kPrefix - 1;
constexpr double kMaxCoverage = 1000000;

// One parameter of the command line: its name and, after the first '=', its
// value (hasValue false when there is no '=').
struct Parameter {
  std::string name;
  std::string value;
  bool hasValue = false;
};

// Splits the command line as the kernel does: at blanks outside double
// quotes; the quotes themselves are dropped.
std::vector<Parameter> splitCommandLine(const std::string& cmdline) {
  std::vector<Parameter> parameters;
  size_t at = 0;
  while (at < cmdline.size()) {
    while (at < cmdline.size() &&
           isspace(static_cast<unsigned char>(cmdline[at])))
      ++at;
    if (at == cmdline.size()) break;
    std::string word;
    bool quoted = false;
    for (; at < cmdline.size(); ++at) {
      const char c = cmdline[at];
      if (c == '"') {
        quoted = !quoted;
      } else if (!quoted && isspace(static_cast<unsigned char>(c))) {
        break;
      } else {
        word += c;
      }
    }
    Parameter parameter;
    const size_t equals = word.find('=');
    parameter.name = word.substr(0, equals);
    if (equals != std::string::npos) {
      parameter.value = word.substr(equals + 1);
      parameter.hasValue = true;
    }
    parameters.push_back(parameter);
  }
  return parameters;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool parseCoverage(std::string text, double* percent) {
  if (!text.empty() && text.back() == '%') text.pop_back();
  if (text.empty() || !isDigit(text[0])) return false;
  for (char c : text) {
    if (!isDigit(c) && c != '.') return false;
  }
  char* end = nullptr;
  const double value = strtod(text.c_str(), &end);
  if (*end != '\0' || !(value > 0) || value > kMaxCoverage) return false;
  *percent = value;
  return true;
}

bool parsePort(const std::string& text, uint16_t* port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned long value = 0;
  for (char c : text) {
    if (!isDigit(c)) return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

// HOST or HOST:PORT, HOST the IPv4 address of a host (the image has no name
// service).
bool parseCollector(const std::string& text, std::string* host,
                    uint16_t* port) {
  const size_t colon = text.find(':');
  const std::string address = text.substr(0, colon);
  if (!isHostAddress(address)) return false;
  uint16_t chosenPort = 514;
  if (colon != std::string::npos &&
      !parsePort(text.substr(colon + 1), &chosenPort)) {
    return false;
  }
  *host = address;
  *port = chosenPort;
  return true;
}

// A whole number of CPUs from 1 to kMaxCpus; more than any machine has
// means a typing error.
constexpr unsigned kMaxCpus = 65536;
bool parseCpuCount(const std::string& text, unsigned* cpus) {
  if (text.empty() || text.size() > 5 || text[0] == '0') return false;
  unsigned value = 0;
  for (char c : text) {
    if (!isDigit(c)) return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > kMaxCpus) return false;
  *cpus = value;
  return true;
}

// The parameter as given, for a complaint on the console: a byte outside
// printable ASCII is shown as \xHH, never sent to the console as it is (an
// escape sequence there could clear or rewrite the screen).
std::string shown(const Parameter& parameter) {
  const std::string given = parameter.hasValue
                                ? parameter.name + "=" + parameter.value
                                : parameter.name;
  std::string text;
  for (const char c : given) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= ' ' && byte <= '~') {
      text += c;
    } else {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      text += escaped;
    }
  }
  return text;
}

}  // namespace

bool parseDuration(const std::string& text, uint64_t* seconds) {
  if (text.empty()) return false;
  uint64_t total = 0;
  size_t at = 0;
  while (at < text.size()) {
    uint64_t number = 0;
    const size_t digitsFrom = at;
    for (; at < text.size() && isDigit(text[at]); ++at) {
      number = number * 10 + static_cast<uint64_t>(text[at] - '0');
      if (number > kMaxSeconds) return false;
    }
    if (at == digitsFrom || at == text.size()) return false;  // no unit
    uint64_t unit;
    switch (text[at++]) {
      case 's':
        unit = 1;
        break;
      case 'm':
        unit = 60;
        break;
      case 'h':
        unit = 3600;
        break;
      case 'd':
        unit = 86400;
        break;
      default:
        return false;
    }
    total += number * unit;
    if (total > kMaxSeconds) return false;
  }
  if (total == 0) return false;
  *seconds = total;
  return true;
}

RunOptions parseRunOptions(const std::string& cmdline,
                           std::vector<std::string>* complaints) {
  RunOptions options;
  auto complain = [&](const Parameter& parameter, const std::string& why) {
    complaints->push_back("Option " + shown(parameter) + " ignored: " + why);
  };
  for (const Parameter& parameter : splitCommandLine(cmdline)) {
    if (parameter.name.compare(0, kPrefixLength, kPrefix) != 0) continue;
    const size_t complaintsBefore = complaints->size();
    const std::string key = parameter.name.substr(kPrefixLength);
    if (key == "time") {
      uint64_t seconds;
      if (!parameter.hasValue || !parseDuration(parameter.value, &seconds)) {
        complain(parameter,
                 "not a duration (write it with a unit, like 90s, 30m, 48h or "
                 "2d; at most 366d).");
      } else {
        options.seconds = seconds;
      }
    } else if (key == "coverage") {
      double percent;
      if (!parameter.hasValue || !parseCoverage(parameter.value, &percent)) {
        complain(parameter, "not a coverage in percent (like 100 or 250%).");
      } else {
        options.coverage = percent;
      }
    } else if (key == "end") {
      if (parameter.value == "halt") {
        options.end = EndAction::kHalt;
      } else if (parameter.value == "poweroff") {
        options.end = EndAction::kPowerOff;
      } else {
        complain(parameter, "the end is halt or poweroff.");
      }
    } else if (key == "syslog") {
      std::string host;
      uint16_t port = 514;
      if (parameter.value.empty()) {
        options.syslog = true;
        options.syslogHost.clear();
        options.syslogPort = 514;
      } else if (parseCollector(parameter.value, &host, &port)) {
        options.syslog = true;
        options.syslogHost = host;
        options.syslogPort = port;
      } else {
        complain(parameter,
                 "give the collector as an IPv4 address with an optional "
                 "port (like 192.0.2.10 or 192.0.2.10:5514), or no value for "
                 "the log server from DHCP; 0.x, 127.x, multicast and "
                 "broadcast addresses name no collector.");
      }
    } else if (key == "log") {
      if (parameter.value == "serial") {
        options.logSerial = true;
      } else {
        complain(parameter,
                 "the only place for event lines is serial (the first serial "
                 "port).");
      }
    } else if (key == "beep") {
      if (parameter.value == "off") {
        options.beep = false;
      } else if (parameter.value == "on") {
        options.beep = true;
      } else {
        complain(parameter, "the beep is on or off.");
      }
    } else if (key == "cpus") {
      unsigned cpus;
      if (!parameter.hasValue || !parseCpuCount(parameter.value, &cpus)) {
        complain(parameter,
                 "not a number of CPUs (a whole number from 1, like 4).");
      } else {
        options.cpus = cpus;
      }
      continue;
    } else {
      complain(parameter,
               "unknown (known: cellcheck.time, cellcheck.coverage, "
               "cellcheck.end, cellcheck.syslog, cellcheck.log, "
               "cellcheck.beep, cellcheck.cpus).");
    }
    if (complaints->size() == complaintsBefore) options.any = true;
  }
  return options;
}

namespace {

std::string durationText(uint64_t seconds) {
  char text[64];
  if (seconds % 86400 == 0) {
    snprintf(text, sizeof text, "%llu d",
             static_cast<unsigned long long>(seconds / 86400));
  } else if (seconds % 3600 == 0) {
    snprintf(text, sizeof text, "%llu h",
             static_cast<unsigned long long>(seconds / 3600));
  } else if (seconds % 60 == 0) {
    snprintf(text, sizeof text, "%llu min",
             static_cast<unsigned long long>(seconds / 60));
  } else {
    snprintf(text, sizeof text, "%llu s",
             static_cast<unsigned long long>(seconds));
  }
  return text;
}

}  // namespace

std::string describeRunOptions(const RunOptions& options) {
  std::string text;
  if (!options.timed()) {
    text = "Unattended run: tests until switched off";
  } else {
    text = "Unattended run: full testing for ";
    if (options.seconds != 0) text += durationText(options.seconds);
    if (options.seconds != 0 && options.coverage != 0) text += " or ";
    if (options.coverage != 0) {
      char percent[32];
      snprintf(percent, sizeof percent, "%g %% coverage", options.coverage);
      text += percent;
    }
    if (options.seconds != 0 && options.coverage != 0) {
      text += ", whichever comes first";
    }
    text += options.end == EndAction::kHalt ? ", then a verdict and halt"
                                            : ", then a verdict and power off";
  }
  if (options.syslog) {
    text += options.syslogHost.empty()
                ? "; events to the log server from DHCP"
                : "; events to " + options.syslogHost + ":" +
                      std::to_string(options.syslogPort);
  }
  if (options.logSerial)
    text += "; event lines on the first serial port (ttyS0)";
  if (!options.beep) text += "; no beeps";
  return text + ".";
}
