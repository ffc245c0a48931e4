#include "dimms/module_sources.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "tests/dimms/spd_fixture.h"
#include "tests/support/fake_kernel.h"
#include "tests/support/smbios_fixture.h"

namespace {

void putBytes(FakeKernel& kernel, const std::string& path, const Bytes& b) {
  kernel.putFile(path, "");
  FILE* f = fopen(kernel.file(path.c_str()).c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fwrite(b.data(), 1, b.size(), f);
  fclose(f);
}

// The kernel's devices as Debian's kernel lays them out: ee1004's
// "eeprom" file, spd5118's nvmem device below the I2C device, and other
// devices on the bus that are no SPD.
TEST(ModuleSourcesTest, ReadsTheTableAndEveryEeprom) {
  FakeKernel kernel;
  putBytes(kernel, "/sys/firmware/dmi/tables/DMI",
           smbiosTable({type17(Dimm{"DIMM_A1", "", 16384, 0x22, 5600}),
                        type17(Dimm{"DIMM_B1", "", 16384, 0x22, 5600})}));
  const Manufacturing m{0x01, 0x98, 0x23, 0x05, 0x1a2b3c4d, "KF556C40BB-16"};
  putBytes(kernel, "/sys/bus/i2c/devices/0-0051/0-00510/nvmem",
           ddr5Image(0x04, 0x20, 0, 357, m));
  putBytes(kernel, "/sys/bus/i2c/devices/0-0050/eeprom",
           ddr5Image(0x04, 0x20, 0, 357, m));
  putBytes(kernel, "/sys/bus/i2c/devices/0-0018/eeprom", Bytes(1024, 0x12));
  putBytes(kernel, "/sys/bus/i2c/devices/i2c-0/eeprom", Bytes(1024, 0x12));
  const ModuleSources sources = readModuleSources(kernel);
  EXPECT_TRUE(sources.tableRead);
  ASSERT_EQ(sources.table.devices.size(), 2u);
  ASSERT_EQ(sources.spd.size(), 2u);
  EXPECT_EQ(sources.spd[0].address, 0x50u);
  EXPECT_EQ(sources.spd[1].address, 0x51u);
  EXPECT_EQ(sources.spd[1].module.partNumber, "KF556C40BB-16");
  EXPECT_EQ(inventoryLines(inventoryFrom(sources))[1],
            "Module DIMM_B1: 16 GiB DDR5-5600, Kingston KF556C40BB-16, "
            "serial 1A2B3C4D (SPD)");
}

TEST(ModuleSourcesTest, NoTableSaysSo) {
  FakeKernel kernel;
  EXPECT_EQ(inventoryLines(inventoryFrom(readModuleSources(kernel))),
            std::vector<std::string>{
                "Modules: none named (the firmware gives no SMBIOS table)"});
}

}  // namespace
