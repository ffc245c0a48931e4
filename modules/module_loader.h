// Loads the kernel modules of the image that the machine's devices need, as
// modprobe would, for a system that has no modprobe: each device's modalias
// (from /sys; the processor's as well, which drivers of memory controllers
// match by family and model, and the input devices', which sit on no bus)
// is matched against modules.alias, and each
// matching module is loaded after what modules.dep and modules.softdep say
// it needs. Loading a
// bus driver makes new devices appear (virtio_net's device exists only once
// virtio_pci has bound), so the devices are read again until a round loads
// nothing new. Every kernel call goes through the kernel seam.
//
// The program loads drivers in one place, loadDrivers(), which takes a
// filter: the memory controllers' drivers and the temperature sensors' on
// every boot of the image, the PC speaker's unless the beep is off, the
// boot stick's when booted from a disk, the network's when events are to be
// sent. A driver that finds its chips by probing, not by a device the kernel
// lists, is loaded by its name.
#ifndef CELLCHECK_MODULES_MODULE_LOADER_H_
#define CELLCHECK_MODULES_MODULE_LOADER_H_

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/types.h"
#include "modules/module_index.h"
#include "seam/files.h"
#include "seam/system.h"

struct ModuleLoadResult {
  // Modules loaded, in the order loaded (those the kernel had already are
  // not in it).
  std::vector<std::string> loaded;
  // Modules that did not load, each with why: the kernel's error text, or
  // the module it needed that did not load.
  std::vector<std::pair<std::string, std::string>> failed;
};

// Which modules may be matched to devices, by their file relative to the
// modules folder (kernel/drivers/edac/... for the memory controllers).
using ModuleFilter = std::function<bool(const std::string& file)>;

// The memory controllers' error-counting drivers (EDAC), which live in
// kernel/drivers/edac/ of every kernel package.
bool isEdacModule(const std::string& file);
// The network cards' drivers (kernel/drivers/net/) and the virtio bus their
// virtual cards sit on (kernel/drivers/virtio/, where a kernel builds it as
// a module): not the machine's other devices, such as its SMBus controller.
bool isNetworkModule(const std::string& file);
// What a USB stick needs to be found: the USB host controllers' drivers
// (kernel/drivers/usb/host/), the USB storage drivers (usb-storage, uas)
// and the SCSI disk driver they hand their disks to (sd_mod), nothing of
// SCSI else.
bool isStickModule(const std::string& file);
// The PC speaker's driver (pcspkr, matched by its platform device) and the
// input layer's event handler (evdev, matched by every input device, the
// speaker's among them once pcspkr made it), which gives the speaker the
// device file the program writes its tones to.
bool isSpeakerModule(const std::string& file);
// The temperature sensors' drivers (kernel/drivers/hwmon/: the processors'
// and the memory modules') and the SMBus controllers that the memory
// modules' sensors sit on (kernel/drivers/i2c/busses/), and DDR4's SPD
// EEPROM driver (ee1004; DDR5's spd5118 is a sensor's driver as well),
// which the SMBus driver declares beside the sensors.
bool isSensorModule(const std::string& file);
// The memory modules' sensors that no device names: DDR4's JC-42.4 chips,
// which nothing declares (the SMBus driver declares DDR5's sensors from the
// firmware's memory table), are found by jc42's own probing of the SMBus
// once it is loaded, so it loads by name after the SMBus driver.
inline constexpr const char* kProbingSensorDrivers[] = {"jc42"};

class ModuleLoader {
 public:
  // `folder`: where modules.dep and the module files are, e.g.
  // /lib/modules/RELEASE (a folder of the image, read directly).
  ModuleLoader(KernelFiles& files, KernelSystem& system, std::string folder);

  // False when the folder has no modules.dep: the image carries no modules.
  bool readIndex();
  // Loads the modules every device present needs; /sys must be mounted.
  // With `wanted`, only the modules it accepts are matched to devices (what
  // they need loads from anywhere).
  ModuleLoadResult loadForDevices(const ModuleFilter& wanted = ModuleFilter());
  // Loads the modules `names` (with what they need) that no device asks
  // for: a file system and its code pages.
  ModuleLoadResult loadNamed(const std::vector<std::string>& names);
  // Loads the module `name` (as modules.dep names it, "jc42") after what it
  // needs, whatever the devices; adds to `result`. Nothing when the image
  // does not carry it.
  void loadByName(const std::string& name, ModuleLoadResult* result);

  // At most this many rounds of reading the devices: each round after the
  // first needs a bus driver that the round before loaded.
  static constexpr int kMaxRounds = 8;

 private:
  std::vector<std::string> deviceModaliases();
  // Loads `name` after what it needs; true when it is in the kernel now.
  bool load(const std::string& name, ModuleLoadResult* result, int depth);

  KernelFiles& files_;
  KernelSystem& system_;
  std::string folder_;
  ModuleIndex index_;
  // Modules tried, and whether each is in the kernel.
  std::vector<std::pair<std::string, bool>> tried_;
};

// The release of the running kernel, read from /proc.
std::string runningKernelRelease(KernelFiles& files);

// What loadDrivers found and did.
struct DriverLoad {
  std::string release;      // the running kernel's
  bool indexFound = false;  // the image holds modules for it
  ModuleLoadResult result;
};

// Loads the image's drivers for this machine's devices that `wanted`
// accepts (all of them when it is unset): those under `moduleRoot` (the
// image's /lib/modules) for the running kernel; then the drivers named in
// `byName`, whatever the devices. /sys must be mounted.
DriverLoad loadDrivers(KernelFiles& files, KernelSystem& system,
                       const std::string& moduleRoot,
                       const ModuleFilter& wanted,
                       const std::vector<std::string>& byName = {});

#endif  // CELLCHECK_MODULES_MODULE_LOADER_H_
