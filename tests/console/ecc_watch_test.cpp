#include "console/ecc_watch.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/console_capture.h"
#include "tests/support/fake_edac.h"
#include "tests/support/fake_kernel.h"

namespace {

class EccWatchTest : public ::testing::Test {
 protected:
  std::string startLine() {
    ConsoleCapture console;
    ecc.start();
    std::string shown = console.take();
    EXPECT_EQ(shown.back(), '\n');
    shown.pop_back();
    return shown;
  }

  FakeKernel kernel;
  BadMemory record;
  time_t now = 1000;
  EccWatch ecc{kernel, record, [this] { return now; }};
};

TEST_F(EccWatchTest, TheStartUpLineTellsEccMachinesFromOthers) {
  struct Case {
    const char* what;
    void (*tree)(FakeKernel&);
    std::vector<std::pair<std::string, std::string>> declined;
    const char* line;
  };
  const Case cases[] = {
      {"a desktop: no controller at all",
       [](FakeKernel&) {},
       {},
       "ECC: no ECC reporting on this machine."},
      {"a driver that matched but found nothing it could use",
       [](FakeKernel&) {},
       {{"amd64_edac", "No such device"}},
       "ECC: no ECC reporting on this machine (amd64_edac: No such "
       "device)."},
      {"a controller whose memory has no ECC",
       [](FakeKernel& k) {
         putEdacController(
             k, "mc0", "IE31200", "0\n", "0\n",
             {{"dimm0", "\n", "channel 0 slot 0 \n", "None\n", "0\n", "0\n"}});
       },
       {},
       "ECC: no ECC reporting on this machine."},
      {"one controller, modules without labels",
       [](FakeKernel& k) {
         putEdacController(
             k, "mc0", "IE31200", "0\n", "0\n",
             {{"dimm0", "\n", "channel 0 slot 0 \n", "SECDED\n", "0\n", "0\n"},
              {"dimm2", "\n", "channel 1 slot 0 \n", "SECDED\n", "0\n",
               "0\n"}});
       },
       {},
       "ECC: errors counted by 1 memory controller (mc0 IE31200) for 2 "
       "memory modules."},
      {"a server with six controllers, one count unreadable",
       [](FakeKernel& k) {
         for (int i = 0; i < 6; ++i) {
           putEdacController(
               k, "mc" + std::to_string(i),
               ("Skylake Socket#0 IMC#" + std::to_string(i)).c_str(), "0\n",
               "0\n",
               {{"dimm0", "A\n", "channel 0 slot 0 \n", "S4ECD4ED\n",
                 i == 5 ? "" : "0\n", "0\n"}});
         }
       },
       {},
       "ECC: errors counted by 6 memory controllers (mc0 Skylake Socket#0 "
       "IMC#0, mc1 Skylake Socket#0 IMC#1, mc2 Skylake Socket#0 IMC#2, mc3 "
       "Skylake Socket#0 IMC#3, and 2 more) for 6 memory modules; 1 count "
       "file is unreadable."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeKernel k;
    c.tree(k);
    BadMemory r;
    EccWatch watch(k, r, [] { return time_t{0}; });
    ConsoleCapture console;
    watch.start(c.declined);
    EXPECT_EQ(console.take(), std::string(c.line) + "\n");
  }
}

TEST_F(EccWatchTest, AGrownCountIsALineAndJoinsTheRecordBetweenTests) {
  putEdacController(
      kernel, "mc0", "Skylake Socket#0 IMC#0", "0\n", "0\n",
      {{"dimm0", "CPU_SrcID#0_MC#0_Chan#0_DIMM#0\n", "channel 0 slot 0 \n",
        "S4ECD4ED\n", "0\n", "0\n"},
       {"dimm1", "\n", "channel 1 slot 0 \n", "S4ECD4ED\n", "1\n", "0\n"}});
  startLine();
  EXPECT_FALSE(record.totals().anyBad()) << "counts before the run";

  putEdacFile(kernel, "mc0/dimm0/dimm_ce_count", "2\n");
  ConsoleCapture console;
  now += EccWatch::kSecondsBetweenLooks - 1;
  EXPECT_TRUE(ecc.betweenTests());
  EXPECT_EQ(console.take(), "") << "too soon to look again";
  now += 1;
  EXPECT_TRUE(ecc.betweenTests());
  EXPECT_EQ(console.take(),
            "\n\rECC: memory module CPU_SrcID#0_MC#0_Chan#0_DIMM#0 (mc0, "
            "channel 0 slot 0) counted 2 more errors: 2 corrected, 0 "
            "uncorrected so far.\n\r");
  ASSERT_EQ(record.eccModuleCount(), 1);
  EXPECT_STREQ(record.eccModule(0).module,
               "CPU_SrcID#0_MC#0_Chan#0_DIMM#0 (mc0, channel 0 slot 0)");
  EXPECT_EQ(record.totals().eccCorrected, 2u);

  // A module without a label, an uncorrected error, and one the controller
  // could not tie to a module.
  putEdacFile(kernel, "mc0/dimm1/dimm_ue_count", "1\n");
  putEdacFile(kernel, "mc0/ce_noinfo_count", "1\n");
  now += EccWatch::kSecondsBetweenLooks;
  ecc.poll();
  EXPECT_EQ(console.take(),
            "\n\rECC: memory module at mc0, channel 1 slot 0 counted 1 more "
            "error: 1 corrected, 1 uncorrected so far.\n\r"
            "\n\rECC: memory controller mc0 (Skylake Socket#0 IMC#0) counted 1 "
            "more error it could not tie to a module: 1 corrected, 0 "
            "uncorrected so far.\n\r");
  EXPECT_EQ(record.totals().eccCorrected, 3u);
  EXPECT_EQ(record.totals().eccUncorrected, 1u);
  EXPECT_EQ(record.eccModuleCount(), 3);

  // The last look before a verdict reads whatever the spacing.
  putEdacFile(kernel, "mc0/dimm0/dimm_ce_count", "3\n");
  now += 1;
  ecc.lastLook();
  EXPECT_NE(console.take().find("counted 1 more error: 3 corrected"),
            std::string::npos);
  EXPECT_EQ(record.totals().eccCorrected, 4u);
}

TEST_F(EccWatchTest, WithoutControllersItNeverLooksAgain) {
  startLine();
  putEdacFile(kernel, "mc0/ce_count", "5\n");
  now += 3600;
  ConsoleCapture console;
  ecc.poll();
  ecc.lastLook();
  EXPECT_EQ(console.take(), "");
  EXPECT_FALSE(record.totals().anyBad());
}

}  // namespace
