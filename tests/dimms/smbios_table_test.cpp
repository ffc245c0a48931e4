#include "dimms/smbios_table.h"

#include <gtest/gtest.h>

#include "tests/support/smbios_fixture.h"

namespace {

constexpr uint64_t kGiB = uint64_t{1} << 30;

SmbiosMemory parse(const Bytes& table) {
  return parseSmbiosMemory(table.data(), table.size());
}

TEST(SmbiosTableTest, ReadsADdr5MachinesDevicesAndMappedMemory) {
  Dimm a{"DIMM_A1",  "P0 CHANNEL A", 16384,           0x22, 5600,
         "Kingston", "1A2B3C4D",     "KF556C40BB-16", 1};
  a.configuredSpeed = 4800;
  a.makerBank = 0x01;
  a.makerCode = 0x98;
  Dimm empty{"DIMM_A2", "P0 CHANNEL A", 0,         0x02,
             0,         "Unknown",      "Unknown", "Unknown"};
  const SmbiosMemory memory = parse(
      smbiosTable({type17(a), type17(empty), type19(0, 16 * 1024 * 1024 - 1),
                   type19(uint64_t{4} << 30, (uint64_t{6} << 30) - 1, true)}));
  ASSERT_EQ(memory.devices.size(), 2u);
  const MemoryDevice& d = memory.devices[0];
  EXPECT_EQ(d.locator, "DIMM_A1");
  EXPECT_EQ(d.bankLocator, "P0 CHANNEL A");
  EXPECT_EQ(d.size, MemoryDevice::Size::kKnown);
  EXPECT_EQ(d.sizeBytes, 16 * kGiB);
  EXPECT_EQ(d.memoryType, kSmbiosDdr5);
  EXPECT_EQ(d.speedMTs, 5600u);
  EXPECT_EQ(d.configuredSpeedMTs, 4800u);
  EXPECT_EQ(d.manufacturer, "Kingston");
  EXPECT_EQ(d.serial, "1A2B3C4D");
  EXPECT_EQ(d.partNumber, "KF556C40BB-16");
  EXPECT_EQ(d.rank, 1);
  EXPECT_EQ(d.makerBank, 0x01);
  EXPECT_EQ(d.makerCode, 0x98);
  EXPECT_EQ(memory.devices[1].size, MemoryDevice::Size::kEmpty);
  EXPECT_EQ(memory.mappedBytes, 16 * kGiB + 2 * kGiB);
  EXPECT_FALSE(memory.cutShort);
}

TEST(SmbiosTableTest, SizesAndSpeedsInEveryEncoding) {
  struct Case {
    const char* name;
    uint16_t size;
    uint32_t extendedSize;
    uint16_t speed;
    uint32_t extendedSpeed;
    MemoryDevice::Size state;
    uint64_t bytes;
    uint32_t mts;
  };
  using S = MemoryDevice::Size;
  for (const Case& c : {
           Case{"MiB", 8192, 0, 3200, 0, S::kKnown, 8 * kGiB, 3200},
           Case{"KiB", 0x8000 | 512, 0, 0, 0, S::kKnown, 512 * 1024, 0},
           Case{"extended", 0x7fff, 65536, 0xffff, 8000, S::kKnown, 64 * kGiB,
                8000},
           Case{"empty", 0, 0, 0, 0, S::kEmpty, 0, 0},
           Case{"no KiB", 0x8000, 0, 0, 0, S::kEmpty, 0, 0},
           Case{"unknown", 0xffff, 0, 0, 0, S::kUnknown, 0, 0},
           Case{"extended zero", 0x7fff, 0, 0, 0, S::kUnknown, 0, 0},
       }) {
    Dimm d{"DIMM_B1", "", c.size, 0x1a, c.speed};
    d.extendedSize = c.extendedSize;
    d.extendedSpeed = c.extendedSpeed;
    const SmbiosMemory memory = parse(smbiosTable({type17(d)}));
    ASSERT_EQ(memory.devices.size(), 1u) << c.name;
    EXPECT_EQ(memory.devices[0].size, c.state) << c.name;
    EXPECT_EQ(memory.devices[0].sizeBytes, c.bytes) << c.name;
    EXPECT_EQ(memory.devices[0].speedMTs, c.mts) << c.name;
  }
}

// Older firmware writes shorter structures: a field past the length is
// absent, never read from the strings that follow.
TEST(SmbiosTableTest, FieldsPastAShortStructureAreAbsent) {
  Dimm d{"DIMM0",    "BANK 0",           0x7fff, 0x1a, 0xffff, "Samsung",
         "00112233", "M378A1K43CB2-CTD", 2};
  d.extendedSize = 32768;
  d.extendedSpeed = 3200;
  d.makerBank = 0x80;
  d.makerCode = 0xce;
  d.length = 0x15;  // SMBIOS 2.1: up to the type detail
  MemoryDevice old = parse(smbiosTable({type17(d)})).devices.at(0);
  EXPECT_EQ(old.locator, "DIMM0");
  EXPECT_EQ(old.memoryType, 0x1a);
  EXPECT_EQ(old.size, MemoryDevice::Size::kUnknown);
  EXPECT_EQ(old.speedMTs, 0u);
  EXPECT_EQ(old.manufacturer, "");
  EXPECT_EQ(old.rank, 0);
  d.length = 0x28;  // SMBIOS 2.8: the extended size, no module maker
  MemoryDevice mid = parse(smbiosTable({type17(d)})).devices.at(0);
  EXPECT_EQ(mid.sizeBytes, 32 * kGiB);
  EXPECT_EQ(mid.speedMTs, 0u);  // 0xffff without the 3.3 field
  EXPECT_EQ(mid.partNumber, "M378A1K43CB2-CTD");
  EXPECT_EQ(mid.rank, 2);
  EXPECT_EQ(mid.makerCode, 0);
}

TEST(SmbiosTableTest, StringsArePrintableBoundedAndChecked) {
  Dimm d{" DIMM\t A1 \x01",     "", 4096, 0x1a, 0, "Caf\xe9 \x7f Memory",
         std::string(200, 'S'), ""};
  Bytes one = type17(d);
  one[0x1a] = 9;  // a part number string the set does not hold
  const MemoryDevice m = parse(smbiosTable({one})).devices.at(0);
  EXPECT_EQ(m.locator, "DIMM A1");
  EXPECT_EQ(m.manufacturer, "Caf? Memory");
  EXPECT_EQ(m.serial, std::string(64, 'S'));
  EXPECT_EQ(m.partNumber, "");
}

TEST(SmbiosTableTest, StopsAtTheEndOfTableStructure) {
  Bytes table = smbiosTable({type17(Dimm{"A", "", 1024})});
  const Bytes after = type17(Dimm{"B", "", 1024});
  table.insert(table.end(), after.begin(), after.end());
  const SmbiosMemory memory = parse(table);
  ASSERT_EQ(memory.devices.size(), 1u);
  EXPECT_EQ(memory.devices[0].locator, "A");
  EXPECT_FALSE(memory.cutShort);
}

// Cut at any byte, the table yields the structures that were whole: the
// devices of the whole table, in order, up to the cut.
TEST(SmbiosTableTest, ATableCutAnywhereKeepsWhatWasComplete) {
  const Bytes table = smbiosTable({
      type17(Dimm{"DIMM_A1", "BANK 0", 8192, 0x1a, 3200, "Micron", "AAAA0001",
                  "MTA8ATF1G64AZ"}),
      type17(Dimm{"DIMM_A2", "BANK 1", 0}),
      type19(0, 8 * 1024 * 1024 - 1),
      type17(Dimm{"DIMM_B1", "BANK 2", 8192, 0x1a, 3200, "Micron", "AAAA0002",
                  "MTA8ATF1G64AZ"}),
  });
  const SmbiosMemory whole = parse(table);
  ASSERT_EQ(whole.devices.size(), 3u);
  size_t seen = 0;
  for (size_t n = 0; n < table.size(); ++n) {
    const Bytes cut(table.begin(), table.begin() + n);
    const SmbiosMemory part = parse(cut);
    ASSERT_LE(part.devices.size(), whole.devices.size()) << n;
    ASSERT_GE(part.devices.size(), seen) << n;
    seen = part.devices.size();
    for (size_t i = 0; i < part.devices.size(); ++i) {
      EXPECT_EQ(part.devices[i].serial, whole.devices[i].serial) << n;
      EXPECT_EQ(part.devices[i].partNumber, whole.devices[i].partNumber) << n;
    }
    EXPECT_LE(part.mappedBytes, whole.mappedBytes) << n;
  }
  EXPECT_TRUE(parse(Bytes(table.begin(), table.end() - 1)).cutShort);
}

}  // namespace
