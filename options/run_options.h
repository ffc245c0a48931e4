// The options of an unattended run, given on the kernel command line: every
// parameter named cellcheck.* is Cellcheck's, every other one the kernel's.
// Without any, the run is the endless one a person at the machine watches:
// no network, no drivers, no verdict.
#ifndef CELLCHECK_OPTIONS_RUN_OPTIONS_H_
#define CELLCHECK_OPTIONS_RUN_OPTIONS_H_

#include <cstdint>
#include <string>
#include <vector>

// What the machine does once the verdict is shown. It never reboots on its
// own: a reboot could not be told apart from a crash.
enum class EndAction {
  kHalt,      // stays on, the verdict on the screen
  kPowerOff,  // switches itself off
};

struct RunOptions {
  // Some cellcheck.* parameter took effect: the run is unattended.
  bool any = false;
  // Full testing ends after this many seconds, counted from the notice that
  // it begins; 0: no time limit.
  uint64_t seconds = 0;
  // Full testing ends once the coverage (as the progress line shows it)
  // reaches this many percent; 0: no coverage limit.
  double coverage = 0;
  EndAction end = EndAction::kHalt;
  // Events go to a syslog collector; the network is brought up for it.
  bool syslog = false;
  // The collector's IPv4 address, dotted; empty: the log server that DHCP
  // hands out (option 7).
  std::string syslogHost;
  uint16_t syslogPort = 514;
  // cellcheck.cpus=N: at most this many CPUs test (1: the one-thread run);
  // 0: every CPU the program may run on. Not an unattended run's option: it
  // says how to test, and alone leaves the run an attended one.
  unsigned cpus = 0;
  // Every event also goes out as a line on the first serial port, at
  // once: for a serial console, or a management controller's capture of
  // it, without a network.
  bool logSerial = false;
  // The PC speaker sounds at the first error and at the verdict.
  bool beep = true;

  bool timed() const { return seconds != 0 || coverage != 0; }
};

// The options in `cmdline` (the text of /proc/cmdline). A malformed or
// unknown cellcheck.* parameter is ignored and gets one line in
// `complaints` saying so and why; a repeated one counts as its last value.
RunOptions parseRunOptions(const std::string& cmdline,
                           std::vector<std::string>* complaints);

// "48h", "90s", "1h30m", "2d": a positive whole number of seconds, minutes,
// hours or days, or a sum of them. False for anything else, a bare number
// included, and for more than kMaxSeconds.
bool parseDuration(const std::string& text, uint64_t* seconds);
constexpr uint64_t kMaxSeconds = uint64_t{366} * 24 * 3600;

// One line for the console that says what the options ask for, e.g. "Full
// testing for 48 h, then halt; events to the log server from DHCP".
std::string describeRunOptions(const RunOptions& options);

#endif  // CELLCHECK_OPTIONS_RUN_OPTIONS_H_
