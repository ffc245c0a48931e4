// The memory controllers' names for their modules (EDAC's dimm_label) put
// against the slots of the inventory. Drivers that read the firmware's
// table label a module "BANK_LOCATOR DEVICE_LOCATOR" (ghes_edac) or by its
// device locator alone; others label it by their own numbering
// ("CPU_SrcID#0_MC#0_Chan#0_DIMM#0"), which names no slot.
#ifndef CELLCHECK_DIMMS_SLOT_LABELS_H_
#define CELLCHECK_DIMMS_SLOT_LABELS_H_

#include <string>
#include <vector>

#include "dimms/inventory.h"

// The slot names a controller's label may carry: each module's slot.
struct SlotNames {
  std::vector<std::string> slots;
};

SlotNames slotNames(const Inventory& inventory);

// The one slot whose name the label is, or ends with as a word of its
// own ("P0 CHANNEL A DIMM_A1" names DIMM_A1); empty when none or more
// than one fits.
std::string slotForLabel(const std::string& label, const SlotNames& names);

#endif  // CELLCHECK_DIMMS_SLOT_LABELS_H_
