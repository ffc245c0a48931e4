// The firmware's SMBIOS table as the memory devices are read from it, and
// the start-up lines and missing-memory check made of them with the
// modules' SPD images.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dimms/dimm_text.h"
#include "dimms/inventory.h"
#include "dimms/smbios_table.h"
#include "dimms/spd.h"
#include "fuzz/fuzz_check.h"

namespace {

void checkText(const std::string& text) {
  FUZZ_CHECK(text.size() <= kMaxDimmText);
  FUZZ_CHECK(printableAscii(text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const SmbiosMemory memory = parseSmbiosMemory(data, size);
  FUZZ_CHECK(memory.devices.size() <= kMaxMemoryDevices);
  for (const MemoryDevice& d : memory.devices) {
    for (const std::string* text : {&d.locator, &d.bankLocator, &d.manufacturer,
                                    &d.serial, &d.partNumber}) {
      checkText(*text);
    }
    FUZZ_CHECK((d.size == MemoryDevice::Size::kKnown) == (d.sizeBytes != 0));
    FUZZ_CHECK(d.rank <= 15);
  }
  // Cut one byte short, the table keeps at most its devices, none new.
  if (size > 0) {
    const SmbiosMemory cut = parseSmbiosMemory(data, size - 1);
    FUZZ_CHECK(cut.devices.size() <= memory.devices.size());
    for (size_t i = 0; i < cut.devices.size(); ++i) {
      FUZZ_CHECK(cut.devices[i].serial == memory.devices[i].serial);
    }
  }
  // The same bytes, from the middle on, as two modules' SPD images.
  const size_t half = size / 2;
  const std::vector<SpdReading> spd = {
      {0x50, decodeSpd(data + half, size - half)},
      {0x51, decodeSpd(data + size - size / 4, size / 4)}};
  const Inventory inventory = buildInventory(memory, spd);
  for (const std::string& line : inventoryLines(inventory)) {
    FUZZ_CHECK(printableAscii(line));
  }
  const MissingMemory missing =
      findMissingMemory(inventory, memory.mappedBytes);
  FUZZ_CHECK(printableAscii(missingMemoryLine(missing)));
  return 0;
}
