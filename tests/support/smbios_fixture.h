// SMBIOS tables built byte by byte, as firmware lays them out: a type 17
// structure per slot, type 19 ranges, the end-of-table structure.
#ifndef CELLCHECK_TESTS_SUPPORT_SMBIOS_FIXTURE_H_
#define CELLCHECK_TESTS_SUPPORT_SMBIOS_FIXTURE_H_

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct Dimm {
  std::string locator{};
  std::string bank{};
  uint16_t size = 0;  // the size word: MiB, 0 empty, 0x7fff extended
  uint8_t type = 0x22;
  uint16_t speed = 0;
  std::string maker{};
  std::string serial{};
  std::string part{};
  uint8_t rank = 0;
  uint32_t extendedSize = 0;  // MiB
  uint16_t configuredSpeed = 0;
  uint8_t makerBank = 0;
  uint8_t makerCode = 0;
  uint32_t extendedSpeed = 0;
  uint8_t length = 0x5c;  // SMBIOS 3.3's
};

inline void put(Bytes& b, size_t at, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) b[at + i] = (value >> (8 * i)) & 0xff;
}

// A structure: the formatted area (its first two bytes set here) and its
// strings, each ended by NUL, the set by a second NUL.
inline Bytes structure(uint8_t type, Bytes formatted,
                       const std::vector<std::string>& strings) {
  formatted[0] = type;
  formatted[1] = static_cast<uint8_t>(formatted.size());
  Bytes out = formatted;
  for (const std::string& s : strings) {
    out.insert(out.end(), s.begin(), s.end());
    out.push_back(0);
  }
  if (strings.empty()) out.push_back(0);
  out.push_back(0);
  return out;
}

inline Bytes type17(const Dimm& d) {
  Bytes f(d.length);
  std::vector<std::string> strings;
  auto text = [&](size_t at, const std::string& s) {
    if (s.empty() || at >= f.size()) return;
    strings.push_back(s);
    f[at] = static_cast<uint8_t>(strings.size());
  };
  auto field = [&](size_t at, uint64_t value, int width) {
    if (at + width <= f.size()) put(f, at, value, width);
  };
  field(0x0c, d.size, 2);
  text(0x10, d.locator);
  text(0x11, d.bank);
  field(0x12, d.type, 1);
  field(0x15, d.speed, 2);
  text(0x17, d.maker);
  text(0x18, d.serial);
  text(0x1a, d.part);
  field(0x1b, d.rank, 1);
  field(0x1c, d.extendedSize, 4);
  field(0x20, d.configuredSpeed, 2);
  field(0x2c, d.makerBank, 1);
  field(0x2d, d.makerCode, 1);
  field(0x54, d.extendedSpeed, 4);
  return structure(17, f, strings);
}

// A type 19 range in KiB, or in bytes through the extended fields.
inline Bytes type19(uint64_t start, uint64_t end, bool extended = false) {
  Bytes f(0x1f);
  put(f, 0x04, extended ? 0xffffffff : start, 4);
  put(f, 0x08, extended ? 0xffffffff : end, 4);
  if (extended) {
    put(f, 0x0f, start, 8);
    put(f, 0x17, end, 8);
  }
  return structure(19, f, {});
}

// The structures, a BIOS information structure first, the end last.
inline Bytes smbiosTable(const std::vector<Bytes>& structures) {
  Bytes table = structure(0, Bytes(0x18), {"Firmware Inc.", "1.2"});
  for (const Bytes& s : structures)
    table.insert(table.end(), s.begin(), s.end());
  const Bytes end = structure(127, Bytes(4), {});
  table.insert(table.end(), end.begin(), end.end());
  return table;
}

#endif  // CELLCHECK_TESTS_SUPPORT_SMBIOS_FIXTURE_H_
