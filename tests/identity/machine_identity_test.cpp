#include "identity/machine_identity.h"

#include <gtest/gtest.h>

#include "tests/support/fake_kernel.h"

namespace {

void putDmi(FakeKernel& kernel, const char* name, const std::string& text) {
  kernel.putFile(std::string("/sys/class/dmi/id/") + name, text);
}

TEST(MachineIdentityTest, ReadsTheFirmwaresFieldsIntoOneLine) {
  FakeKernel kernel;
  putDmi(kernel, "sys_vendor", "Dell Inc.\n");
  putDmi(kernel, "product_name", "PowerEdge R650\n");
  putDmi(kernel, "product_serial", "  7XK2Q93 \n");
  putDmi(kernel, "board_serial", ".7XK2Q93.CNFCP0023400AK.\n");
  putDmi(kernel, "bios_version", "1.9.2\n");
  const MachineIdentity identity = readMachineIdentity(kernel);
  EXPECT_EQ(identityLine(identity),
            "Machine: Dell Inc. PowerEdge R650, serial 7XK2Q93, board serial "
            ".7XK2Q93.CNFCP0023400AK., firmware 1.9.2");
  EXPECT_EQ(machineName(identity), "7XK2Q93");
}

TEST(MachineIdentityTest, MissingFieldsAreUnknownAndOddBytesAreCleaned) {
  FakeKernel kernel;
  putDmi(kernel, "product_name", "Box\tModel\x01 9\n");
  putDmi(kernel, "product_serial", std::string(100, 'A') + "Z");
  const MachineIdentity identity = readMachineIdentity(kernel);
  EXPECT_EQ(identity.product, "Box Model 9");
  EXPECT_EQ(identity.serial, std::string(kMaxFieldLength, 'A'));
  EXPECT_EQ(identityLine(MachineIdentity{}),
            "Machine: unknown, serial unknown, board serial unknown, "
            "firmware unknown");
}

TEST(MachineIdentityTest, TheNameIsARealSerialNumberFitForAFileName) {
  struct Case {
    const char* serial;
    const char* boardSerial;
    const char* name;
  };
  for (Case c : {
           Case{"CZ 1234 X", "B1", "CZ_1234_X"},
           Case{"../etc/x", "", "_._etc_x"},
           Case{"SN:42/7", "", "SN_42_7"},
           Case{"To be filled by O.E.M.", "MB-77", "MB-77"},
           Case{"Default string", "00000000", ""},
           Case{"", "", ""},
           Case{"SYSTEM SERIAL NUMBER", "", ""},
       }) {
    MachineIdentity identity;
    identity.serial = c.serial;
    identity.boardSerial = c.boardSerial;
    EXPECT_EQ(machineName(identity), c.name) << c.serial;
  }
}

}  // namespace
