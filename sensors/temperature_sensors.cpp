#include "sensors/temperature_sensors.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/small_file.h"

namespace {

constexpr char kHwmonFolder[] = "/sys/class/hwmon";

// The drivers whose chips are read, and what each measures.
struct Chip {
  const char* driver;
  SensorKind kind;
};
constexpr Chip kChips[] = {
    {"k10temp", SensorKind::kProcessor},
    {"coretemp", SensorKind::kProcessor},
    {"spd5118", SensorKind::kMemoryModule},
    {"jc42", SensorKind::kMemoryModule},
};

// A processor's channel that stands for the whole package, best first:
// AMD's die temperature (Tdie, where Tctl carries an offset for the fans),
// Intel's package sensor, AMD's control temperature. Without any of them
// the first channel is read.
constexpr const char* kPackageLabels[] = {"Tdie", "Package id", "Tctl"};

// Entries of `folder` named PREFIX, a number and SUFFIX, in the number's
// order.
std::vector<std::pair<long, std::string>> numbered(const std::string& folder,
                                                   const char* prefix,
                                                   const char* suffix) {
  std::vector<std::pair<long, std::string>> found;
  const size_t length = strlen(prefix);
  for (const std::string& entry : folderEntries(folder)) {
    const char* name = entry.c_str();
    if (strncmp(name, prefix, length) != 0) continue;
    char* end = nullptr;
    const long number = strtol(name + length, &end, 10);
    if (end == name + length || strcmp(end, suffix) != 0 || number < 0) {
      continue;
    }
    found.emplace_back(number, entry);
  }
  std::sort(found.begin(), found.end());
  return found;
}

// A whole number of millidegrees and nothing else, in the range a sensor
// can really show.
bool parseMilli(const char* text, int* milli) {
  if (text[0] == '\0') return false;
  char* end = nullptr;
  const long value = strtol(text, &end, 10);
  if (*end != '\0' || value < TemperatureSensors::kLowestMilli ||
      value > TemperatureSensors::kHighestMilli) {
    return false;
  }
  *milli = static_cast<int>(value);
  return true;
}

// A name from the kernel as the console may show it: printable ASCII, each
// other byte (a control byte, a byte of a character beyond ASCII) a '?',
// without blanks at either end.
std::string printable(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && text[begin] == ' ') ++begin;
  while (end > begin && text[end - 1] == ' ') --end;
  std::string shown;
  for (size_t i = begin; i < end; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    shown += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
  }
  return shown;
}

// The last part of where the folder's `device` link points: the chip's
// device, "0-0052" (I2C bus 0, address 0x52) for a memory module's sensor.
std::string deviceName(KernelFiles& files, const std::string& folder) {
  const std::string target = files.linkTarget(folder + "/device");
  return target.substr(target.rfind('/') + 1);
}

// How the lines name a memory module without a label of its own: by its
// position on its bus, which both its sensor (0x18 + position) and its SPD
// memory (0x50 + position) give away.
std::string moduleName(KernelFiles& files, const std::string& folder,
                       const std::string& hwmon) {
  const std::string device = deviceName(files, folder);
  int bus = 0;
  unsigned address = 0;
  int used = 0;
  if (sscanf(device.c_str(), "%d-%4x%n", &bus, &address, &used) == 2 &&
      static_cast<size_t>(used) == device.size() && bus >= 0) {
    return "memory module " + std::to_string(address & 7) + " on SMBus " +
           std::to_string(bus);
  }
  return "memory module " + hwmon;
}

// The channel to read: for a processor the one that stands for the
// package, else the first. Empty when the chip shows no temperature.
std::string chooseChannel(const std::string& folder, SensorKind kind) {
  const auto channels = numbered(folder, "temp", "_input");
  if (channels.empty()) return "";
  if (kind == SensorKind::kProcessor) {
    for (const char* wanted : kPackageLabels) {
      for (const auto& channel : channels) {
        const std::string label = readFileLine(
            folder + "/temp" + std::to_string(channel.first) + "_label");
        if (label.compare(0, strlen(wanted), wanted) == 0) {
          return "temp" + std::to_string(channel.first);
        }
      }
    }
  }
  return "temp" + std::to_string(channels.front().first);
}

int criticalLimit(const std::string& folder, const std::string& channel) {
  int milli = 0;
  const std::string text = readFileLine(folder + "/" + channel + "_crit");
  if (!parseMilli(text.c_str(), &milli) ||
      milli < TemperatureSensors::kLowestCriticalMilli) {
    return TemperatureSensors::kDefaultCriticalMilli;
  }
  return milli;
}

}  // namespace

