#include "dimms/inventory.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "dimms/dimm_text.h"
#include "dimms/jep106.h"

namespace {

bool sameText(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

bool populated(const MemoryDevice& device) {
  if (device.size == MemoryDevice::Size::kKnown) return true;
  if (device.size == MemoryDevice::Size::kEmpty) return false;
  return !isPlaceholder(device.serial) || !isPlaceholder(device.partNumber);
}

// The slot's name: its locator, with the bank locator before it where
// several devices share the locator ("DIMM 0" on every channel).
std::string slotName(const SmbiosMemory& table, size_t index) {
  const MemoryDevice& device = table.devices[index];
  size_t same = 0;
  for (const MemoryDevice& other : table.devices) {
    same += sameText(other.locator, device.locator);
  }
  std::string name = device.locator;
  if ((same > 1 || name.empty()) && !device.bankLocator.empty()) {
    name = device.bankLocator + (name.empty() ? "" : " " + name);
  }
  return name.empty() ? "slot " + std::to_string(index + 1) : name;
}

// The table's devices that make one module: one device, or those that
// share a real serial number and part number.
struct Group {
  std::vector<size_t> devices;
  const SpdReading* spd = nullptr;
};

std::vector<Group> groups(const SmbiosMemory& table) {
  std::vector<Group> found;
  for (size_t i = 0; i < table.devices.size(); ++i) {
    const MemoryDevice& device = table.devices[i];
    if (!populated(device)) continue;
    Group* same = nullptr;
    if (!isPlaceholder(device.serial)) {
      for (Group& group : found) {
        const MemoryDevice& first = table.devices[group.devices[0]];
        if (sameText(first.serial, device.serial) &&
            sameText(first.partNumber, device.partNumber)) {
          same = &group;
        }
      }
    }
    if (same == nullptr) {
      found.push_back(Group{});
      same = &found.back();
    }
    same->devices.push_back(i);
  }
  return found;
}

// Each group's SPD: by serial number; then, for the rest, in order when as
// many images as groups are left, else by address (the kernel gives slot n
// of the table address 0x50 + n).
// Returns which images found a group.
std::vector<bool> matchSpd(const SmbiosMemory& table,
                           const std::vector<SpdReading>& spd,
                           std::vector<Group>* found) {
  std::vector<bool> used(spd.size());
  for (Group& group : *found) {
    const std::string& serial = table.devices[group.devices[0]].serial;
    for (size_t i = 0; i < spd.size() && !isPlaceholder(serial); ++i) {
      if (!used[i] && sameText(spd[i].module.serial, serial)) {
        group.spd = &spd[i];
        used[i] = true;
        break;
      }
    }
  }
  std::vector<size_t> left;
  for (size_t i = 0; i < spd.size(); ++i) {
    if (!used[i]) left.push_back(i);
  }
  std::sort(left.begin(), left.end(), [&](size_t a, size_t b) {
    return spd[a].address < spd[b].address;
  });
  std::vector<Group*> unmatched;
  for (Group& group : *found) {
    if (group.spd == nullptr) unmatched.push_back(&group);
  }
  if (left.size() == unmatched.size()) {
    for (size_t i = 0; i < left.size(); ++i) {
      unmatched[i]->spd = &spd[left[i]];
      used[left[i]] = true;
    }
    return used;
  }
  for (Group* group : unmatched) {
    for (size_t i : left) {
      if (!used[i] && spd[i].address == 0x50 + group->devices[0]) {
        group->spd = &spd[i];
        used[i] = true;
      }
    }
  }
  return used;
}

// Firmware that writes the maker's JEP106 code as hex text ("80AD000080AD",
// "CE00"), in either byte order: the maker it names, if one known here.
std::string makerFromCode(const std::string& text) {
  if (text.size() < 4 || text.size() > 16 || text.size() % 2 != 0 ||
      text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    return text;
  }
  const unsigned long first = strtoul(text.substr(0, 2).c_str(), nullptr, 16);
  const unsigned long second = strtoul(text.substr(2, 2).c_str(), nullptr, 16);
  for (const std::string& name :
       {jep106Maker(first, second), jep106Maker(second, first)}) {
    if (!name.empty() && name.compare(0, 6, "maker ") != 0) return name;
  }
  return text;
}

Module fromTable(const SmbiosMemory& table, const Group& group) {
  const MemoryDevice& first = table.devices[group.devices[0]];
  Module module;
  module.slot = slotName(table, group.devices[0]);
  for (size_t i : group.devices) {
    const MemoryDevice& device = table.devices[i];
    if (device.size != MemoryDevice::Size::kKnown) {
      module.sizeBytes = 0;
      break;
    }
    module.sizeBytes += device.sizeBytes;
  }
  module.type = memoryTypeName(first.memoryType);
  module.speedMTs = first.speedMTs ? first.speedMTs : first.configuredSpeedMTs;
  module.maker = makerFromCode(realOrEmpty(first.manufacturer));
  if (module.maker.empty()) {
    module.maker = jep106Maker(first.makerBank, first.makerCode);
  }
  module.partNumber = realOrEmpty(first.partNumber);
  module.serial = realOrEmpty(first.serial);
  return module;
}

// The SPD's fields over the table's, where the SPD has them.
void addSpd(const SpdModule& spd, Module* module) {
  module->fromSpd = true;
  if (spd.capacityBytes) module->sizeBytes = spd.capacityBytes;
  if (spd.kind != SpdKind::kUnknown) module->type = spdKindName(spd.kind);
  if (spd.speedMTs) module->speedMTs = spd.speedMTs;
  if (!spd.maker.empty()) module->maker = spd.maker;
  if (!spd.partNumber.empty()) module->partNumber = spd.partNumber;
  if (!spd.serial.empty()) module->serial = spd.serial;
  module->year = spd.year;
  module->week = spd.week;
}

std::string joined(const std::vector<std::string>& parts, const char* with) {
  std::string text;
  for (const std::string& part : parts) {
    if (part.empty()) continue;
    text += (text.empty() ? "" : with) + part;
  }
  return text;
}

}  // namespace

Inventory buildInventory(const SmbiosMemory& table,
                         const std::vector<SpdReading>& spd) {
  Inventory inventory;
  std::vector<Group> found = groups(table);
  const std::vector<bool> used = matchSpd(table, spd, &found);
  for (const Group& group : found) {
    Module module = fromTable(table, group);
    if (group.spd != nullptr && group.spd->module.kind != SpdKind::kUnknown) {
      addSpd(group.spd->module, &module);
    }
    inventory.modules.push_back(module);
  }
  // An EEPROM no populated slot claims: a module the firmware lists as an
  // empty slot (one that failed its training: its memory is lost), or one
  // the table does not list at all.
  for (size_t i = 0; i < spd.size(); ++i) {
    if (used[i] || spd[i].module.kind == SpdKind::kUnknown) continue;
    const size_t index = spd[i].address - 0x50;
    Module module;
    if (index < table.devices.size()) {
      if (populated(table.devices[index])) continue;  // another's: unclear
      module.slot = slotName(table, index);
      module.firmwareListsEmpty = true;
    } else {
      char slot[16];
      snprintf(slot, sizeof slot, "SPD 0x%02x", spd[i].address & 0xff);
      module.slot = slot;
    }
    addSpd(spd[i].module, &module);
    inventory.modules.push_back(module);
  }
  if (inventory.modules.empty()) {
    inventory.whyNone = table.devices.empty()
                            ? "the firmware lists no memory devices"
                            : "the firmware lists " +
                                  std::to_string(table.devices.size()) +
                                  " memory slots, none of them in use";
    if (!spd.empty()) inventory.whyNone += "; no SPD EEPROM could be decoded";
  }
  return inventory;
}

std::vector<std::string> inventoryLines(const Inventory& inventory) {
  if (inventory.modules.empty()) {
    return {"Modules: none named (" + inventory.whyNone + ")"};
  }
  std::vector<std::string> lines;
  for (const Module& m : inventory.modules) {
    std::string kind = m.type;
    if (m.speedMTs) {
      kind += kind.empty() ? std::to_string(m.speedMTs) + " MT/s"
                           : "-" + std::to_string(m.speedMTs);
    }
    std::string name = joined({m.maker, m.partNumber}, " ");
    lines.push_back(
        "Module " + m.slot + ": " +
        joined({m.sizeBytes ? sizeText(m.sizeBytes) : "size unknown", kind},
               " ") +
        ", " + (name.empty() ? "maker and part unknown" : name) + ", " +
        (m.serial.empty() ? "no serial number" : "serial " + m.serial) +
        (m.firmwareListsEmpty ? " (SPD; the firmware lists the slot empty)"
         : m.fromSpd          ? " (SPD)"
                              : " (firmware table)"));
  }
  return lines;
}

std::vector<ModuleInSlot> modulesInSlots(const Inventory& inventory) {
  std::vector<ModuleInSlot> modules;
  for (const Module& module : inventory.modules) {
    modules.push_back(ModuleInSlot{module.slot, module.serial});
  }
  return modules;
}

MissingMemory findMissingMemory(const Inventory& inventory, u64 mappedBytes) {
  MissingMemory result;
  result.mappedBytes = mappedBytes;
  u64 smallest = ~u64{0};
  for (const Module& module : inventory.modules) {
    if (module.sizeBytes == 0) return result;
    result.modulesBytes += module.sizeBytes;
    smallest = std::min(smallest, module.sizeBytes);
  }
  if (inventory.modules.empty() || mappedBytes >= result.modulesBytes) {
    return result;
  }
  const u64 shortfall = result.modulesBytes - mappedBytes;
  // What firmware and kernel keep from a healthy machine: a fixed part
  // (integrated graphics' stolen memory, commonly up to 1 GiB; SMM, the
  // management engine and ACPI tables, tens of MiB; what the PCI hole
  // leaves unremapped) and a part that grows with the memory (the
  // kernel's page descriptors, 1.6 % when MemTotal is what was passed,
  // and firmware's own tables): 1 GiB and 1/32 of the modules. And a dead
  // or refused module takes all of its memory away, so the shortfall must
  // also reach most of the smallest module: that keeps an APU's 2-4 GiB
  // of graphics memory from counting as a lost 8 GiB module.
  const u64 allowance = (u64{1} << 30) + result.modulesBytes / 32;
  if (shortfall <= allowance || shortfall < smallest / 4 * 3) return result;
  result.missing = true;
  // The modules whose slots the firmware lists empty are the lost ones;
  // else any module the shortfall could be.
  bool listedEmpty = false;
  for (const Module& module : inventory.modules) {
    listedEmpty |= module.firmwareListsEmpty;
  }
  for (const Module& module : inventory.modules) {
    if (listedEmpty ? module.firmwareListsEmpty
                    : module.sizeBytes <= shortfall + allowance) {
      result.slots.push_back(module.slot + " (" + sizeText(module.sizeBytes) +
                             ")");
    }
  }
  return result;
}

std::string missingMemoryLine(const MissingMemory& missing) {
  if (!missing.missing) return std::string();
  const u64 shortfall = missing.modulesBytes - missing.mappedBytes;
  return "Missing memory: the modules hold " + sizeText(missing.modulesBytes) +
         " but the firmware mapped " +
         sizeText(missing.mappedBytes / kMiB * kMiB) + "; " +
         sizeText(shortfall / kMiB * kMiB) + " is missing, as much as " +
         (missing.slots.size() > 1 ? "one or more of " : "") +
         joined(missing.slots, ", ") +
         " holds: a module not seated, not working or not supported by the "
         "board";
}

std::string missingSlotsText(const MissingMemory& missing) {
  return joined(missing.slots, ", ");
}
