#include "app/ecc_watch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tests/support/console_capture.h"
#include "tests/support/fake_kernel.h"
#include "tests/support/temp_folder.h"

namespace {

const std::string kMc = "/sys/devices/system/edac/mc/";

void putModule(FakeKernel& kernel, const std::string& folder, const char* label,
               const char* location, const char* mode, const char* corrected) {
  kernel.putFile(kMc + folder + "/dimm_label", label);
  kernel.putFile(kMc + folder + "/dimm_location", location);
  kernel.putFile(kMc + folder + "/dimm_edac_mode", mode);
  kernel.putFile(kMc + folder + "/dimm_ce_count", corrected);
  kernel.putFile(kMc + folder + "/dimm_ue_count", "0\n");
}

void putController(FakeKernel& kernel, const std::string& mc,
                   const char* type) {
  kernel.putFile(kMc + mc + "/mc_name", std::string(type) + "\n");
  kernel.putFile(kMc + mc + "/ce_count", "0\n");
  kernel.putFile(kMc + mc + "/ue_count", "0\n");
  kernel.putFile(kMc + mc + "/ce_noinfo_count", "0\n");
  kernel.putFile(kMc + mc + "/ue_noinfo_count", "0\n");
}

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
  EccWatch ecc{kernel, record, [this] { return now; }, "/nonexistent"};
};

TEST_F(EccWatchTest, TheStartUpLineTellsEccMachinesFromOthers) {
  struct Case {
    const char* what;
    void (*tree)(FakeKernel&);
    const char* line;
  };
  const Case cases[] = {
      {"a desktop: no controller at all", [](FakeKernel&) {},
       "ECC: no ECC reporting on this machine."},
      {"a controller whose memory has no ECC",
       [](FakeKernel& k) {
         putController(k, "mc0", "IE31200");
         putModule(k, "mc0/dimm0", "\n", "channel 0 slot 0 \n", "None\n",
                   "0\n");
       },
       "ECC: no ECC reporting on this machine."},
      {"one controller, modules without labels",
       [](FakeKernel& k) {
         putController(k, "mc0", "IE31200");
         putModule(k, "mc0/dimm0", "\n", "channel 0 slot 0 \n", "SECDED\n",
                   "0\n");
         putModule(k, "mc0/dimm2", "\n", "channel 1 slot 0 \n", "SECDED\n",
                   "0\n");
       },
       "ECC: errors counted by 1 memory controller (mc0 IE31200) for 2 "
       "memory modules."},
      {"a server with six controllers, one count unreadable",
       [](FakeKernel& k) {
         for (int i = 0; i < 6; ++i) {
           const std::string mc = "mc" + std::to_string(i);
           putController(k, mc,
                         ("Skylake Socket#0 IMC#" + std::to_string(i)).c_str());
           putModule(k, mc + "/dimm0", "A\n", "channel 0 slot 0 \n",
                     "S4ECD4ED\n", i == 5 ? "" : "0\n");
         }
       },
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
    EccWatch watch(
        k, r, [] { return time_t{0}; }, "/nonexistent");
    ConsoleCapture console;
    watch.start();
    EXPECT_EQ(console.take(), std::string(c.line) + "\n");
    EXPECT_EQ(k.sysMounts, 1);
  }
}

// The image's EDAC drivers load on every boot, matched by the processor;
// one that finds no controller it can use (ECC off in the firmware) is
// named in the line.
TEST_F(EccWatchTest, LoadsTheImagesDriversAndNamesOneThatDeclined) {
  const TempFolder temp("ecc-modules");
  const std::string root = temp.path();
  const std::string folder = root + "/6.1.0-test-amd64";
  const auto write = [&](const std::string& file, const std::string& text) {
    ASSERT_TRUE(temp.write("6.1.0-test-amd64/" + file, text)) << file;
  };
  write("modules.dep",
        "kernel/drivers/edac/amd64_edac.ko: kernel/drivers/edac/"
        "edac_mce_amd.ko\nkernel/drivers/edac/edac_mce_amd.ko:\n"
        "kernel/drivers/net/virtio_net.ko:\n");
  write("modules.alias",
        "alias cpu:type:x86,ven0002fam0019mod*:feature:* amd64_edac\n"
        "alias virtio:d00000001v* virtio_net\n");
  write("kernel/drivers/edac/amd64_edac.ko", "module");
  write("kernel/drivers/edac/edac_mce_amd.ko", "module");
  write("kernel/drivers/net/virtio_net.ko", "module");

  for (const bool image : {false, true}) {
    SCOPED_TRACE(image ? "the image's own modules" : "a host's modules");
    FakeKernel k;
    k.putFile("/proc/sys/kernel/osrelease", "6.1.0-test-amd64\n");
    k.putFile("/sys/devices/system/cpu/modalias",
              "cpu:type:x86,ven0002fam0019mod0001:feature:,0000\n");
    k.putFile("/sys/bus/virtio/devices/virtio0/modalias",
              "virtio:d00000001v00001AF4\n");
    k.moduleErrors[folder + "/kernel/drivers/edac/amd64_edac.ko"] = ENODEV;
    BadMemory r;
    EccWatch watch(
        k, r, [] { return time_t{0}; }, root);
    watch.imageDrivers = [image] { return image; };
    ConsoleCapture console;
    watch.start();
    if (!image) {
      EXPECT_TRUE(k.loadedModules.empty());
      EXPECT_EQ(console.take(), "ECC: no ECC reporting on this machine.\n");
      continue;
    }
    // Only the memory controllers' drivers: the network waits for options.
    EXPECT_EQ(k.loadedModules,
              std::vector<std::string>{folder + "/kernel/drivers/edac/"
                                                "edac_mce_amd.ko"});
    EXPECT_EQ(console.take(),
              "ECC: no ECC reporting on this machine (amd64_edac: No such "
              "device).\n");
  }
}

TEST_F(EccWatchTest, AGrownCountIsALineAndJoinsTheRecordBetweenTests) {
  putController(kernel, "mc0", "Skylake Socket#0 IMC#0");
  putModule(kernel, "mc0/dimm0", "CPU_SrcID#0_MC#0_Chan#0_DIMM#0\n",
            "channel 0 slot 0 \n", "S4ECD4ED\n", "0\n");
  putModule(kernel, "mc0/dimm1", "\n", "channel 1 slot 0 \n", "S4ECD4ED\n",
            "1\n");
  startLine();
  EXPECT_FALSE(record.totals().anyBad()) << "counts before the run";

  kernel.putFile(kMc + "mc0/dimm0/dimm_ce_count", "2\n");
  ConsoleCapture console;
  now += EccWatch::kSecondsBetweenLooks - 1;
  ecc.poll();
  EXPECT_EQ(console.take(), "") << "too soon to look again";
  now += 1;
  ecc.poll();
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
  kernel.putFile(kMc + "mc0/dimm1/dimm_ue_count", "1\n");
  kernel.putFile(kMc + "mc0/ce_noinfo_count", "1\n");
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
}

TEST_F(EccWatchTest, WithoutControllersItNeverLooksAgain) {
  startLine();
  kernel.putFile(kMc + "mc0/ce_count", "5\n");
  now += 3600;
  ConsoleCapture console;
  ecc.poll();
  EXPECT_EQ(console.take(), "");
  EXPECT_FALSE(record.totals().anyBad());
}

}  // namespace