int wholeDegrees(int milli) {
  return milli >= 0 ? (milli + 500) / 1000 : -((-milli + 500) / 1000);
}

void TemperatureSensors::scan() {
  sensors_.clear();
  std::vector<TemperatureSensor> processors;
  std::vector<TemperatureSensor> modules;
  const std::string root = kernel_.file(kHwmonFolder);
  for (const auto& entry : numbered(root, "hwmon", "")) {
    const std::string folder = root + "/" + entry.second;
    const std::string driver = readFileLine(folder + "/name");
    const Chip* chip = nullptr;
    for (const Chip& known : kChips) {
      if (driver == known.driver) chip = &known;
    }
    if (chip == nullptr) continue;
    TemperatureSensor sensor{};
    sensor.kind = chip->kind;
    // A chip that shows no temperature now is read at temp1 all the same:
    // it gives no reading until it does.
    std::string channel = chooseChannel(folder, chip->kind);
    if (channel.empty()) channel = "temp1";
    snprintf(sensor.input, sizeof sensor.input, "%s/%s_input", folder.c_str(),
             channel.c_str());
    if (chip->kind == SensorKind::kProcessor) {
      processors.push_back(sensor);
      continue;
    }
    sensor.criticalMilli = criticalLimit(folder, channel);
    // The chip's own label where it has one (a board may name its slots),
    // else its place.
    std::string label = readFileLine(folder + "/label");
    if (label.empty()) label = readFileLine(folder + "/" + channel + "_label");
    const std::string name = label.empty()
                                 ? moduleName(kernel_, folder, entry.second)
                                 : "memory module " + printable(label);
    snprintf(sensor.name, sizeof sensor.name, "%s", name.c_str());
    modules.push_back(sensor);
  }
  // Processors by their order: one is "CPU", several "CPU 0", "CPU 1", ...
  for (size_t i = 0; i < processors.size(); ++i) {
    TemperatureSensor& sensor = processors[i];
    if (processors.size() == 1) {
      snprintf(sensor.name, sizeof sensor.name, "CPU");
    } else {
      snprintf(sensor.name, sizeof sensor.name, "CPU %zu", i);
    }
    sensors_.add(sensor);
  }
  for (const TemperatureSensor& sensor : modules) sensors_.add(sensor);
}

bool TemperatureSensors::read(int i) {
  TemperatureSensor& sensor = sensors_[i];
  char text[32];
  int milli = 0;
  sensor.readable =
      readFileLine(sensor.input, text, sizeof text) && parseMilli(text, &milli);
  if (!sensor.readable) return false;
  sensor.nowMilli = milli;
  if (!sensor.everRead || milli > sensor.highestMilli) {
    sensor.highestMilli = milli;
  }
  sensor.everRead = true;
  if (sensor.kind != SensorKind::kMemoryModule) return false;
  if (sensor.atLimit) {
    if (milli < sensor.criticalMilli - kHysteresisMilli) sensor.atLimit = false;
    return false;
  }
  if (milli < sensor.criticalMilli) return false;
  sensor.atLimit = true;
  ++sensor.crossings;
  return true;
}

int TemperatureSensors::refresh(int* crossed, int max) {
  int found = 0;
  for (int i = 0; i < sensors_.size(); ++i) {
    if (!read(i)) continue;
    if (found < max) crossed[found] = i;
    ++found;
  }
  return found;
}

TemperatureSpan TemperatureSensors::span(SensorKind kind,
                                         Reading reading) const {
  TemperatureSpan span;
  for (const TemperatureSensor& sensor : sensors_) {
    if (sensor.kind != kind) continue;
    ++span.sensors;
    const bool read =
        reading == Reading::kNow ? sensor.readable : sensor.everRead;
    if (!read) continue;
    const int degrees = wholeDegrees(
        reading == Reading::kNow ? sensor.nowMilli : sensor.highestMilli);
    if (span.read == 0 || degrees < span.lowest) span.lowest = degrees;
    if (span.read == 0 || degrees > span.highest) span.highest = degrees;
    ++span.read;
  }
  return span;
}

int TemperatureSensors::modulesThatReachedTheirLimit() const {
  int count = 0;
  for (const TemperatureSensor& sensor : sensors_) {
    if (sensor.kind == SensorKind::kMemoryModule && sensor.crossings != 0) {
      ++count;
    }
  }
  return count;
}
