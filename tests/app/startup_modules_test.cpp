// Start-up with the modules named: the firmware's table read through the
// fake kernel, their lines below the test area's (after the CPUs' line,
// before the pre-test), the missing memory, and the ECC counts put against
// the slots.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/startup.h"
#include "console/cellchecker_dos.h"
#include "tests/support/console_capture.h"
#include "tests/support/fake_edac.h"
#include "tests/support/fake_kernel.h"
#include "tests/support/smbios_fixture.h"

namespace {

constexpr char kTestingLine[] = "Testing with 1 CPU on 1 memory node\n";
constexpr char kPretest[] = "\n\rPreparing and pre-testing memory...";
// 16 GiB less the first MiB's holes, as a PC's memory map lists it.
constexpr char kIomem16GiB[] =
    "00001000-0009efff : System RAM\n"
    "000f0000-000fffff : Reserved\n"
    "00100000-bfffffff : System RAM\n"
    "  01000000-01ffffff : Kernel code\n"
    "100000000-43fffffff : System RAM\n";
// The same machine with the memory above 8 GiB not mapped.
constexpr char kIomem8GiB[] =
    "00001000-0009efff : System RAM\n"
    "00100000-bfffffff : System RAM\n"
    "100000000-23fffffff : System RAM\n";

// A binary file of the fake kernel (putFile writes text up to a NUL).
void putBytes(FakeKernel& kernel, const std::string& path,
              const std::string& bytes) {
  kernel.putFile(path, "");
  FILE* f = fopen(kernel.file(path.c_str()).c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

class StartUpModulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kernel.write(ProcFile::kMeminfo, "MemTotal: 16000000 kB\n");
    kernel.write(ProcFile::kOvercommit, "0\n");
    kernel.write(ProcFile::kOvercommitRatio, "50\n");
    kernel.write(ProcFile::kMinFree, "67584\n");
    kernel.physPageCount = 16000 * 256;
    const Bytes table =
        smbiosTable({type17(Dimm{"DIMM_A1", "BANK 0", 8192, 0x1a, 3200,
                                 "Samsung", "AAAA0001", "M378A1K43EB2-CWE"}),
                     type17(Dimm{"DIMM_B1", "BANK 1", 8192, 0x1a, 3200,
                                 "Samsung", "BBBB0002", "M378A1K43EB2-CWE"})});
    dmi = std::string(table.begin(), table.end());
    putBytes(kernel, "/sys/firmware/dmi/tables/DMI", dmi);
    parts.nameModules = true;
    parts.moduleRoot = "/nonexistent";
  }

  // What start-up printed between the CPUs' line and the pre-test.
  std::string linesBelowTheArea() {
    ConsoleCapture console;
    EXPECT_EQ(startUp(kernel, tester, record, facts, parts).result,
              StartupResult::kReady);
    const std::string out = console.take();
    const size_t from = out.find(kTestingLine);
    const size_t to = out.find(kPretest);
    if (from == std::string::npos || to == std::string::npos) return out;
    return out.substr(from + strlen(kTestingLine),
                      to - from - strlen(kTestingLine));
  }

  FakeKernel kernel;
  std::string dmi;
  CellcheckerDos tester;
  BadMemory record;
  RunFacts facts;
  StartupParts parts;
};

TEST_F(StartUpModulesTest, NamesEachModuleBelowTheTestArea) {
  kernel.putFile("/proc/iomem", kIomem16GiB);
  EXPECT_EQ(linesBelowTheArea(),
            "Module DIMM_A1: 8 GiB DDR4-3200, Samsung M378A1K43EB2-CWE, "
            "serial AAAA0001 (firmware table)\n"
            "Module DIMM_B1: 8 GiB DDR4-3200, Samsung M378A1K43EB2-CWE, "
            "serial BBBB0002 (firmware table)\n");
  ASSERT_EQ(facts.modules.modules.size(), 2u);
  EXPECT_EQ(facts.modules.modules[1].serial, "BBBB0002");
  EXPECT_FALSE(facts.missingMemory.missing);
}

// Half the modules' memory not mapped: the line names the modules it
// could be. Without /proc/iomem, meminfo's figure (15.3 GiB here) stands
// for what was mapped, which the usual reserves explain.
TEST_F(StartUpModulesTest, SaysWhenTheFirmwareMappedLessThanTheModulesHold) {
  kernel.putFile("/proc/iomem", kIomem8GiB);
  EXPECT_EQ(linesBelowTheArea(),
            "Module DIMM_A1: 8 GiB DDR4-3200, Samsung M378A1K43EB2-CWE, "
            "serial AAAA0001 (firmware table)\n"
            "Module DIMM_B1: 8 GiB DDR4-3200, Samsung M378A1K43EB2-CWE, "
            "serial BBBB0002 (firmware table)\n"
            "Missing memory: the modules hold 16 GiB but the firmware mapped "
            "8.0 GiB; 8 GiB is missing, as much as one or more of DIMM_A1 "
            "(8 GiB), DIMM_B1 (8 GiB) holds: a module not seated, not working "
            "or not supported by the board\n");
  EXPECT_TRUE(facts.missingMemory.missing);

  FakeKernel other;
  RunFacts otherFacts;
  other.write(ProcFile::kMeminfo, "MemTotal: 16000000 kB\n");
  putBytes(other, "/sys/firmware/dmi/tables/DMI", dmi);
  other.physPageCount = 16000 * 256;
  ConsoleCapture console;
  startUp(other, tester, record, otherFacts, parts);
  EXPECT_EQ(otherFacts.modules.modules.size(), 2u);
  EXPECT_FALSE(otherFacts.missingMemory.missing) << console.take();
}

// A controller that labels its modules as the firmware's table names the
// slots counts under the slot's name; one that numbers them its own way
// is said plainly not to.
TEST_F(StartUpModulesTest, PutsTheEccCountsAgainstTheSlotsWhereLabelsMatch) {
  kernel.putFile("/proc/iomem", kIomem16GiB);
  putEdacController(kernel, "mc0", "Skylake Socket#0 IMC#0", "0\n", "0\n",
                    {{"dimm0", "BANK 0 DIMM_A1\n", "channel 0 slot 0\n",
                      "SECDED\n", "0\n", "0\n"},
                     {"dimm1", "CPU_SrcID#0_MC#0_Chan#1_DIMM#0\n",
                      "channel 1 slot 0\n", "SECDED\n", "0\n", "0\n"}});
  EccWatch ecc(kernel, record, [] { return time_t{0}; });
  parts.ecc = &ecc;
  const std::string lines = linesBelowTheArea();
  EXPECT_NE(lines.find("ECC counts by slot: DIMM_A1 (mc0 dimm0).\n"),
            std::string::npos)
      << lines;
  EXPECT_NE(lines.find("ECC: the memory controllers' names for 1 module (mc0 "
                       "dimm1 \"CPU_SrcID#0_MC#0_Chan#1_DIMM#0\") match no "
                       "slot of the modules above: their counts name the "
                       "controller's place, not a slot.\n"),
            std::string::npos)
      << lines;

  // An error on the matched module counts under its slot's name.
  putEdacFile(kernel, "mc0/dimm0/dimm_ce_count", "2\n");
  putEdacFile(kernel, "mc0/ce_count", "2\n");
  ConsoleCapture console;
  ecc.look();
  EXPECT_NE(console.take().find("ECC: memory module DIMM_A1 (BANK 0 DIMM_A1; "
                                "mc0, channel 0 slot 0) counted 2 more errors"),
            std::string::npos);
}

}  // namespace
