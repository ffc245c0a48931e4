#include "console/temperature_watch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/progress_line.h"
#include "tests/support/console_capture.h"
#include "tests/support/fake_hwmon.h"
#include "tests/support/fake_kernel.h"

namespace {

// A module's sensor on SMBus 0 at position `position`, reading `milli`.
void putModule(FakeKernel& kernel, int hwmon, int position, const char* milli,
               const char* crit = "85000\n") {
  const std::string device = "0-005" + std::to_string(position);
  putHwmonChip(kernel, "hwmon" + std::to_string(hwmon), "spd5118",
               device.c_str(), {{1, milli, nullptr, crit}});
}

void putPackage(FakeKernel& kernel, int hwmon, int package, const char* milli) {
  const std::string label = "Package id " + std::to_string(package) + "\n";
  putHwmonChip(kernel, "hwmon" + std::to_string(hwmon), "coretemp", nullptr,
               {{1, milli, label.c_str(), "100000\n"}});
}

class TemperatureWatchTest : public ::testing::Test {
 protected:
  std::string start() {
    ConsoleCapture console;
    watch.start();
    return console.take();
  }

  FakeKernel kernel;
  time_t now = 1000;
  TemperatureWatch watch{kernel, [this] { return now; }};
};

TEST_F(TemperatureWatchTest, TheStartUpLineSaysWhatTheSensorsRead) {
  struct Case {
    const char* what;
    void (*tree)(FakeKernel&);
    const char* line;
  };
  const Case cases[] = {
      {"a virtual machine: nothing at all", [](FakeKernel&) {},
       "Temperatures: no sensors found"},
      {"chips of other kinds only",
       [](FakeKernel& k) {
         putHwmonChip(k, "hwmon0", "acpitz", nullptr,
                      {{1, "27800\n", nullptr, nullptr}});
       },
       "Temperatures: no sensors found"},
      {"a DDR5 desktop",
       [](FakeKernel& k) {
         putPackage(k, 0, 0, "41250\n");
         putModule(k, 1, 0, "33000\n");
         putModule(k, 2, 1, "34600\n");
         putModule(k, 3, 2, "35400\n");
         putModule(k, 4, 3, "33100\n");
       },
       "Temperatures: CPU 41 \xc2\xb0"
       "C; 4 memory modules 33-35 \xc2\xb0"
       "C"},
      {"two packages, one module",
       [](FakeKernel& k) {
         putPackage(k, 0, 0, "52000\n");
         putPackage(k, 1, 1, "45000\n");
         putModule(k, 2, 0, "30000\n");
       },
       "Temperatures: 2 CPUs 45-52 \xc2\xb0"
       "C; 1 memory module 30 \xc2\xb0"
       "C"},
      {"DDR4 without sensors",
       [](FakeKernel& k) { putPackage(k, 0, 0, "41000\n"); },
       "Temperatures: CPU 41 \xc2\xb0"
       "C; no memory module sensors"},
      {"modules alike, no processor sensor",
       [](FakeKernel& k) {
         putModule(k, 0, 0, "33000\n");
         putModule(k, 1, 1, "32600\n");
       },
       "Temperatures: no CPU sensor; 2 memory modules 33 \xc2\xb0"
       "C"},
      {"one module gives no reading",
       [](FakeKernel& k) {
         putPackage(k, 0, 0, "41000\n");
         putModule(k, 1, 0, "33000\n");
         putModule(k, 2, 1, "\n");
         putModule(k, 3, 2, "34000\n");
       },
       "Temperatures: CPU 41 \xc2\xb0"
       "C; 3 memory modules 33-34 \xc2\xb0"
       "C (1 gives no reading)"},
      {"nothing gives a reading",
       [](FakeKernel& k) {
         putPackage(k, 0, 0, "\n");
         putModule(k, 1, 0, "\n");
         putModule(k, 2, 1, "garbage\n");
       },
       "Temperatures: CPU gives no reading; 2 memory modules give no "
       "reading"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeKernel k;
    c.tree(k);
    TemperatureWatch w(k, [] { return time_t{0}; });
    ConsoleCapture console;
    w.start();
    EXPECT_EQ(console.take(), std::string(c.line) + "\n");
  }
}

TEST_F(TemperatureWatchTest, AModuleOverItsLimitGetsOneLinePerCrossing) {
  putPackage(kernel, 0, 0, "45000\n");
  putModule(kernel, 1, 2, "40000\n");
  start();
  ConsoleCapture console;
  const std::string line =
      "\n\rTemperature: memory module 2 on SMBus 0 is at 86 \xc2\xb0"
      "C, at or above its critical limit of 85 \xc2\xb0"
      "C; testing goes on.\n\r";

  putHwmonFile(kernel, "hwmon1/temp1_input", "86000\n");
  now += TemperatureWatch::kSecondsBetweenLooks - 1;
  EXPECT_TRUE(watch.betweenTests());
  EXPECT_EQ(console.take(), "") << "too soon to look again";
  now += 1;
  EXPECT_TRUE(watch.betweenTests()) << "heat never ends the run";
  EXPECT_EQ(console.take(), line);

  // Hotter, then back under the limit but within the hysteresis, then up
  // again: still the same crossing.
  for (const char* reading : {"88000\n", "84000\n", "86400\n"}) {
    putHwmonFile(kernel, "hwmon1/temp1_input", reading);
    now += TemperatureWatch::kSecondsBetweenLooks;
    watch.poll();
    EXPECT_EQ(console.take(), "") << reading;
  }
  // Well below it, then at it again: a new crossing, read at once before a
  // verdict.
  putHwmonFile(kernel, "hwmon1/temp1_input", "60000\n");
  now += TemperatureWatch::kSecondsBetweenLooks;
  watch.poll();
  putHwmonFile(kernel, "hwmon1/temp1_input", "85900\n");
  now += 1;
  watch.lastLook();
  EXPECT_EQ(console.take(), line);
}

TEST_F(TemperatureWatchTest, AModuleAtItsLimitAtStartUpIsNamedThere) {
  putModule(kernel, 1, 0, "91000\n", nullptr);
  // The label's escape sequence and bell never reach the console.
  putHwmonChip(kernel, "hwmon2", "jc42", "0-0019",
               {{1, "96000\n", "DIMM\x1b[2J B1\x07\n", "95000\n"}});
  const std::string shown = start();
  EXPECT_EQ(shown,
            "Temperatures: no CPU sensor; 2 memory modules 91-96 \xc2\xb0"
            "C\n"
            "Temperature: memory module 0 on SMBus 0 is at 91 \xc2\xb0"
            "C, at or above its critical limit of 85 \xc2\xb0"
            "C.\n"
            "Temperature: memory module DIMM?[2J B1? is at 96 \xc2\xb0"
            "C, at or above its critical limit of 95 \xc2\xb0"
            "C.\n");
  for (const char c : shown) {
    EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20)
        << "control byte " << static_cast<int>(c);
  }
}

// The summary line of endless testing gets the highest readings beside it;
// a sensor that has gone keeps what it read.
TEST_F(TemperatureWatchTest, TheHighestReadingsGoBesideTheSummaryLine) {
  putPackage(kernel, 0, 0, "41000\n");
  putModule(kernel, 1, 0, "36000\n");
  putModule(kernel, 2, 1, "37000\n");
  start();
  for (const char* cpu : {"58000\n", "50000\n"}) {
    putHwmonFile(kernel, "hwmon0/temp1_input", cpu);
    putHwmonFile(kernel, "hwmon2/temp1_input", "86000\n");
    now += TemperatureWatch::kSecondsBetweenLooks;
    ConsoleCapture quiet;
    watch.poll();
    quiet.take();
  }
  removeHwmonChip(kernel, "hwmon2");
  now += TemperatureWatch::kSecondsBetweenLooks;
  watch.poll();

  FakeKernel bare;
  TemperatureWatch none(bare, [] { return time_t{0}; });
  {
    ConsoleCapture quiet;
    none.start();
    quiet.take();
  }

  uint32_t errors = 0;
  ProgressLine progress(
      errors, [this] { return now; }, nullptr, &watch);
  progress.setStartTime(static_cast<uint32_t>(now));
  ConsoleCapture console;
  // The sixth turn of the coverage prints the summary.
  for (int turn = 0; turn < 6; ++turn) {
    progress.printStats(static_cast<float>(turn * 100 + 10), 0, '#');
    progress.printStats(static_cast<float>(turn * 100 + 60), 0, '#');
  }
  const std::string shown = console.take();
  EXPECT_NE(shown.find("\n\rSummary: tested for 0.0 hours, with 0 errors "
                       "found.\n\rHighest temperatures so far: CPU 58 \xc2\xb0"
                       "C; 2 memory modules 36-86 \xc2\xb0"
                       "C; 1 memory module reached its critical limit\n\r"),
            std::string::npos)
      << shown;

  // Without sensors, nothing beside it.
  none.printHighest();
  EXPECT_EQ(console.take(), "");
}

}  // namespace
