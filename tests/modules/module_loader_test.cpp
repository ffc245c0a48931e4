#include "modules/module_loader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/fake_kernel.h"
#include "tests/support/temp_folder.h"

namespace {

using Names = std::vector<std::string>;

TEST(ModuleIndexTest, ReadsDependenciesAliasesAndSoftDependencies) {
  ModuleIndex index;
  index.readDep(
      "kernel/drivers/net/ethernet/realtek/r8169.ko: "
      "kernel/drivers/net/phy/libphy.ko kernel/drivers/net/mdio/mdio-bus.ko\n"
      "kernel/drivers/net/phy/realtek.ko: kernel/drivers/net/phy/libphy.ko\n"
      "kernel/drivers/net/phy/libphy.ko:\n"
      "kernel/drivers/net/mdio/mdio-bus.ko:\n"
      "a line without a colon\n");
  index.readAlias(
      "alias pci:v000010ECd00008168sv*sd*bc*sc*i* r8169\n"
      "alias pci:v000010ECd*sv*sd*bc02sc*i* r8169\n"
      "alias pci:v00008086d0000100Esv*sd*bc*sc*i* e1000\n"
      "alias mdio:0000000000011100110010?????????? realtek\n"
      "alias too many words here\n");
  index.readSoftdep("softdep r8169 pre: realtek post: mdio-bus\n");

  EXPECT_TRUE(index.has("mdio_bus"));
  EXPECT_EQ(index.file("mdio_bus"), "kernel/drivers/net/mdio/mdio-bus.ko");
  EXPECT_EQ(index.dependencies("r8169"), (Names{"libphy", "mdio_bus"}));
  EXPECT_EQ(index.softPre("r8169"), Names{"realtek"});
  EXPECT_EQ(index.softPost("r8169"), Names{"mdio_bus"});
  EXPECT_TRUE(index.softPre("libphy").empty());
  // Two patterns match: the module counts once. e1000 is not in the index.
  EXPECT_EQ(
      index.matching("pci:v000010ECd00008168sv00001043sd00008554bc02sc00i00"),
      Names{"r8169"});
  EXPECT_TRUE(
      index.matching("pci:v00008086d0000100Esv0sd0bc02sc00i00").empty());
}

// Found by the index's harness: words whose module name is empty (a folder,
// a bare ".ko") made a module "" and dependencies on it.
TEST(ModuleIndexTest, WordsThatNameNoModuleAreSkipped) {
  ModuleIndex index;
  index.readDep(
      "kernel/drivers/net/:\n"
      "kernel/drivers/net/.ko: kernel/a.ko\n"
      "kernel/drivers/net/e1000.ko: kernel/drivers/ .ko kernel/libphy.ko\n");
  index.readAlias(
      "alias pci:* kernel/drivers/\n"
      "alias pci:* .ko\n"
      "alias pci:v00008086* e1000\n");
  index.readSoftdep(
      "softdep .ko pre: e1000\n"
      "softdep e1000 pre: kernel/ libphy post: .ko\n");
  EXPECT_FALSE(index.has(""));
  EXPECT_EQ(index.dependencies("e1000"), Names{"libphy"});
  EXPECT_EQ(index.softPre("e1000"), Names{"libphy"});
  EXPECT_TRUE(index.softPost("e1000").empty());
  EXPECT_TRUE(index.softPre("").empty());
  EXPECT_EQ(index.matching("pci:v00008086d0000100E"), Names{"e1000"});
}

// A modules folder of the image, with empty module files, and the fake's
// /sys with the devices the test puts there.
class ModuleLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write(
        "modules.dep",
        "kernel/drivers/virtio/virtio_pci.ko: "
        "kernel/drivers/virtio/virtio_ring.ko kernel/drivers/virtio/virtio.ko\n"
        "kernel/drivers/virtio/virtio_ring.ko: "
        "kernel/drivers/virtio/virtio.ko\n"
        "kernel/drivers/virtio/virtio.ko:\n"
        "kernel/drivers/net/virtio_net.ko: kernel/drivers/net/net_failover.ko "
        "kernel/drivers/virtio/virtio_ring.ko kernel/drivers/virtio/virtio.ko\n"
        "kernel/drivers/net/net_failover.ko:\n"
        "kernel/drivers/net/ethernet/intel/e1000/e1000.ko:\n"
        "kernel/drivers/net/ethernet/realtek/r8169.ko: "
        "kernel/drivers/net/phy/libphy.ko\n"
        "kernel/drivers/net/phy/realtek.ko: kernel/drivers/net/phy/libphy.ko\n"
        "kernel/drivers/net/phy/libphy.ko:\n"
        "kernel/drivers/edac/skx_edac.ko: "
        "kernel/drivers/edac/skx_edac_common.ko\n"
        "kernel/drivers/edac/skx_edac_common.ko:\n"
        "kernel/drivers/edac/ie31200_edac.ko:\n"
        "kernel/drivers/i2c/busses/i2c-piix4.ko: "
        "kernel/drivers/i2c/i2c-smbus.ko\n"
        "kernel/drivers/i2c/i2c-smbus.ko:\n"
        "kernel/drivers/input/misc/pcspkr.ko:\n"
        "kernel/drivers/input/evdev.ko:\n"
        "kernel/drivers/hwmon/spd5118.ko:\n"
        "kernel/drivers/hwmon/jc42.ko:\n"
        "kernel/drivers/hwmon/k10temp.ko:\n");
    write("modules.alias",
          "alias pci:v00001AF4d*sv*sd*bc*sc*i* virtio_pci\n"
          "alias virtio:d00000001v* virtio_net\n"
          "alias pci:v00008086d0000100Esv*sd*bc*sc*i* e1000\n"
          "alias pci:v000010ECd00008168sv*sd*bc*sc*i* r8169\n"
          "alias cpu:type:x86,ven0000fam0006mod0055:feature:* skx_edac\n"
          "alias pci:v00008086d00003E0Fsv*sd*bc*sc*i* ie31200_edac\n"
          "alias pci:v00008086d00007113sv*sd*bc*sc*i* i2c_piix4\n"
          "alias platform:pcspkr pcspkr\n"
          "alias input:b*v*p*e*-e*k*r*a*m*l*s*f*w* evdev\n"
          "alias i2c:spd5118 spd5118\n"
          "alias pci:v00001022d000014E3sv*sd*bc*sc*i* k10temp\n");
    write("modules.softdep", "softdep r8169 pre: realtek\n");
    for (const char* file :
         {"kernel/drivers/virtio/virtio_pci.ko",
          "kernel/drivers/virtio/virtio_ring.ko",
          "kernel/drivers/virtio/virtio.ko", "kernel/drivers/net/virtio_net.ko",
          "kernel/drivers/net/net_failover.ko",
          "kernel/drivers/net/ethernet/intel/e1000/e1000.ko",
          "kernel/drivers/net/ethernet/realtek/r8169.ko",
          "kernel/drivers/net/phy/realtek.ko",
          "kernel/drivers/net/phy/libphy.ko", "kernel/drivers/edac/skx_edac.ko",
          "kernel/drivers/edac/skx_edac_common.ko",
          "kernel/drivers/edac/ie31200_edac.ko",
          "kernel/drivers/i2c/busses/i2c-piix4.ko",
          "kernel/drivers/i2c/i2c-smbus.ko",
          "kernel/drivers/input/misc/pcspkr.ko",
          "kernel/drivers/input/evdev.ko", "kernel/drivers/hwmon/spd5118.ko",
          "kernel/drivers/hwmon/jc42.ko", "kernel/drivers/hwmon/k10temp.ko"}) {
      write(file, "module bytes");
    }
    // Devices every machine has, which no module of the image drives.
    device("pci", "0000:00:00.0", "pci:v00008086d00001237sv0sd0bc06sc00i00");
    device("platform", "serial8250", "platform:serial8250");
    kernel.putFile("/sys/bus/pci/devices/0000:00:01.0/vendor", "0x8086\n");
  }

  void write(const std::string& file, const std::string& text) {
    ASSERT_TRUE(temp.write("6.1.0-test-amd64/" + file, text)) << file;
  }

  void device(const std::string& bus, const std::string& name,
              const std::string& modalias) {
    kernel.putFile("/sys/bus/" + bus + "/devices/" + name + "/modalias",
                   modalias + "\n");
  }

  std::string path(const std::string& file) { return folder + "/" + file; }

  // The names of the modules the fake kernel loaded, in order.
  Names loadedNames() {
    Names names;
    for (const std::string& loaded : kernel.loadedModules) {
      names.push_back(moduleName(loaded));
    }
    return names;
  }

  FakeKernel kernel;
  TempFolder temp{"modules"};
  const std::string root = temp.path();
  const std::string folder = root + "/6.1.0-test-amd64";
};

