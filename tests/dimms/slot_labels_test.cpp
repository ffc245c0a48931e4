#include "dimms/slot_labels.h"

#include <gtest/gtest.h>

namespace {

// EDAC's labels as drivers write them, against a board's slots.
TEST(SlotLabelsTest, ALabelNamesTheOneSlotItIsOrEndsWith) {
  const SlotNames slots{
      {"DIMM_A1", "DIMM_B1", "P0 CHANNEL A DIMM 0", "P0 CHANNEL B DIMM 0"}};
  struct Case {
    const char* label;
    const char* slot;
  };
  for (const Case& c : {
           Case{"DIMM_A1", "DIMM_A1"},
           Case{"dimm_b1", "DIMM_B1"},
           // ghes_edac: the bank locator, then the device locator.
           Case{"BANK 0 DIMM_A1", "DIMM_A1"},
           Case{"P0 CHANNEL B DIMM 0", "P0 CHANNEL B DIMM 0"},
           // The driver's own numbering, or a part of a name: no slot.
           Case{"CPU_SrcID#0_MC#0_Chan#0_DIMM#0", ""},
           Case{"mc#0csrow#0channel#0", ""},
           Case{"XDIMM_A1", ""},
           Case{"DIMM 0", ""},
           Case{"", ""},
       }) {
    EXPECT_EQ(slotForLabel(c.label, slots), c.slot) << c.label;
  }
  // Two slots of one name: the label cannot say which.
  EXPECT_EQ(slotForLabel("DIMM 0", SlotNames{{"DIMM 0", "DIMM 0"}}), "");
}

}  // namespace
