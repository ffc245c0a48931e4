#include "dimms/spd.h"

#include <gtest/gtest.h>

#include "dimms/jep106.h"
#include "tests/dimms/spd_fixture.h"

namespace {

constexpr uint64_t kGiB = uint64_t{1} << 30;

struct Decoded {
  const char* name;
  std::vector<uint8_t> image;
  SpdKind kind;
  uint64_t capacity;
  uint32_t speed;
  const char* maker;
  int year;
  int week;
  const char* serial;
  const char* part;
};

TEST(SpdTest, DecodesDdr4AndDdr5Modules) {
  const Manufacturing samsung{0x80, 0xce,       0x21,
                              0x14, 0x0399a1b2, "M378A2K43EB1-CWE"};
  const Manufacturing kingston{0x01, 0x98,       0x23,
                               0x05, 0x1a2b3c4d, "KF556C40BB-16"};
  const Manufacturing micron{0x80, 0x2c,       0x22,
                             0x52, 0xe0f00001, "MTC20C2085S1EC48BA1"};
  const Manufacturing unknownMaker{0x85, 0x8a, 0x9a, 0x01, 0, ""};
  for (const Decoded& c : {
           // 8 Gb dies, two ranks of x8, DDR4-3200 (0.625 ns).
           Decoded{"DDR4 2Rx8", ddr4Image(0x05, 0x00, 0x09, 5, 0, samsung),
                   SpdKind::kDdr4, 16 * kGiB, 3200, "Samsung", 2021, 14,
                   "0399A1B2", "M378A2K43EB1-CWE"},
           // 0.833 ns: 7 x 125 ps less 42 ps of fine correction.
           Decoded{"DDR4-2400", ddr4Image(0x04, 0x00, 0x01, 7, -42, kingston),
                   SpdKind::kDdr4, 4 * kGiB, 2400, "Kingston", 2023, 5,
                   "1A2B3C4D", "KF556C40BB-16"},
           // 3DS: two 8 Gb dies per package count as logical ranks.
           Decoded{"DDR4 3DS", ddr4Image(0x05, 0x92, 0x08, 8, -62, micron),
                   SpdKind::kDdr4, 64 * kGiB, 2133, "Micron", 2022, 52,
                   "E0F00001", "MTC20C2085S1EC48BA1"},
           Decoded{"DDR5 1Rx8", ddr5Image(0x04, 0x20, 0x00, 357, kingston),
                   SpdKind::kDdr5, 16 * kGiB, 5600, "Kingston", 2023, 5,
                   "1A2B3C4D", "KF556C40BB-16"},
           Decoded{"DDR5 2Rx8", ddr5Image(0x04, 0x20, 0x08, 416, micron),
                   SpdKind::kDdr5, 32 * kGiB, 4800, "Micron", 2022, 52,
                   "E0F00001", "MTC20C2085S1EC48BA1"},
           // 24 Gb dies; an unknown maker by its bytes; no serial, no
           // part number, a date that is no BCD.
           Decoded{"DDR5 24Gb", ddr5Image(0x05, 0x20, 0x00, 312, unknownMaker),
                   SpdKind::kDdr5, 24 * kGiB, 6400, "maker 0x85:0x8a", 0, 0, "",
                   ""},
           Decoded{"blank EEPROM", std::vector<uint8_t>(512, 0xff),
                   SpdKind::kUnknown, 0, 0, "", 0, 0, "", ""},
       }) {
    const SpdModule m = decodeSpd(c.image.data(), c.image.size());
    EXPECT_EQ(m.kind, c.kind) << c.name;
    EXPECT_EQ(m.capacityBytes, c.capacity) << c.name;
    EXPECT_EQ(m.speedMTs, c.speed) << c.name;
    EXPECT_EQ(m.maker, c.maker) << c.name;
    EXPECT_EQ(m.year, c.year) << c.name;
    EXPECT_EQ(m.week, c.week) << c.name;
    EXPECT_EQ(m.serial, c.serial) << c.name;
    EXPECT_EQ(m.partNumber, c.part) << c.name;
  }
}

// An image cut short (a driver that read less, a read error) decodes what
// it holds and nothing more: each field either as in the whole image or
// absent.
TEST(SpdTest, AShortImageDecodesWhatItHolds) {
  const Manufacturing m{0x04, 0xcd, 0x24, 0x10, 0x00c0ffee, "F5-6000J3038F16G"};
  for (const std::vector<uint8_t>& whole :
       {ddr4Image(0x06, 0x00, 0x08, 5, 0, m),
        ddr5Image(0x04, 0x20, 0x00, 333, m)}) {
    const SpdModule full = decodeSpd(whole.data(), whole.size());
    EXPECT_EQ(full.maker, "G.Skill");
    for (size_t n = 0; n < whole.size(); ++n) {
      const std::vector<uint8_t> cut(whole.begin(), whole.begin() + n);
      const SpdModule part = decodeSpd(cut.data(), cut.size());
      EXPECT_TRUE(part.capacityBytes == 0 ||
                  part.capacityBytes == full.capacityBytes)
          << n;
      EXPECT_TRUE(part.speedMTs == 0 || part.speedMTs == full.speedMTs) << n;
      EXPECT_TRUE(part.serial.empty() || part.serial == full.serial) << n;
      EXPECT_TRUE(part.partNumber.empty() || part.partNumber == full.partNumber)
          << n;
    }
  }
}

TEST(Jep106Test, NamesMakersByBankAndCode) {
  struct Case {
    uint8_t bank, code;
    const char* name;
  };
  for (const Case& c : {
           Case{0x80, 0xad, "SK hynix"},
           Case{0x00, 0xad, "SK hynix"},  // the bank's parity left out
           Case{0x02, 0x9e, "Corsair"},
           Case{0x83, 0x0b, "Nanya"},
           Case{0x04, 0xef, "Team Group"},
           Case{0x85, 0x9b, "Crucial"},
           Case{0x09, 0x15, "maker 0x09:0x15"},
           Case{0x80, 0x2d, ""},  // Micron's code with its parity bit off
           Case{0x80, 0x80, ""},
           Case{0xff, 0xff, ""},
           Case{0x00, 0x00, ""},
       }) {
    EXPECT_EQ(jep106Maker(c.bank, c.code), c.name) << c.name;
  }
}

}  // namespace