TEST_F(ModuleLoaderTest, LoadsTheBusDriverThenTheDeviceThatAppears) {
  device("pci", "0000:00:03.0",
         "pci:v00001AF4d00001000sv00001AF4sd00000001bc02sc00i00");
  // Once virtio_pci binds the card, its virtio device shows up.
  kernel.filesOnLoad.insert({path("kernel/drivers/virtio/virtio_pci.ko"),
                             {"/sys/bus/virtio/devices/virtio0/modalias",
                              "virtio:d00000001v00001AF4\n"}});
  ModuleLoader loader(kernel, kernel, folder);
  ASSERT_TRUE(loader.readIndex());
  const ModuleLoadResult result = loader.loadForDevices();
  // Dependencies first, each once, the network driver in the second round.
  const Names order{"virtio", "virtio_ring", "virtio_pci", "net_failover",
                    "virtio_net"};
  EXPECT_EQ(loadedNames(), order);
  EXPECT_EQ(result.loaded, order);
  EXPECT_TRUE(result.failed.empty());
}

TEST_F(ModuleLoaderTest, LoadsTheSoftDependencyFirstAndOnlyWhatMatches) {
  device("pci", "0000:02:00.0",
         "pci:v000010ECd00008168sv00001043sd00008554bc02sc00i00");
  ModuleLoader loader(kernel, kernel, folder);
  ASSERT_TRUE(loader.readIndex());
  loader.loadForDevices();
  EXPECT_EQ(loadedNames(), (Names{"libphy", "realtek", "r8169"}));
}

