#include "dimms/smbios_table.h"

#include "dimms/dimm_text.h"

namespace {

// One structure: its formatted area and its string set, both inside the
// table.
class Structure {
 public:
  Structure(const uint8_t* formatted, size_t length, const uint8_t* strings,
            size_t stringsSize)
      : formatted_(formatted),
        length_(length),
        strings_(strings),
        stringsSize_(stringsSize) {}

  bool has(size_t offset, size_t width) const {
    return offset + width <= length_;
  }
  uint8_t byte(size_t offset) const { return formatted_[offset]; }
  u32 word(size_t offset) const {
    return formatted_[offset] | u32{formatted_[offset + 1]} << 8;
  }
  u64 dword(size_t offset) const {
    return word(offset) | u64{word(offset + 2)} << 16;
  }
  u64 qword(size_t offset) const {
    return dword(offset) | dword(offset + 4) << 32;
  }

  // String number `index` (1-based) of the string set; empty for 0 or one
  // the set does not hold.
  std::string text(size_t offset) const {
    if (!has(offset, 1)) return std::string();
    size_t index = byte(offset);
    if (index == 0) return std::string();
    size_t at = 0;
    while (at < stringsSize_ && strings_[at] != 0) {
      size_t end = at;
      while (end < stringsSize_ && strings_[end] != 0) ++end;
      if (--index == 0) return printableText(strings_ + at, end - at);
      at = end + 1;
    }
    return std::string();
  }

 private:
  const uint8_t* formatted_;
  size_t length_;
  const uint8_t* strings_;
  size_t stringsSize_;
};

// Offsets of the type 17 fields.
enum : size_t {
  kSize = 0x0c,
  kLocator = 0x10,
  kBankLocator = 0x11,
  kType = 0x12,
  kSpeed = 0x15,
  kManufacturer = 0x17,
  kSerial = 0x18,
  kPartNumber = 0x1a,
  kAttributes = 0x1b,
  kExtendedSize = 0x1c,
  kConfiguredSpeed = 0x20,
  kModuleMaker = 0x2c,
  kExtendedSpeed = 0x54,
  kExtendedConfiguredSpeed = 0x58,
};

// A speed word, with the 32-bit field that replaces it when it reads
// 0xffff (SMBIOS 3.3).
u32 speed(const Structure& s, size_t offset, size_t extended) {
  if (!s.has(offset, 2)) return 0;
  const u32 value = s.word(offset);
  if (value != 0xffff) return value;
  return s.has(extended, 4) ? static_cast<u32>(s.dword(extended) & 0x7fffffff)
                            : 0;
}

void readSize(const Structure& s, MemoryDevice* device) {
  if (!s.has(kSize, 2)) return;
  const u32 value = s.word(kSize);
  if (value == 0) {
    device->size = MemoryDevice::Size::kEmpty;
  } else if (value == 0x7fff) {
    // 32 GiB and more: the extended field, in MiB.
    if (!s.has(kExtendedSize, 4)) return;
    const u64 mib = s.dword(kExtendedSize) & 0x7fffffff;
    if (mib == 0) return;
    device->size = MemoryDevice::Size::kKnown;
    device->sizeBytes = mib * kMiB;
  } else if (value != 0xffff) {
    // Bit 15 set: the rest counts KiB, else MiB.
    device->sizeBytes =
        (value & 0x8000) ? u64{value & 0x7fff} << 10 : u64{value} * kMiB;
    // 0x8000, no KiB, is as empty as 0.
    device->size = device->sizeBytes ? MemoryDevice::Size::kKnown
                                     : MemoryDevice::Size::kEmpty;
  }
}

MemoryDevice memoryDevice(const Structure& s) {
  MemoryDevice device;
  readSize(s, &device);
  device.locator = s.text(kLocator);
  device.bankLocator = s.text(kBankLocator);
  if (s.has(kType, 1)) device.memoryType = s.byte(kType);
  device.speedMTs = speed(s, kSpeed, kExtendedSpeed);
  device.manufacturer = s.text(kManufacturer);
  device.serial = s.text(kSerial);
  device.partNumber = s.text(kPartNumber);
  if (s.has(kAttributes, 1)) device.rank = s.byte(kAttributes) & 0x0f;
  device.configuredSpeedMTs =
      speed(s, kConfiguredSpeed, kExtendedConfiguredSpeed);
  if (s.has(kModuleMaker, 2)) {
    device.makerBank = s.byte(kModuleMaker);
    device.makerCode = s.byte(kModuleMaker + 1);
  }
  return device;
}

// A type 19 range in bytes: KiB addresses, or the 64-bit byte addresses
// (SMBIOS 2.7) when the first reads 0xffffffff.
u64 mappedRange(const Structure& s) {
  if (!s.has(0x04, 8)) return 0;
  u64 start = s.dword(0x04);
  u64 end = s.dword(0x08);
  if (start == 0xffffffff) {
    if (!s.has(0x17, 8)) return 0;
    start = s.qword(0x0f);
    end = s.qword(0x17);
    return end >= start && end - start < ~u64{0} ? end - start + 1 : 0;
  }
  return end >= start ? (end - start + 1) << 10 : 0;
}

}  // namespace

SmbiosMemory parseSmbiosMemory(const uint8_t* table, size_t size) {
  SmbiosMemory memory;
  size_t at = 0;
  while (at < size) {
    if (size - at < 4) {
      memory.cutShort = true;
      break;
    }
    const uint8_t type = table[at];
    const size_t length = table[at + 1];
    if (length < 4 || length > size - at) {
      memory.cutShort = true;
      break;
    }
    // The string set runs to the first double NUL after the formatted area.
    const size_t strings = at + length;
    size_t end = strings;
    while (end + 1 < size && !(table[end] == 0 && table[end + 1] == 0)) ++end;
    if (end + 1 >= size) {
      memory.cutShort = true;
      break;
    }
    const Structure s(table + at, length, table + strings, end - strings);
    if (type == 17 && memory.devices.size() < kMaxMemoryDevices) {
      memory.devices.push_back(memoryDevice(s));
    } else if (type == 19) {
      const u64 range = mappedRange(s);
      if (range <= ~u64{0} - memory.mappedBytes) memory.mappedBytes += range;
    } else if (type == 127) {
      break;
    }
    at = end + 2;
  }
  return memory;
}

const char* memoryTypeName(uint8_t smbiosType) {
  switch (smbiosType) {
    case 0x12:
      return "DDR";
    case 0x13:
      return "DDR2";
    case kSmbiosDdr3:
      return "DDR3";
    case kSmbiosDdr4:
      return "DDR4";
    case 0x1d:
      return "LPDDR3";
    case kSmbiosLpddr4:
      return "LPDDR4";
    case kSmbiosDdr5:
      return "DDR5";
    case kSmbiosLpddr5:
      return "LPDDR5";
    default:
      return "";
  }
}
