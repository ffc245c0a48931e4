#include "options/run_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Expected {
  bool any;
  uint64_t seconds;
  double coverage;
  EndAction end;
  bool syslog;
  const char* host;
  uint16_t port;
  bool logSerial = false;
  bool beep = true;
  unsigned cpus = 0;
};

constexpr Expected kNone{false, 0, 0, EndAction::kHalt, false, "", 514};

TEST(RunOptionsTest, ReadsEachOptionAndIgnoresWhatDoesNotParse) {
  struct Case {
    std::string cmdline;
    Expected options;
    // The complaint's start, or nullptr when there is none.
    const char* complaint;
  };
  const Case cases[] = {
      {"quiet console=ttyS0,115200", kNone, nullptr},
      {"", kNone, nullptr},
      // Durations with a unit: a one-minute test and a 48-hour burn-in.
      {"cellcheck.time=1m",
       {true, 60, 0, EndAction::kHalt, false, "", 514},
       nullptr},
      {"quiet cellcheck.time=48h cellcheck.end=poweroff",
       {true, 48 * 3600, 0, EndAction::kPowerOff, false, "", 514},
       nullptr},
      {"cellcheck.time=1h30m",
       {true, 5400, 0, EndAction::kHalt, false, "", 514},
       nullptr},
      {"cellcheck.coverage=100",
       {true, 0, 100, EndAction::kHalt, false, "", 514},
       nullptr},
      {"cellcheck.coverage=250.5%",
       {true, 0, 250.5, EndAction::kHalt, false, "", 514},
       nullptr},
      // No host: the log server from DHCP; with or without the '='.
      {"cellcheck.syslog",
       {true, 0, 0, EndAction::kHalt, true, "", 514},
       nullptr},
      {"cellcheck.syslog=",
       {true, 0, 0, EndAction::kHalt, true, "", 514},
       nullptr},
      {"cellcheck.syslog=192.0.2.10",
       {true, 0, 0, EndAction::kHalt, true, "192.0.2.10", 514},
       nullptr},
      {"cellcheck.syslog=192.0.2.10:5514 cellcheck.end=halt",
       {true, 0, 0, EndAction::kHalt, true, "192.0.2.10", 5514},
       nullptr},
      // Quoted as the kernel allows; the last of a repeated option counts.
      {"cellcheck.time=\"2d\" cellcheck.time=90s",
       {true, 90, 0, EndAction::kHalt, false, "", 514},
       nullptr},
      // Malformed values: one line each, the option as if not given.
      {"cellcheck.time=60", kNone,
       "Option cellcheck.time=60 ignored: not a "
       "duration"},
      {"cellcheck.time=5x", kNone, "Option cellcheck.time=5x ignored"},
      {"cellcheck.time=0m", kNone, "Option cellcheck.time=0m ignored"},
      {"cellcheck.time=-1h", kNone, "Option cellcheck.time=-1h ignored"},
      {"cellcheck.time", kNone, "Option cellcheck.time ignored"},
      {"cellcheck.time=367d", kNone, "Option cellcheck.time=367d ignored"},
      {"cellcheck.time=99999999999999999999s", kNone,
       "Option cellcheck.time=99999999999999999999s ignored"},
      {"cellcheck.coverage=0", kNone, "Option cellcheck.coverage=0 ignored"},
      {"cellcheck.coverage=abc", kNone,
       "Option cellcheck.coverage=abc ignored: not a coverage"},
      {"cellcheck.coverage=1e3", kNone,
       "Option cellcheck.coverage=1e3 ignored"},
      {"cellcheck.end=reboot", kNone,
       "Option cellcheck.end=reboot ignored: the end is halt or poweroff."},
      {"cellcheck.syslog=collector.example", kNone,
       "Option cellcheck.syslog=collector.example ignored: give the "
       "collector as an IPv4 address"},
      {"cellcheck.syslog=192.0.2.10:0", kNone,
       "Option cellcheck.syslog=192.0.2.10:0 ignored"},
      {"cellcheck.syslog=192.0.2.10:70000", kNone,
       "Option cellcheck.syslog=192.0.2.10:70000 ignored"},
      {"cellcheck.syslog=192.0.2.256", kNone,
       "Option cellcheck.syslog=192.0.2.256 ignored"},
      // Event lines on the serial port, alone or beside a collector; the
      // beep off (or on, as without the option).
      {"cellcheck.log=serial",
       {true, 0, 0, EndAction::kHalt, false, "", 514, true},
       nullptr},
      {"cellcheck.time=90s cellcheck.log=serial cellcheck.syslog",
       {true, 90, 0, EndAction::kHalt, true, "", 514, true},
       nullptr},
      {"cellcheck.beep=off",
       {true, 0, 0, EndAction::kHalt, false, "", 514, false, false},
       nullptr},
      {"cellcheck.beep=off cellcheck.beep=on",
       {true, 0, 0, EndAction::kHalt, false, "", 514, false, true},
       nullptr},
      {"cellcheck.log=ttyS1", kNone,
       "Option cellcheck.log=ttyS1 ignored: the only place for event lines "
       "is serial"},
      {"cellcheck.log", kNone, "Option cellcheck.log ignored"},
      {"cellcheck.beep=quiet", kNone,
       "Option cellcheck.beep=quiet ignored: the beep is on or off."},
      {"cellcheck.beep", kNone, "Option cellcheck.beep ignored"},
      {"cellcheck.verbose=1", kNone,
       "Option cellcheck.verbose=1 ignored: unknown (known: cellcheck.time, "
       "cellcheck.coverage, cellcheck.end, cellcheck.syslog, cellcheck.log, "
       "cellcheck.beep, cellcheck.cpus)."},
      // A cap on the CPUs that test; alone it leaves the run attended.
      {"cellcheck.cpus=1",
       {false, 0, 0, EndAction::kHalt, false, "", 514, false, true, 1},
       nullptr},
      {"cellcheck.cpus=64 cellcheck.time=1m",
       {true, 60, 0, EndAction::kHalt, false, "", 514, false, true, 64},
       nullptr},
      {"cellcheck.cpus=0", kNone,
       "Option cellcheck.cpus=0 ignored: not a number of CPUs"},
      {"cellcheck.cpus", kNone, "Option cellcheck.cpus ignored"},
      {"cellcheck.cpus=", kNone, "Option cellcheck.cpus= ignored"},
      {"cellcheck.cpus=-2", kNone, "Option cellcheck.cpus=-2 ignored"},
      {"cellcheck.cpus=4x", kNone, "Option cellcheck.cpus=4x ignored"},
      {"cellcheck.cpus=04", kNone, "Option cellcheck.cpus=04 ignored"},
      {"cellcheck.cpus=99999", kNone, "Option cellcheck.cpus=99999 ignored"},
      // A bad cap after a good one leaves the good one.
      {"cellcheck.cpus=2 cellcheck.cpus=many",
       {false, 0, 0, EndAction::kHalt, false, "", 514, false, true, 2},
       "Option cellcheck.cpus=many ignored"},
      // Addresses that name no host would take events nowhere.
      {"cellcheck.syslog=0.0.0.0", kNone,
       "Option cellcheck.syslog=0.0.0.0 ignored"},
      {"cellcheck.syslog=127.0.0.1:514", kNone,
       "Option cellcheck.syslog=127.0.0.1:514 ignored"},
      {"cellcheck.syslog=127.200.0.9", kNone,
       "Option cellcheck.syslog=127.200.0.9 ignored"},
      {"cellcheck.syslog=224.0.0.1", kNone,
       "Option cellcheck.syslog=224.0.0.1 ignored"},
      {"cellcheck.syslog=239.255.255.250", kNone,
       "Option cellcheck.syslog=239.255.255.250 ignored"},
      {"cellcheck.syslog=240.0.0.1", kNone,
       "Option cellcheck.syslog=240.0.0.1 ignored"},
      {"cellcheck.syslog=255.255.255.255", kNone,
       "Option cellcheck.syslog=255.255.255.255 ignored"},
      // Bytes after a NUL, which inet_pton never sees, are no address.
      {std::string("cellcheck.syslog=192.0.2.1\0\0 quiet", 35), kNone,
       "Option cellcheck.syslog=192.0.2.1\\x00\\x00 ignored"},
      {"cellcheck.syslog=223.255.255.254",
       {true, 0, 0, EndAction::kHalt, true, "223.255.255.254", 514},
       nullptr},
      {"cellcheck.syslog=1.0.0.1",
       {true, 0, 0, EndAction::kHalt, true, "1.0.0.1", 514},
       nullptr},
      // Control bytes are shown escaped, never sent to the console.
      {"cellcheck.e\x1b[2Jnd=x", kNone,
       "Option cellcheck.e\\x1b[2Jnd=x ignored: unknown"},
      {"cellcheck.time=\x9b"
       "2J1h\x7f",
       kNone, "Option cellcheck.time=\\x9b2J1h\\x7f ignored: not a duration"},
      {"cellcheck.end=\x07\x01", kNone,
       "Option cellcheck.end=\\x07\\x01 ignored"},
      // A good option stands beside a bad one.
      {"cellcheck.time=30s cellcheck.end=later",
       {true, 30, 0, EndAction::kHalt, false, "", 514},
       "Option cellcheck.end=later ignored"},
      // Other parameters that merely look alike are the kernel's.
      {"xcellcheck.time=5x cellcheck=1", kNone, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cmdline);
    std::vector<std::string> complaints;
    const RunOptions options = parseRunOptions(c.cmdline, &complaints);
    EXPECT_EQ(options.any, c.options.any);
    EXPECT_EQ(options.seconds, c.options.seconds);
    EXPECT_EQ(options.coverage, c.options.coverage);
    EXPECT_EQ(options.end, c.options.end);
    EXPECT_EQ(options.syslog, c.options.syslog);
    EXPECT_EQ(options.syslogHost, c.options.host);
    EXPECT_EQ(options.syslogPort, c.options.port);
    EXPECT_EQ(options.logSerial, c.options.logSerial);
    EXPECT_EQ(options.beep, c.options.beep);
    EXPECT_EQ(options.cpus, c.options.cpus);
    if (c.complaint == nullptr) {
      EXPECT_TRUE(complaints.empty()) << complaints[0];
    } else {
      ASSERT_EQ(complaints.size(), 1u);
      EXPECT_EQ(complaints[0].rfind(c.complaint, 0), 0u) << complaints[0];
      for (const char byte : complaints[0]) {
        EXPECT_TRUE(byte >= ' ' && byte <= '~') << complaints[0];
      }
    }
  }
}

TEST(RunOptionsTest, SaysWhatTheOptionsAskFor) {
  struct Case {
    const char* cmdline;
    const char* line;
  };
  for (Case c : {
           Case{"cellcheck.time=1m cellcheck.end=poweroff cellcheck.syslog",
                "Unattended run: full testing for 1 min, then a verdict and "
                "power off; events to the log server from DHCP."},
           Case{"cellcheck.time=36h cellcheck.coverage=300",
                "Unattended run: full testing for 36 h or 300 % coverage, "
                "whichever comes first, then a verdict and halt."},
           Case{"cellcheck.syslog=192.0.2.1:5514",
                "Unattended run: tests until switched off; events to "
                "192.0.2.1:5514."},
           Case{"cellcheck.time=2m cellcheck.log=serial cellcheck.beep=off",
                "Unattended run: full testing for 2 min, then a verdict and "
                "halt; event lines on the first serial port (ttyS0); no "
                "beeps."},
       }) {
    std::vector<std::string> complaints;
    EXPECT_EQ(describeRunOptions(parseRunOptions(c.cmdline, &complaints)),
              c.line);
  }
}

}  // namespace