// Memory controller drivers match the processor (family 6, model 0x55 is
// Skylake-SP) or the memory controller's PCI id; a filter keeps them apart
// from the network drivers, which a run loads only when it sends events.
TEST_F(ModuleLoaderTest, MatchesTheProcessorAndLoadsOnlyWhatTheFilterWants) {
  kernel.putFile("/sys/devices/system/cpu/modalias",
                 "cpu:type:x86,ven0000fam0006mod0055:feature:,0000,0001,"
                 "0002,00E5\n");
  device("pci", "0000:00:03.0",
         "pci:v00001AF4d00001000sv00001AF4sd00000001bc02sc00i00");
  ModuleLoader loader(kernel, kernel, folder);
  ASSERT_TRUE(loader.readIndex());
  EXPECT_EQ(loader.loadForDevices(isEdacModule).loaded,
            (Names{"skx_edac_common", "skx_edac"}));
  // The rest later, in one more pass of the same loader.
  EXPECT_EQ(loader.loadForDevices().loaded,
            (Names{"virtio", "virtio_ring", "virtio_pci"}));

  // Another processor: nothing of the kind.
  FakeKernel desktop;
  desktop.putFile("/sys/devices/system/cpu/modalias",
                  "cpu:type:x86,ven0000fam0006mod00A7:feature:,0000\n");
  ModuleLoader other(desktop, desktop, folder);
  ASSERT_TRUE(other.readIndex());
  EXPECT_TRUE(other.loadForDevices(isEdacModule).loaded.empty());
}

