#include "dimms/module_sources.h"

#include <cstdlib>

#include "base/small_file.h"

namespace {

// The largest SPD image (DDR5's); more than that read from a device is no
// SPD this decodes.
constexpr size_t kMaxSpdBytes = 1024;
constexpr size_t kMaxSpdDevices = 16;

// The address of an I2C device folder named "BUS-00AA", when it is one of
// the SPD addresses 0x50-0x57; else 0.
unsigned spdAddress(const std::string& name) {
  const size_t dash = name.find('-');
  if (dash == 0 || dash == std::string::npos || name.size() != dash + 5 ||
      name.find_first_not_of("0123456789") < dash ||
      name.find_first_not_of("0123456789abcdef", dash + 1) !=
          std::string::npos) {
    return 0;
  }
  const unsigned address =
      static_cast<unsigned>(strtoul(name.c_str() + dash + 1, nullptr, 16));
  return address >= 0x50 && address <= 0x57 ? address : 0;
}

// The device's EEPROM: its "eeprom" file, or an nvmem device below it.
std::string eepromImage(const std::string& folder) {
  std::string image = readSmallFile(folder + "/eeprom");
  if (!image.empty()) return image;
  for (const std::string& entry : folderEntries(folder)) {
    image = readSmallFile(folder + "/" + entry + "/nvmem");
    if (!image.empty()) return image;
  }
  return image;
}

}  // namespace

ModuleSources readModuleSources(KernelFiles& kernel) {
  ModuleSources sources;
  const std::string table =
      readSmallFile(kernel.file("/sys/firmware/dmi/tables/DMI"));
  sources.tableRead = !table.empty();
  sources.table = parseSmbiosMemory(
      reinterpret_cast<const uint8_t*>(table.data()), table.size());
  const std::string devices = kernel.file("/sys/bus/i2c/devices");
  for (const std::string& name : folderEntries(devices)) {
    const unsigned address = spdAddress(name);
    if (address == 0 || sources.spd.size() == kMaxSpdDevices) continue;
    std::string image = eepromImage(devices + "/" + name);
    if (image.empty()) continue;
    if (image.size() > kMaxSpdBytes) image.resize(kMaxSpdBytes);
    sources.spd.push_back(SpdReading{
        address, decodeSpd(reinterpret_cast<const uint8_t*>(image.data()),
                           image.size())});
  }
  return sources;
}

Inventory inventoryFrom(const ModuleSources& sources) {
  Inventory inventory = buildInventory(sources.table, sources.spd);
  if (inventory.modules.empty() && !sources.tableRead) {
    inventory.whyNone = "the firmware gives no SMBIOS table";
    if (!sources.spd.empty()) {
      inventory.whyNone += "; no SPD EEPROM could be decoded";
    }
  }
  return inventory;
}
