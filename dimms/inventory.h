// The machine's memory modules by name: the firmware's memory devices
// merged with what the modules' own SPD EEPROMs say, one start-up line per
// module, and the check that the firmware mapped the memory they hold.
#ifndef CELLCHECK_DIMMS_INVENTORY_H_
#define CELLCHECK_DIMMS_INVENTORY_H_

#include <string>
#include <vector>

#include "base/types.h"
#include "dimms/run_history.h"
#include "dimms/smbios_table.h"
#include "dimms/spd.h"

// One SPD EEPROM the kernel declared: its I2C address (0x50-0x57, which
// the kernel gives the populated slots in table order) and its image.
struct SpdReading {
  unsigned address = 0;
  SpdModule module;
};

struct Module {
  std::string slot;   // the firmware's device locator; "SPD 0x52" without one
  u64 sizeBytes = 0;  // 0 when unknown
  std::string type;   // "DDR5"; empty when unknown
  u32 speedMTs = 0;   // rated; 0 when unknown
  std::string maker;
  std::string partNumber;
  std::string serial;  // empty when unknown or a placeholder
  int year = 0;        // of manufacture (SPD only); 0 when unknown
  int week = 0;
  bool fromSpd = false;  // the module's EEPROM matched this slot
  // The firmware lists the slot empty, yet the module's EEPROM answers:
  // a module the firmware did not bring up.
  bool firmwareListsEmpty = false;
};

struct Inventory {
  std::vector<Module> modules;  // populated slots, in table order
  // Why no module is named, when none is: "the firmware lists no memory
  // devices", ...
  std::string whyNone;
};

// The table's populated devices, each merged with its SPD where one
// matches: by serial number where the table has real ones, else by order
// when the counts agree, else by address. The SPD's fields win where it has
// them (the table's are often placeholders); devices that share one real
// serial number (a DDR5 module listed once per sub-channel) are one module.
// An EEPROM left over names a module too: in the slot of its address where
// the table lists that slot empty, else by its address ("SPD 0x52").
Inventory buildInventory(const SmbiosMemory& table,
                         const std::vector<SpdReading>& spd);

// One line per module, "Module DIMM_A1: 16 GiB DDR5-5600, Kingston
// KF556C40BB-16, serial 1A2B3C4D (SPD)" (or "(firmware table)", or "(SPD;
// the firmware lists the slot empty)"), or the one line "Modules: none
// named (WHY)".
std::vector<std::string> inventoryLines(const Inventory& inventory);

// The modules as a run's record keeps them: slot and serial number.
std::vector<ModuleInSlot> modulesInSlots(const Inventory& inventory);

struct MissingMemory {
  bool missing = false;
  u64 modulesBytes = 0;
  u64 mappedBytes = 0;
  std::vector<std::string> slots;  // modules the shortfall could be
};

// Whether the modules hold more than `mappedBytes` (the RAM the firmware
// handed the kernel: the e820 RAM ranges, or MemTotal) by more than
// firmware reserves explain. Judged only when every module's size is
// known.
MissingMemory findMissingMemory(const Inventory& inventory, u64 mappedBytes);

// "Missing memory: the modules hold 32 GiB but the firmware mapped 15.8
// GiB; 16.2 GiB is missing, as much as DIMM_B1 holds: a module not seated,
// not working or not supported"; empty when nothing is missing.
std::string missingMemoryLine(const MissingMemory& missing);
// The modules the shortfall could be: "DIMM_B1 (16 GiB), DIMM_B2 (16 GiB)".
std::string missingSlotsText(const MissingMemory& missing);

#endif  // CELLCHECK_DIMMS_INVENTORY_H_