// A run that sends events loads the network's drivers only: not the SMBus
// controller's that every PC (and QEMU's) has, though the image carries it.
TEST_F(ModuleLoaderTest, TheNetworkFilterLeavesTheMachinesOtherDevicesAlone) {
  device("pci", "0000:00:01.3",
         "pci:v00008086d00007113sv00001AF4sd00001100bc06sc80i00");
  device("pci", "0000:00:03.0",
         "pci:v00001AF4d00001000sv00001AF4sd00000001bc02sc00i00");
  kernel.filesOnLoad.insert({path("kernel/drivers/virtio/virtio_pci.ko"),
                             {"/sys/bus/virtio/devices/virtio0/modalias",
                              "virtio:d00000001v00001AF4\n"}});
  ModuleLoader loader(kernel, kernel, folder);
  ASSERT_TRUE(loader.readIndex());
  EXPECT_EQ(loader.loadForDevices(isNetworkModule).loaded,
            (Names{"virtio", "virtio_ring", "virtio_pci", "net_failover",
                   "virtio_net"}));
}

// The speaker's driver makes an input device, which sits on no bus; the
// input layer's event handler matches it there, in the next round. The
// SMBus controller and the network card stay alone.
TEST_F(ModuleLoaderTest, TheSpeakerFilterLoadsPcspkrThenTheEventHandler) {
  device("platform", "pcspkr", "platform:pcspkr");
  device("pci", "0000:00:01.3",
         "pci:v00008086d00007113sv00001AF4sd00001100bc06sc80i00");
  device("pci", "0000:00:04.0", "pci:v00008086d0000100Esv0sd0bc02sc00i00");
  kernel.filesOnLoad.insert(
      {path("kernel/drivers/input/misc/pcspkr.ko"),
       {"/sys/class/input/input5/modalias",
        "input:b0010v001Fp0001e0100-e0,12,kramls1,2,fw\n"}});
  ModuleLoader loader(kernel, kernel, folder);
  ASSERT_TRUE(loader.readIndex());
  EXPECT_EQ(loader.loadForDevices(isSpeakerModule).loaded,
            (Names{"pcspkr", "evdev"}));
}

// The temperature sensors' drivers: the SMBus controller's driver first,
// whose bus then lists the DDR5 modules' sensors it declared as devices
// (spd5118 loads for them in the next round), then jc42 by name, which
// finds DDR4's sensors by probing. The network card stays alone; a name the
// image does not carry is no failure.
TEST_F(ModuleLoaderTest, TheSensorsLoadAfterTheirBusAndTheProbingOnesByName) {
  device("pci", "0000:00:01.3",
         "pci:v00008086d00007113sv00001AF4sd00001100bc06sc80i00");
  device("pci", "0000:00:03.0",
         "pci:v00001AF4d00001000sv00001AF4sd00000001bc02sc00i00");
  kernel.filesOnLoad.insert(
      {path("kernel/drivers/i2c/busses/i2c-piix4.ko"),
       {"/sys/bus/i2c/devices/0-0051/modalias", "i2c:spd5118\n"}});
  kernel.putFile("/proc/sys/kernel/osrelease", "6.1.0-test-amd64\n");
  const DriverLoad sensors =
      loadDrivers(kernel, kernel, root, isSensorModule, {"jc42", "lm75"});
  EXPECT_EQ(sensors.result.loaded,
            (Names{"i2c_smbus", "i2c_piix4", "spd5118", "jc42"}));
  EXPECT_TRUE(sensors.result.failed.empty());
  EXPECT_EQ(loadedNames(), sensors.result.loaded);

  // Loaded already (a second pass): no failure either.
  const DriverLoad again =
      loadDrivers(kernel, kernel, root, isSensorModule, {"jc42"});
  EXPECT_TRUE(again.result.loaded.empty());
  EXPECT_TRUE(again.result.failed.empty());
}

