// Linux's hardware-monitoring chips as /sys/class/hwmon shows them, put
// into a fake kernel: one tree for every test of the temperatures.
#ifndef CELLCHECK_TESTS_SUPPORT_FAKE_HWMON_H_
#define CELLCHECK_TESTS_SUPPORT_FAKE_HWMON_H_

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/fake_kernel.h"

// Where the chips are, with the trailing slash.
constexpr char kHwmonRoot[] = "/sys/class/hwmon/";

// One temperature channel, tempN; a null text leaves that file out.
struct FakeChannel {
  int number;
  const char* input;  // millidegrees, as the driver writes them: "41250\n"
  const char* label;
  const char* crit;
};

// The chip `hwmon` ("hwmon3") of the driver `name`, whose `device` link
// ends in `device` ("0-0052": I2C bus 0, address 0x52; null: no link),
// with its channels.
inline void putHwmonChip(FakeKernel& kernel, const std::string& hwmon,
                         const std::string& name, const char* device,
                         const std::vector<FakeChannel>& channels) {
  const std::string folder = kHwmonRoot + hwmon + "/";
  kernel.putFile(folder + "name", name + "\n");
  for (const FakeChannel& channel : channels) {
    const std::string at = folder + "temp" + std::to_string(channel.number);
    if (channel.input != nullptr) kernel.putFile(at + "_input", channel.input);
    if (channel.label != nullptr) kernel.putFile(at + "_label", channel.label);
    if (channel.crit != nullptr) kernel.putFile(at + "_crit", channel.crit);
  }
  if (device != nullptr) {
    const std::string link = kernel.file((folder + "device").c_str());
    const std::string target =
        std::string("../../../devices/pci0000:00/0000:00:1f.4/i2c-0/") + device;
    if (symlink(target.c_str(), link.c_str()) != 0) abort();
  }
}

// One file of the tree anew, by its path under kHwmonRoot
// ("hwmon3/temp1_input").
inline void putHwmonFile(FakeKernel& kernel, const std::string& file,
                         const std::string& text) {
  kernel.putFile(kHwmonRoot + file, text);
}

// The chip goes away, as when its driver lets go of it.
inline void removeHwmonChip(FakeKernel& kernel, const std::string& hwmon) {
  std::filesystem::remove_all(kernel.file((kHwmonRoot + hwmon).c_str()));
}

#endif  // CELLCHECK_TESTS_SUPPORT_FAKE_HWMON_H_
