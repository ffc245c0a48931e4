#include "modules/module_loader.h"

#include <cerrno>
#include <cstring>

#include "base/small_file.h"
#include "base/text.h"

namespace {

std::vector<std::string> entries(const std::string& folder) {
  std::vector<std::string> names;
  // In a fixed order, so that a machine loads its drivers alike every boot.
  for (const std::string& name : folderEntries(folder)) {
    if (name[0] != '.') names.push_back(name);
  }
  return names;
}

// Modules lean on each other only a few levels deep; a cycle in a broken
// index must still end.
constexpr int kMaxDepth = 16;

}  // namespace

bool isEdacModule(const std::string& file) {
  return startsWith(file, "kernel/drivers/edac/");
}

bool isNetworkModule(const std::string& file) {
  return startsWith(file, "kernel/drivers/net/") ||
         startsWith(file, "kernel/drivers/virtio/");
}

bool isStickModule(const std::string& file) {
  return startsWith(file, "kernel/drivers/usb/host/") ||
         startsWith(file, "kernel/drivers/usb/storage/") ||
         startsWith(file, "kernel/drivers/scsi/sd_mod.");
}

bool isSpeakerModule(const std::string& file) {
  return startsWith(file, "kernel/drivers/input/misc/pcspkr.") ||
         startsWith(file, "kernel/drivers/input/evdev.");
}

bool isSensorModule(const std::string& file) {
  return startsWith(file, "kernel/drivers/hwmon/") ||
         startsWith(file, "kernel/drivers/i2c/busses/") ||
         startsWith(file, "kernel/drivers/misc/eeprom/ee1004.");
}

ModuleLoader::ModuleLoader(KernelFiles& files, KernelSystem& system,
                           std::string folder)
    : files_(files), system_(system), folder_(std::move(folder)) {}

bool ModuleLoader::readIndex() {
  const std::string dep = readSmallFile(folder_ + "/modules.dep");
  if (dep.empty()) return false;
  index_.readDep(dep);
  index_.readAlias(readSmallFile(folder_ + "/modules.alias"));
  index_.readSoftdep(readSmallFile(folder_ + "/modules.softdep"));
  return true;
}

std::vector<std::string> ModuleLoader::deviceModaliases() {
  std::vector<std::string> modaliases;
  const std::string buses = files_.file("/sys/bus");
  for (const std::string& bus : entries(buses)) {
    const std::string devices = buses + "/" + bus + "/devices";
    for (const std::string& device : entries(devices)) {
      const std::string modalias =
          readFileLine(devices + "/" + device + "/modalias");
      if (!modalias.empty()) modaliases.push_back(modalias);
    }
  }
  // Input devices are a class on no bus; their handlers (evdev) match
  // them there.
  const std::string inputs = files_.file("/sys/class/input");
  for (const std::string& device : entries(inputs)) {
    const std::string modalias =
        readFileLine(inputs + "/" + device + "/modalias");
    if (!modalias.empty()) modaliases.push_back(modalias);
  }
  // The processors are devices of the cpu bus without a modalias file of
  // their own; the kernel shows theirs (family, model, features) once.
  const std::string cpu =
      readFileLine(files_.file("/sys/devices/system/cpu/modalias"));
  if (!cpu.empty()) modaliases.push_back(cpu);
  return modaliases;
}

bool ModuleLoader::load(const std::string& name, ModuleLoadResult* result,
                        int depth) {
  for (const auto& tried : tried_) {
    if (tried.first == name) return tried.second;
  }
  if (!index_.has(name) || depth > kMaxDepth) {
    // Not in the image: for a soft dependency that is allowed, and a hard
    // one shows up as the kernel's own complaint below.
    return false;
  }
  tried_.emplace_back(name, false);
  // Soft dependencies are wishes: one that is missing or fails stops
  // nothing. Hard ones are needed for the module's symbols.
  for (const std::string& pre : index_.softPre(name)) {
    load(pre, result, depth + 1);
  }
  for (const std::string& dependency : index_.dependencies(name)) {
    if (!load(dependency, result, depth + 1)) {
      result->failed.emplace_back(
          name, "needs " + dependency + ", which did not load");
      return false;
    }
  }
  const std::string path = folder_ + "/" + index_.file(name);
  const int error = system_.loadModule(path.c_str());
  if (error != 0 && error != EEXIST) {
    result->failed.emplace_back(name, strerror(error));
    return false;
  }
  for (auto& tried : tried_) {
    if (tried.first == name) tried.second = true;
  }
  if (error == 0) result->loaded.push_back(name);
  for (const std::string& post : index_.softPost(name)) {
    load(post, result, depth + 1);
  }
  return true;
}

ModuleLoadResult ModuleLoader::loadForDevices(const ModuleFilter& wanted) {
  ModuleLoadResult result;
  for (int round = 0; round < kMaxRounds; ++round) {
    const size_t triedBefore = tried_.size();
    for (const std::string& modalias : deviceModaliases()) {
      for (const std::string& name : index_.matching(modalias)) {
        if (wanted && !wanted(index_.file(name))) continue;
        load(name, &result, 0);
      }
    }
    if (tried_.size() == triedBefore) break;  // nothing new to try
  }
  return result;
}

ModuleLoadResult ModuleLoader::loadNamed(
    const std::vector<std::string>& names) {
  ModuleLoadResult result;
  for (const std::string& name : names) {
    if (!index_.has(name)) {
      result.failed.emplace_back(name, "not in the image");
      continue;
    }
    load(name, &result, 0);
  }
  return result;
}

void ModuleLoader::loadByName(const std::string& name,
                              ModuleLoadResult* result) {
  load(name, result, 0);
}

std::string runningKernelRelease(KernelFiles& files) {
  return readFileLine(files.file("/proc/sys/kernel/osrelease"));
}

DriverLoad loadDrivers(KernelFiles& files, KernelSystem& system,
                       const std::string& moduleRoot,
                       const ModuleFilter& wanted,
                       const std::vector<std::string>& byName) {
  DriverLoad load;
  load.release = runningKernelRelease(files);
  ModuleLoader loader(files, system, moduleRoot + "/" + load.release);
  load.indexFound = loader.readIndex();
  if (!load.indexFound) return load;
  load.result = loader.loadForDevices(wanted);
  for (const std::string& name : byName) loader.loadByName(name, &load.result);
  return load;
}
