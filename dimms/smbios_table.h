// The firmware's memory devices, from its raw SMBIOS table (the bytes of
// /sys/firmware/dmi/tables/DMI): a structure per slot (type 17) and the
// address ranges the firmware mapped (type 19). The table is outside
// input: every read is bounded, and a table cut short yields the
// structures that were complete.
#ifndef CELLCHECK_DIMMS_SMBIOS_TABLE_H_
#define CELLCHECK_DIMMS_SMBIOS_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/types.h"

// SMBIOS memory type codes (type 17, offset 0x12) that matter here.
enum : uint8_t {
  kSmbiosDdr3 = 0x18,
  kSmbiosDdr4 = 0x1a,
  kSmbiosLpddr4 = 0x1e,
  kSmbiosDdr5 = 0x22,
  kSmbiosLpddr5 = 0x23,
};

// One type 17 structure. Strings are printable ASCII, trimmed, at most
// kMaxDimmText long, empty when absent; numbers 0 when absent or unknown.
struct MemoryDevice {
  std::string locator;      // the slot: "DIMM_A1", "ChannelA-DIMM0"
  std::string bankLocator;  // "BANK 0", "P0 CHANNEL A"
  enum class Size { kUnknown, kEmpty, kKnown } size = Size::kUnknown;
  u64 sizeBytes = 0;
  uint8_t memoryType = 0;  // kSmbiosDdr4, ...
  u32 speedMTs = 0;        // the rated speed
  u32 configuredSpeedMTs = 0;
  std::string manufacturer;
  std::string serial;
  std::string partNumber;
  uint8_t rank = 0;
  // The module maker's JEP106 code (SMBIOS 3.2): the count of continuation
  // codes with its parity bit, then the code; both 0 when absent.
  uint8_t makerBank = 0;
  uint8_t makerCode = 0;
};

// No machine has more slots than this; a table listing more is cut there.
constexpr size_t kMaxMemoryDevices = 256;

struct SmbiosMemory {
  std::vector<MemoryDevice> devices;  // in table order
  // The sum of the type 19 ranges: the memory the firmware mapped.
  u64 mappedBytes = 0;
  // The table ended before its end-of-table structure, mid-structure.
  bool cutShort = false;
};

SmbiosMemory parseSmbiosMemory(const uint8_t* table, size_t size);

// "DDR4", "LPDDR5", ...; empty for a code of no known type.
const char* memoryTypeName(uint8_t smbiosType);

#endif  // CELLCHECK_DIMMS_SMBIOS_TABLE_H_
