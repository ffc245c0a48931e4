// SPD EEPROM images of DDR4 (512 bytes) and DDR5 (1024 bytes) modules,
// with the bytes a module maker writes.
#ifndef CELLCHECK_TESTS_DIMMS_SPD_FIXTURE_H_
#define CELLCHECK_TESTS_DIMMS_SPD_FIXTURE_H_

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

struct Manufacturing {
  uint8_t bank;
  uint8_t code;
  uint8_t year;     // BCD
  uint8_t week;     // BCD
  uint32_t serial;  // written big end first: 0x1a2b3c4d is "1A2B3C4D"
  const char* part;
};

inline void putManufacturing(std::vector<uint8_t>& image, size_t at,
                             size_t partLength, const Manufacturing& m) {
  image[at] = m.bank;
  image[at + 1] = m.code;
  image[at + 3] = m.year;
  image[at + 4] = m.week;
  for (int i = 0; i < 4; ++i) image[at + 5 + i] = m.serial >> (24 - 8 * i);
  memset(&image[at + 9], ' ', partLength);
  memcpy(&image[at + 9], m.part, strnlen(m.part, partLength));
}

// DDR4: density code (byte 4), package (6), organisation (12), bus (13),
// the clock period in 125 ps steps (18) and its fine correction (125).
inline std::vector<uint8_t> ddr4Image(uint8_t density, uint8_t package,
                                      uint8_t organisation, uint8_t tck,
                                      int8_t fine, const Manufacturing& m) {
  std::vector<uint8_t> image(512);
  image[0] = 0x23;
  image[2] = 0x0c;
  image[4] = density;
  image[6] = package;
  image[12] = organisation;
  image[13] = 0x03;  // 64 bits
  image[18] = tck;
  image[125] = static_cast<uint8_t>(fine);
  putManufacturing(image, 320, 20, m);
  return image;
}

// DDR5: density and package (byte 4), I/O width (6), ranks (234), two
// 32-bit sub-channels (235), the clock period in ps (20-21).
inline std::vector<uint8_t> ddr5Image(uint8_t density, uint8_t width,
                                      uint8_t organisation, uint16_t tckPs,
                                      const Manufacturing& m) {
  std::vector<uint8_t> image(1024);
  image[0] = 0x30;
  image[2] = 0x12;
  image[4] = density;
  image[6] = width;
  image[20] = tckPs & 0xff;
  image[21] = tckPs >> 8;
  image[234] = organisation;
  image[235] = 0x22;
  putManufacturing(image, 512, 30, m);
  return image;
}

#endif  // CELLCHECK_TESTS_DIMMS_SPD_FIXTURE_H_
