// Where the modules are described: the firmware's SMBIOS table and the SPD
// EEPROMs the kernel declared for the populated slots (ee1004 for DDR4,
// spd5118 for DDR5, once the SMBus driver has loaded), read through the
// kernel seam.
#ifndef CELLCHECK_DIMMS_MODULE_SOURCES_H_
#define CELLCHECK_DIMMS_MODULE_SOURCES_H_

#include <vector>

#include "dimms/inventory.h"
#include "dimms/smbios_table.h"
#include "seam/files.h"

struct ModuleSources {
  bool tableRead = false;  // the firmware's table was there to read
  SmbiosMemory table;
  std::vector<SpdReading> spd;  // the EEPROMs at 0x50-0x57, by address
};

// Reads /sys/firmware/dmi/tables/DMI and each EEPROM of
// /sys/bus/i2c/devices: a device's "eeprom" file (ee1004, and spd5118's
// compatible one) or the nvmem device below it. Needs /sys and root. The
// kernel declares only as many EEPROMs as the table lists modules, from
// 0x50 up: a module the firmware lists empty is read only where its
// EEPROM was declared by other means (the bus's new_device file).
ModuleSources readModuleSources(KernelFiles& kernel);

// The inventory of what was read, saying so when the firmware gave no
// table at all.
Inventory inventoryFrom(const ModuleSources& sources);

#endif  // CELLCHECK_DIMMS_MODULE_SOURCES_H_
