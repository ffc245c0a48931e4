#include "sensors/temperature_sensors.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fake_hwmon.h"
#include "tests/support/fake_kernel.h"

namespace {

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() &&
         text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The chips a workstation shows, and some it should leave alone: the
// processors come first, then the modules, each in their folders' order
// (hwmon10 after hwmon5).
TEST(TemperatureSensorsTest, FindsTheProcessorsAndModulesAndNamesThem) {
  FakeKernel kernel;
  putHwmonChip(kernel, "hwmon0", "acpitz", nullptr,
               {{1, "27800\n", nullptr, nullptr}});
  // AMD: Tctl carries an offset for the fans; Tdie is the die's own.
  putHwmonChip(kernel, "hwmon1", "k10temp", nullptr,
               {{1, "61000\n", "Tctl\n", nullptr},
                {2, "41000\n", "Tdie\n", nullptr},
                {3, "45000\n", "Tccd1\n", nullptr}});
  putHwmonChip(kernel, "hwmon2", "nvme", nullptr,
               {{1, "38850\n", "Composite\n", nullptr}});
  putHwmonChip(kernel, "hwmon3", "spd5118", "0-0052",
               {{1, "33250\n", nullptr, "85000\n"}});
  // A JC-42.4 chip whose limit the firmware never set reads 0.
  putHwmonChip(kernel, "hwmon10", "jc42", "1-001b",
               {{1, "35000\n", nullptr, "0\n"}});
  putHwmonChip(kernel, "hwmon5", "spd5118", nullptr,
               {{1, "34000\n", nullptr, "95000\n"}});
  // Intel: the package sensor, after the cores' channels.
  putHwmonChip(kernel, "hwmon6", "coretemp", nullptr,
               {{2, "48000\n", "Core 0\n", "100000\n"},
                {1, "50000\n", "Package id 0\n", "100000\n"}});
  // A chip that shows no temperature yet is watched all the same.
  putHwmonChip(kernel, "hwmon7", "jc42", "0-0018", {});

  TemperatureSensors sensors(kernel);
  sensors.scan();
  struct Expected {
    SensorKind kind;
    const char* name;
    const char* input;
    int critical;
  };
  const Expected expected[] = {
      {SensorKind::kProcessor, "CPU 0", "hwmon1/temp2_input", 0},
      {SensorKind::kProcessor, "CPU 1", "hwmon6/temp1_input", 0},
      {SensorKind::kMemoryModule, "memory module 2 on SMBus 0",
       "hwmon3/temp1_input", 85000},
      {SensorKind::kMemoryModule, "memory module hwmon5", "hwmon5/temp1_input",
       95000},
      {SensorKind::kMemoryModule, "memory module 0 on SMBus 0",
       "hwmon7/temp1_input", 85000},
      {SensorKind::kMemoryModule, "memory module 3 on SMBus 1",
       "hwmon10/temp1_input", 85000},
  };
  ASSERT_EQ(sensors.size(), 6);
  for (int i = 0; i < sensors.size(); ++i) {
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(sensors[i].kind, expected[i].kind);
    EXPECT_STREQ(sensors[i].name, expected[i].name);
    EXPECT_TRUE(endsWith(sensors[i].input, expected[i].input))
        << sensors[i].input;
    if (expected[i].kind == SensorKind::kMemoryModule) {
      EXPECT_EQ(sensors[i].criticalMilli, expected[i].critical);
    }
  }

  int crossed[4];
  EXPECT_EQ(sensors.refresh(crossed, 4), 0);
  const TemperatureSpan cpus =
      sensors.span(SensorKind::kProcessor, Reading::kNow);
  EXPECT_EQ(cpus.sensors, 2);
  EXPECT_EQ(cpus.read, 2);
  EXPECT_EQ(cpus.lowest, 41);
  EXPECT_EQ(cpus.highest, 50);
  const TemperatureSpan modules =
      sensors.span(SensorKind::kMemoryModule, Reading::kNow);
  EXPECT_EQ(modules.sensors, 4);
  EXPECT_EQ(modules.read, 3) << "the chip without a temperature";
  EXPECT_EQ(modules.lowest, 33);
  EXPECT_EQ(modules.highest, 35);

  // One processor alone is simply "CPU".
  FakeKernel desktop;
  putHwmonChip(desktop, "hwmon2", "coretemp", nullptr,
               {{1, "50000\n", "Package id 0\n", nullptr}});
  TemperatureSensors one(desktop);
  one.scan();
  ASSERT_EQ(one.size(), 1);
  EXPECT_STREQ(one[0].name, "CPU");
}

// A board's label for its slot is printed as it is, except for what a
// console must never get raw: control bytes (an escape sequence would
// clear the screen), and bytes beyond ASCII.
TEST(TemperatureSensorsTest, OddLabelsAreMadePrintable) {
  const struct {
    const char* label;
    const char* name;
  } cases[] = {
      {"DIMM A1\n", "memory module DIMM A1"},
      {"  P0 CHANNEL A DIMM 0  \n", "memory module P0 CHANNEL A DIMM 0"},
      {"DIMM\x1b[2J\tA1\x07\n", "memory module DIMM?[2J?A1?"},
      {"Steckplatz \xc3\xa4\n", "memory module Steckplatz ??"},
      {"\n", "memory module 2 on SMBus 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeKernel kernel;
    putHwmonChip(kernel, "hwmon3", "spd5118", "0-0052",
                 {{1, "33000\n", nullptr, nullptr}});
    putHwmonFile(kernel, "hwmon3/label", c.label);
    TemperatureSensors sensors(kernel);
    sensors.scan();
    ASSERT_EQ(sensors.size(), 1);
    EXPECT_STREQ(sensors[0].name, c.name);
  }
  // A name that is no driver's exactly is no chip of ours.
  FakeKernel kernel;
  putHwmonChip(kernel, "hwmon3", "spd5118\x1b", "0-0052",
               {{1, "33000\n", nullptr, nullptr}});
  TemperatureSensors sensors(kernel);
  sensors.scan();
  EXPECT_EQ(sensors.size(), 0);
}

// A module that reaches its limit counts once; it must fall below the limit
// by the hysteresis before reaching it again counts again. Processors have
// no such limit here.
TEST(TemperatureSensorsTest, AModuleAtItsLimitCountsOncePerCrossing) {
  FakeKernel kernel;
  putHwmonChip(kernel, "hwmon0", "coretemp", nullptr,
               {{1, "40000\n", "Package id 0\n", "100000\n"}});
  putHwmonChip(kernel, "hwmon3", "spd5118", "0-0050",
               {{1, "40000\n", nullptr, "85000\n"}});
  TemperatureSensors sensors(kernel);
  sensors.scan();
  int crossed[2];
  ASSERT_EQ(sensors.refresh(crossed, 2), 0);
  const struct {
    const char* reading;
    bool counts;
  } steps[] = {
      {"84999\n", false}, {"85000\n", true},  {"90000\n", false},
      {"83500\n", false},  // within the hysteresis: still at the limit
      {"86000\n", false}, {"82999\n", false},  // now well below it
      {"85400\n", true},  {"85400\n", false},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.reading);
    putHwmonFile(kernel, "hwmon3/temp1_input", step.reading);
    putHwmonFile(kernel, "hwmon0/temp1_input", "105000\n");
    const int found = sensors.refresh(crossed, 2);
    EXPECT_EQ(found, step.counts ? 1 : 0);
    if (step.counts) {
      EXPECT_EQ(crossed[0], 1);
    }
  }
  EXPECT_EQ(sensors[1].crossings, 2u);
  EXPECT_EQ(sensors[0].crossings, 0u);
  EXPECT_EQ(sensors.modulesThatReachedTheirLimit(), 1);
  EXPECT_EQ(wholeDegrees(sensors[1].highestMilli), 90);
}

// More modules than the caller has room for at once: all count, the count
// says so.
TEST(TemperatureSensorsTest, CrossingsBeyondTheCallersRoomAreCounted) {
  FakeKernel kernel;
  for (int i = 0; i < 3; ++i) {
    putHwmonChip(kernel, "hwmon" + std::to_string(i), "spd5118", nullptr,
                 {{1, "90000\n", nullptr, nullptr}});
  }
  TemperatureSensors sensors(kernel);
  sensors.scan();
  int crossed[1] = {-1};
  EXPECT_EQ(sensors.refresh(crossed, 1), 3);
  EXPECT_EQ(crossed[0], 0);
  EXPECT_EQ(sensors.modulesThatReachedTheirLimit(), 3);
}

// A reading that cannot be had (a bus error, garbage, a value no sensor
// shows, the chip gone) is no reading: the sensor keeps its highest and
// counts nothing, and a later good reading is taken again.
TEST(TemperatureSensorsTest, ASensorThatVanishesOrCannotBeReadKeepsItsHighest) {
  const struct {
    const char* what;
    const char* text;  // null: the file is gone
    bool chipGone;
  } cases[] = {
      {"an empty reading (the driver's read failed)", "", false},
      {"not a number", "abc\n", false},
      {"a number with more after it", "41000x\n", false},
      {"far beyond any sensor", "255875\n", false},
      {"far below any sensor", "-273000\n", false},
      {"the file gone", nullptr, false},
      {"the chip gone", nullptr, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeKernel kernel;
    putHwmonChip(kernel, "hwmon3", "jc42", "0-0019",
                 {{1, "40000\n", nullptr, "85000\n"}});
    TemperatureSensors sensors(kernel);
    sensors.scan();
    int crossed[1];
    sensors.refresh(crossed, 1);
    putHwmonFile(kernel, "hwmon3/temp1_input", "45000\n");
    sensors.refresh(crossed, 1);
    if (c.chipGone) {
      removeHwmonChip(kernel, "hwmon3");
    } else if (c.text == nullptr) {
      remove(kernel.file("/sys/class/hwmon/hwmon3/temp1_input").c_str());
    } else {
      putHwmonFile(kernel, "hwmon3/temp1_input", c.text);
    }
    EXPECT_EQ(sensors.refresh(crossed, 1), 0);
    EXPECT_FALSE(sensors[0].readable);
    EXPECT_EQ(sensors[0].highestMilli, 45000);
    EXPECT_EQ(sensors.span(SensorKind::kMemoryModule, Reading::kNow).read, 0);
    const TemperatureSpan highest =
        sensors.span(SensorKind::kMemoryModule, Reading::kHighest);
    EXPECT_EQ(highest.read, 1);
    EXPECT_EQ(highest.highest, 45);

    putHwmonChip(kernel, "hwmon3", "jc42", nullptr,
                 {{1, "30000\n", nullptr, nullptr}});
    sensors.refresh(crossed, 1);
    EXPECT_TRUE(sensors[0].readable);
    EXPECT_EQ(sensors[0].nowMilli, 30000);
    EXPECT_EQ(sensors[0].highestMilli, 45000);
  }
}

}  // namespace
