#include "dimms/inventory.h"

#include <gtest/gtest.h>

#include "tests/dimms/spd_fixture.h"
#include "tests/support/smbios_fixture.h"

namespace {

constexpr uint64_t kGiB = uint64_t{1} << 30;

SmbiosMemory table(const std::vector<Dimm>& dimms) {
  std::vector<Bytes> structures;
  for (const Dimm& d : dimms) structures.push_back(type17(d));
  const Bytes bytes = smbiosTable(structures);
  return parseSmbiosMemory(bytes.data(), bytes.size());
}

SpdReading spd(unsigned address, const std::vector<uint8_t>& image) {
  return SpdReading{address, decodeSpd(image.data(), image.size())};
}

const Manufacturing kKingston{0x01, 0x98,       0x23,
                              0x05, 0x1a2b3c4d, "KF556C40BB-16"};
const Manufacturing kKingston2{0x01, 0x98,       0x23,
                               0x05, 0x5e6f7a8b, "KF556C40BB-16"};

// Placeholders in the table, the modules' own data in their EEPROMs.
const std::vector<Dimm> kPlaceholderTable = {
    {"DIMM_A1", "BANK 0", 16384, 0x22, 5600, "Manufacturer0", "SerNum0",
     "PartNum0"},
    {"DIMM_A2", "BANK 1", 0, 0x02, 0, "NO DIMM", "NO DIMM", "NO DIMM"},
    {"DIMM_B1", "BANK 2", 16384, 0x22, 5600, "Manufacturer2", "SerNum2",
     "PartNum2"},
    {"DIMM_B2", "BANK 3", 0, 0x02, 0, "NO DIMM", "NO DIMM", "NO DIMM"},
};

TEST(InventoryTest, TheModulesByNameFromTheirSpdAndTheTablesSlots) {
  const std::vector<std::string> expected = {
      "Module DIMM_A1: 16 GiB DDR5-5600, Kingston KF556C40BB-16, serial "
      "1A2B3C4D (SPD)",
      "Module DIMM_B1: 16 GiB DDR5-5600, Kingston KF556C40BB-16, serial "
      "5E6F7A8B (SPD)",
  };
  const std::vector<uint8_t> one = ddr5Image(0x04, 0x20, 0, 357, kKingston);
  const std::vector<uint8_t> two = ddr5Image(0x04, 0x20, 0, 357, kKingston2);
  // Four slots listed, two in use: the EEPROMs in address order.
  EXPECT_EQ(inventoryLines(buildInventory(table(kPlaceholderTable),
                                          {spd(0x52, two), spd(0x50, one)})),
            expected);
  // A table with real serial numbers matches each EEPROM by its own.
  std::vector<Dimm> real = kPlaceholderTable;
  real[0].serial = "1A2B3C4D";
  real[2].serial = "5E6F7A8B";
  EXPECT_EQ(inventoryLines(
                buildInventory(table(real), {spd(0x50, two), spd(0x51, one)})),
            expected);
}

// A module that failed its training: the firmware lists its slot empty and
// maps none of its memory, yet its EEPROM answers.
TEST(InventoryTest, AModuleTheFirmwareListsEmpty) {
  const Inventory inventory =
      buildInventory(table({kPlaceholderTable[0], kPlaceholderTable[1]}),
                     {spd(0x50, ddr5Image(0x04, 0x20, 0, 357, kKingston)),
                      spd(0x51, ddr5Image(0x04, 0x20, 0, 357, kKingston2))});
  EXPECT_EQ(inventoryLines(inventory)[1],
            "Module DIMM_A2: 16 GiB DDR5-5600, Kingston KF556C40BB-16, serial "
            "5E6F7A8B (SPD; the firmware lists the slot empty)");
  EXPECT_EQ(
      missingMemoryLine(findMissingMemory(inventory, 15 * kGiB + 600 * kMiB)),
      "Missing memory: the modules hold 32 GiB but the firmware mapped "
      "15.6 GiB; 16.4 GiB is missing, as much as DIMM_A2 (16 GiB) holds: "
      "a module not seated, not working or not supported by the board");
}

TEST(InventoryTest, TheTableAloneWhereNoEepromIsRead) {
  Dimm samsung{"ChannelA-DIMM0", "BANK 0",          8192, 0x1a, 3200, "Samsung",
               "0399A1B2",       "M378A1K43EB2-CWE"};
  Dimm oem{"ChannelB-DIMM0", "BANK 2",   8192,       0x1a, 0,
           "Unknown",        "00000000", "Undefined"};
  oem.configuredSpeed = 2666;
  oem.makerBank = 0x80;  // the module maker's code (SMBIOS 3.2)
  oem.makerCode = 0xad;
  EXPECT_EQ(inventoryLines(buildInventory(table({samsung, oem}), {})),
            (std::vector<std::string>{
                "Module ChannelA-DIMM0: 8 GiB DDR4-3200, Samsung "
                "M378A1K43EB2-CWE, serial 0399A1B2 (firmware table)",
                "Module ChannelB-DIMM0: 8 GiB DDR4-2666, SK hynix, no serial "
                "number (firmware table)"}));
}

TEST(InventoryTest, MakersWrittenAsTheirCodes) {
  for (const auto& c : std::vector<std::pair<const char*, const char*>>{
           {"80AD000080AD", "SK hynix"},
           {"CE00", "Samsung"},
           {"0198", "Kingston"},
           {"1234", "1234"},
           {"ABC", "ABC"},
       }) {
    const Inventory inventory = buildInventory(
        table({Dimm{"DIMM0", "", 4096, 0x1a, 0, c.first, "55AA0001"}}), {});
    EXPECT_EQ(inventory.modules.at(0).maker, c.second) << c.first;
  }
}

// Some firmware lists a DDR5 module once per 32-bit sub-channel; others
// give every channel's slot the same locator.
TEST(InventoryTest, DevicesOfOneModuleAndRepeatedLocators) {
  std::vector<Dimm> halves;
  for (const char* serial : {"AB12CD34", "AB12CD34", "EF56AB78", "EF56AB78"}) {
    halves.push_back(Dimm{"Controller0-ChannelA-DIMM0", "BANK 0", 8192, 0x22,
                          4800, "Micron", serial, "MTC8C1084S1SC48BA1"});
  }
  halves[2].locator = halves[3].locator = "Controller1-ChannelA-DIMM0";
  halves[1].locator = "Controller0-ChannelB-DIMM0";
  halves[3].bank = "BANK 1";
  const Inventory inventory = buildInventory(table(halves), {});
  ASSERT_EQ(inventory.modules.size(), 2u);
  EXPECT_EQ(inventory.modules[0].slot, "Controller0-ChannelA-DIMM0");
  EXPECT_EQ(inventory.modules[0].sizeBytes, 16 * kGiB);
  EXPECT_EQ(inventory.modules[1].serial, "EF56AB78");
  EXPECT_EQ(inventory.modules[1].slot, "BANK 0 Controller1-ChannelA-DIMM0");
}

TEST(InventoryTest, WhyNoModuleIsNamed) {
  struct Case {
    std::vector<Dimm> dimms;
    std::vector<SpdReading> spd;
    const char* line;
  };
  const std::vector<uint8_t> ddr4 = ddr4Image(0x05, 0, 0x01, 6, 0, kKingston);
  for (const Case& c : {
           Case{{},
                {},
                "Modules: none named (the firmware lists no memory "
                "devices)"},
           Case{{kPlaceholderTable[1], kPlaceholderTable[3]},
                {spd(0x50, std::vector<uint8_t>(16, 0xff))},
                "Modules: none named (the firmware lists 2 memory slots, "
                "none of them in use; no SPD EEPROM could be decoded)"},
           Case{{},
                {spd(0x51, ddr4)},
                "Module SPD 0x51: 8 GiB DDR4-2666, Kingston KF556C40BB-16, "
                "serial 1A2B3C4D (SPD)"},
       }) {
    EXPECT_EQ(inventoryLines(buildInventory(table(c.dimms), c.spd)),
              std::vector<std::string>{c.line});
  }
}

// Which modules each shortfall names (none: nothing missing).
TEST(InventoryTest, MissingMemoryBeyondWhatFirmwareReserves) {
  struct Case {
    const char* name;
    std::vector<uint64_t> moduleGiB;
    double mappedGiB;
    size_t named;
  };
  for (const Case& c : {
           Case{"all mapped", {16, 16}, 31.2, 0},
           Case{"one of two", {16, 16}, 15.8, 2},
           Case{"an APU's 2 GiB of graphics", {8, 8}, 13.7, 0},
           Case{"the smaller of two", {16, 8}, 15.7, 1},
           Case{"one of four small", {4, 4, 4, 4}, 11.8, 4},
           Case{"a server's module", std::vector<uint64_t>(16, 64), 958.0, 16},
           Case{"a server's usual reserve", std::vector<uint64_t>(16, 64),
                1000.0, 0},
           Case{"a size unknown", {16, 0}, 1.0, 0},
       }) {
    Inventory inventory;
    for (uint64_t gib : c.moduleGiB) {
      Module m;
      m.slot = "S" + std::to_string(inventory.modules.size());
      m.sizeBytes = gib * kGiB;
      inventory.modules.push_back(m);
    }
    const MissingMemory missing =
        findMissingMemory(inventory, static_cast<uint64_t>(c.mappedGiB * kGiB));
    EXPECT_EQ(missing.missing, c.named != 0) << c.name;
    EXPECT_EQ(missing.slots.size(), c.named) << c.name;
  }
}

TEST(InventoryTest, TheMissingMemoryLine) {
  Inventory inventory;
  for (const char* slot : {"DIMM_A1", "DIMM_B1"}) {
    Module m;
    m.slot = slot;
    m.sizeBytes = (slot[5] == 'A' ? 16 : 8) * kGiB;
    inventory.modules.push_back(m);
  }
  const MissingMemory missing =
      findMissingMemory(inventory, 15 * kGiB + 700 * kMiB);
  EXPECT_EQ(missingMemoryLine(missing),
            "Missing memory: the modules hold 24 GiB but the firmware mapped "
            "15.7 GiB; 8.3 GiB is missing, as much as DIMM_B1 (8 GiB) holds: "
            "a module not seated, not working or not supported by the board");
  EXPECT_EQ(missingMemoryLine(findMissingMemory(inventory, 23 * kGiB)), "");
}

}  // namespace