// DDR4's SPD EEPROM driver loads with the sensors (the SMBus driver
// declares its devices beside theirs); the other EEPROM drivers stay out.
TEST(SensorFilter, TakesDdr4sEepromDriverAndNoOtherEeprom) {
  EXPECT_TRUE(isSensorModule("kernel/drivers/misc/eeprom/ee1004.ko.xz"));
  EXPECT_TRUE(isSensorModule("kernel/drivers/hwmon/spd5118.ko"));
  EXPECT_FALSE(isSensorModule("kernel/drivers/misc/eeprom/at24.ko"));
  EXPECT_FALSE(isSensorModule("kernel/drivers/misc/eeprom/ee1004x.ko"));
}

TEST_F(ModuleLoaderTest, AFailureIsNamedOnceAndTheOthersStillLoad) {
  device("pci", "0000:00:03.0",
         "pci:v00001AF4d00001000sv00001AF4sd00000001bc02sc00i00");
  device("pci", "0000:00:04.0",
         "pci:v00008086d0000100Esv00001AF4sd00001100bc02sc00i00");
  device("pci", "0000:00:05.0",
         "pci:v00008086d0000100Esv00001AF4sd00001100bc02sc00i00");
  kernel.moduleErrors[path("kernel/drivers/virtio/virtio_ring.ko")] = ENOEXEC;
  // Loaded already (built in, or by an earlier round): not a failure.
  kernel.moduleErrors[path("kernel/drivers/virtio/virtio.ko")] = EEXIST;
  ModuleLoader loader(kernel, kernel, folder);
  ASSERT_TRUE(loader.readIndex());
  const ModuleLoadResult result = loader.loadForDevices();
  EXPECT_EQ(result.loaded, Names{"e1000"});
  ASSERT_EQ(result.failed.size(), 2u);
  EXPECT_EQ(result.failed[0].first, "virtio_ring");
  EXPECT_EQ(result.failed[0].second, "Exec format error");
  EXPECT_EQ(result.failed[1].first, "virtio_pci");
  EXPECT_EQ(result.failed[1].second, "needs virtio_ring, which did not load");
}

TEST_F(ModuleLoaderTest, AMissingModuleFileIsTheKernelsComplaint) {
  device("pci", "0000:00:04.0", "pci:v00008086d0000100Esv0sd0bc02sc00i00");
  ModuleLoader loader(kernel, kernel, folder);
  ASSERT_TRUE(loader.readIndex());
  remove(path("kernel/drivers/net/ethernet/intel/e1000/e1000.ko").c_str());
  const ModuleLoadResult result = loader.loadForDevices();
  ASSERT_EQ(result.failed.size(), 1u);
  EXPECT_EQ(result.failed[0].second, "No such file or directory");
}

TEST_F(ModuleLoaderTest, WithoutAnIndexNothingLoads) {
  ModuleLoader loader(kernel, kernel, root + "/another-release");
  EXPECT_FALSE(loader.readIndex());
  EXPECT_TRUE(loader.loadForDevices().loaded.empty());
}

// The program's one way to load drivers: the running kernel's folder of the
// image, its own filter.
TEST_F(ModuleLoaderTest, DriversLoadFromTheRunningKernelsFolderThroughAFilter) {
  device("pci", "0000:00:04.0", "pci:v00008086d0000100Esv0sd0bc02sc00i00");
  device("pci", "0000:00:05.0", "pci:v00008086d00003E0Fsv0sd0bc06sc00i00");
  kernel.putFile("/proc/sys/kernel/osrelease", "6.1.0-test-amd64\n");
  const DriverLoad edac = loadDrivers(kernel, kernel, root, isEdacModule);
  EXPECT_EQ(edac.release, "6.1.0-test-amd64");
  EXPECT_TRUE(edac.indexFound);
  EXPECT_EQ(edac.result.loaded, Names{"ie31200_edac"});
  EXPECT_EQ(loadedNames(), Names{"ie31200_edac"});

  kernel.putFile("/proc/sys/kernel/osrelease", "6.12.0-other-amd64\n");
  const DriverLoad none = loadDrivers(kernel, kernel, root, ModuleFilter());
  EXPECT_EQ(none.release, "6.12.0-other-amd64");
  EXPECT_FALSE(none.indexFound);
  EXPECT_TRUE(none.result.loaded.empty());
}

}  // namespace
