#include "console/temperature_watch.h"

#include <cstdio>
#include <utility>

#include "base/cprintf.h"
#include "base/fixed_text.h"
#include "base/wording.h"

namespace {

constexpr char kDegrees[] =
    "\xc2\xb0"
    "C";  // "°C" in UTF-8

// "CPU 41 °C", "2 CPUs 41-45 °C", "4 memory modules 33-35 °C (1 gives no
// reading)", "1 memory module gives no reading".
void addSpan(FixedText& text, const TemperatureSpan& span, bool cpus) {
  if (cpus && span.sensors == 1) {
    text.add("CPU");
  } else {
    text.add("%d %s", span.sensors,
             cpus ? plural(span.sensors, "CPU", "CPUs")
                  : plural(span.sensors, "memory module", "memory modules"));
  }
  if (span.read == 0) {
    text.add(" %s",
             plural(span.sensors, "gives no reading", "give no reading"));
    return;
  }
  if (span.lowest == span.highest) {
    text.add(" %d %s", span.highest, kDegrees);
  } else {
    text.add(span.lowest < 0 ? " %d to %d %s" : " %d-%d %s", span.lowest,
             span.highest, kDegrees);
  }
  const int silent = span.sensors - span.read;
  if (silent != 0) {
    text.add(" (%d %s)", silent,
             plural(silent, "gives no reading", "give no reading"));
  }
}

}  // namespace

void formatTemperatures(const TemperatureSpan& cpus,
                        const TemperatureSpan& modules, int modulesAtLimit,
                        char* out, size_t size) {
  FixedText text(out, size);
  if (cpus.sensors == 0 && modules.sensors == 0) {
    text.add("no sensors found");
    return;
  }
  // The kind that is missing is named beside the one found: most DDR4
  // modules of desktops have no sensor at all.
  if (cpus.sensors != 0) {
    addSpan(text, cpus, true);
  } else {
    text.add("no CPU sensor");
  }
  text.add("; ");
  if (modules.sensors != 0) {
    addSpan(text, modules, false);
  } else {
    text.add("no memory module sensors");
  }
  if (modulesAtLimit != 0) {
    text.add("; %d %s", modulesAtLimit,
             plural(modulesAtLimit, "memory module reached its critical limit",
                    "memory modules reached their critical limit"));
  }
}

TemperatureWatch::TemperatureWatch(KernelFiles& files, Clock now)
    : now_(std::move(now)), sensors_(files) {}

void TemperatureWatch::start() {
  sensors_.scan();
  started_ = true;
  lastLook_ = now_();
  int crossed[TemperatureSensors::kMaxSensors];
  const int found = sensors_.refresh(crossed, TemperatureSensors::kMaxSensors);
  cprintf("%s\n", startLine().c_str());
  for (int i = 0; i < found; ++i) {
    const TemperatureSensor& sensor = sensors_[crossed[i]];
    cprintf(
        "Temperature: %s is at %d %s, at or above its critical limit of "
        "%d %s.\n",
        sensor.name, wholeDegrees(sensor.nowMilli), kDegrees,
        wholeDegrees(sensor.criticalMilli), kDegrees);
  }
}

std::string TemperatureWatch::startLine() const {
  char text[256];
  formatTemperatures(sensors_.span(SensorKind::kProcessor, Reading::kNow),
                     sensors_.span(SensorKind::kMemoryModule, Reading::kNow), 0,
                     text, sizeof text);
  std::string line = std::string("Temperatures: ") + text;
  if (sensors_.notWatched() != 0) {
    line += "; " + std::to_string(sensors_.notWatched()) +
            " more past the table, not watched";
  }
  return line;
}

std::vector<std::string> TemperatureWatch::reportLines() const {
  std::vector<std::string> lines = {startLine()};
  if (!started_ || sensors_.size() == 0) return lines;
  char text[256];
  formatTemperatures(
      sensors_.span(SensorKind::kProcessor, Reading::kHighest),
      sensors_.span(SensorKind::kMemoryModule, Reading::kHighest),
      sensors_.modulesThatReachedTheirLimit(), text, sizeof text);
  lines.push_back(std::string("Highest temperatures so far: ") + text);
  return lines;
}

void TemperatureWatch::poll() {
  if (!started_ || now_() - lastLook_ < kSecondsBetweenLooks) return;
  look();
}

void TemperatureWatch::look() {
  if (!started_ || sensors_.size() == 0) return;
  lastLook_ = now_();
  readAndShowCrossings();
}

void TemperatureWatch::readAndShowCrossings() {
  int crossed[kMaxCrossingLines];
  const int found = sensors_.refresh(crossed, kMaxCrossingLines);
  for (int i = 0; i < found && i < kMaxCrossingLines; ++i) {
    const TemperatureSensor& sensor = sensors_[crossed[i]];
    cprintf(
        "\n\rTemperature: %s is at %d %s, at or above its critical limit "
        "of %d %s; testing goes on.\n\r",
        sensor.name, wholeDegrees(sensor.nowMilli), kDegrees,
        wholeDegrees(sensor.criticalMilli), kDegrees);
  }
  if (found > kMaxCrossingLines) {
    cprintf(
        "\n\rTemperature: %d more memory modules reached their critical "
        "limit.\n\r",
        found - kMaxCrossingLines);
  }
}

void TemperatureWatch::printHighest() {
  if (!started_ || sensors_.size() == 0) return;
  char text[256];
  formatTemperatures(
      sensors_.span(SensorKind::kProcessor, Reading::kHighest),
      sensors_.span(SensorKind::kMemoryModule, Reading::kHighest),
      sensors_.modulesThatReachedTheirLimit(), text, sizeof text);
  cprintf("Highest temperatures so far: %s\n\r", text);
}
