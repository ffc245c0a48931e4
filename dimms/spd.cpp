#include "dimms/spd.h"

#include <cstdio>
#include <cstdlib>

#include "dimms/dimm_text.h"
#include "dimms/jep106.h"

namespace {

// Where the module's manufacturing data lies in each kind's image.
struct Layout {
  size_t maker;   // two bytes: bank count, code
  size_t date;    // year, week, in BCD
  size_t serial;  // four bytes
  size_t part;
  size_t partLength;
};
constexpr Layout kDdr4Layout{320, 323, 325, 329, 20};
constexpr Layout kDdr5Layout{512, 515, 517, 521, 30};

class Image {
 public:
  Image(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}
  bool has(size_t offset, size_t width) const {
    return offset + width <= size_;
  }
  uint8_t at(size_t offset) const { return bytes_[offset]; }
  const uint8_t* from(size_t offset) const { return bytes_ + offset; }

 private:
  const uint8_t* bytes_;
  size_t size_;
};

int bcd(uint8_t byte) {
  if ((byte >> 4) > 9 || (byte & 0xf) > 9) return -1;
  return (byte >> 4) * 10 + (byte & 0xf);
}

// The standard grades, MT/s: a speed from the clock period is the grade
// within 2 % of it, since the period is stored rounded (DDR4-2400's
// 0.833 ns gives 2401).
u32 speedGrade(double mts) {
  static const u32 kGrades[] = {1333, 1600, 1866, 2133, 2400, 2666, 2933, 3200,
                                3600, 4000, 4400, 4800, 5200, 5600, 6000, 6400,
                                6800, 7200, 7600, 8000, 8400, 8800, 9200, 9600};
  for (u32 grade : kGrades) {
    if (mts > grade * 0.98 && mts < grade * 1.02) return grade;
  }
  return mts >= 1 && mts < 100000 ? static_cast<u32>(mts + 0.5) : 0;
}

// DDR4 (bytes 4, 6, 12, 13): die capacity / 8 x bus width / device width
// x ranks, a 3DS package counting each die as a logical rank.
u64 ddr4Capacity(const Image& image) {
  if (!image.has(0, 14)) return 0;
  static const u32 kDieMbit[] = {256,  512,   1024,  2048,  4096,
                                 8192, 16384, 32768, 12288, 24576};
  const unsigned density = image.at(4) & 0x0f;
  const unsigned width = image.at(12) & 0x07;
  const unsigned bus = image.at(13) & 0x07;
  if (density >= sizeof kDieMbit / sizeof kDieMbit[0] || width > 3 || bus > 3) {
    return 0;
  }
  u64 ranks = ((image.at(12) >> 3) & 0x07) + 1;
  const uint8_t package = image.at(6);
  if ((package & 0x03) == 0x02) ranks *= ((package >> 4) & 0x07) + 1;
  const u64 busBits = u64{8} << bus;
  const u64 deviceBits = u64{4} << width;
  return u64{kDieMbit[density]} * kMiB / 8 * (busBits / deviceBits) * ranks;
}

// One DDR5 device's bytes (density and package; I/O width) in MiB per
// rank, given the sub-channels' width in bits: 0 when reserved.
u64 ddr5RankMiB(uint8_t densityPackage, uint8_t ioWidth, u64 channelBits) {
  static const u32 kDieGbit[] = {0, 4, 8, 12, 16, 24, 32, 48, 64};
  static const u32 kDies[] = {1, 0, 2, 4, 8, 16, 0, 0};
  const unsigned density = densityPackage & 0x1f;
  const unsigned width = ioWidth >> 5;
  if (density >= sizeof kDieGbit / sizeof kDieGbit[0] || width > 3) return 0;
  const u64 dies = kDies[densityPackage >> 5];
  return u64{kDieGbit[density]} * 1024 / 8 * dies *
         (channelBits / (u64{4} << width));
}

// DDR5 (bytes 4-10, 234-235): sub-channels x bus width / device width x
// dies x die capacity x ranks; with asymmetric ranks the odd ones use the
// second device type.
u64 ddr5Capacity(const Image& image) {
  if (!image.has(0, 236)) return 0;
  const uint8_t organisation = image.at(234);
  const uint8_t channels = image.at(235);
  if ((channels & 0x07) > 3 || ((channels >> 5) & 0x03) > 1) return 0;
  const u64 channelBits =
      (u64{8} << (channels & 0x07)) * (((channels >> 5) & 0x03) + 1);
  const unsigned ranks = ((organisation >> 3) & 0x07) + 1;
  const bool asymmetric = (organisation & 0x40) != 0;
  const u64 even = ddr5RankMiB(image.at(4), image.at(6), channelBits);
  const u64 odd =
      asymmetric ? ddr5RankMiB(image.at(8), image.at(10), channelBits) : even;
  if (even == 0 || odd == 0) return 0;
  return (even * ((ranks + 1) / 2) + odd * (ranks / 2)) * kMiB;
}

// The clock period in picoseconds: DDR4 in 125 ps steps (byte 18) with a
// signed fine correction (byte 125); DDR5 in ps (bytes 20-21).
u32 speed(const Image& image, SpdKind kind) {
  long periodPs = 0;
  if (kind == SpdKind::kDdr4 && image.has(0, 126)) {
    periodPs = image.at(18) * 125L + static_cast<int8_t>(image.at(125));
  } else if (kind == SpdKind::kDdr5 && image.has(0, 22)) {
    periodPs = image.at(20) | image.at(21) << 8;
  }
  return periodPs > 0 ? speedGrade(2e6 / periodPs) : 0;
}

void readManufacturing(const Image& image, const Layout& layout,
                       SpdModule* module) {
  if (image.has(layout.maker, 2)) {
    module->maker =
        jep106Maker(image.at(layout.maker), image.at(layout.maker + 1));
  }
  if (image.has(layout.date, 2)) {
    const int year = bcd(image.at(layout.date));
    const int week = bcd(image.at(layout.date + 1));
    if (year >= 0 && week >= 1 && week <= 53) {
      module->year = 2000 + year;
      module->week = week;
    }
  }
  if (image.has(layout.serial, 4)) {
    const uint8_t* s = image.from(layout.serial);
    char text[9];
    snprintf(text, sizeof text, "%02X%02X%02X%02X", s[0], s[1], s[2], s[3]);
    module->serial = realOrEmpty(text);
  }
  if (image.has(layout.part, layout.partLength)) {
    module->partNumber =
        realOrEmpty(printableText(image.from(layout.part), layout.partLength));
  }
}

}  // namespace

SpdModule decodeSpd(const uint8_t* bytes, size_t size) {
  SpdModule module;
  const Image image(bytes, size);
  if (!image.has(2, 1)) return module;
  if (image.at(2) == 0x0c) {
    module.kind = SpdKind::kDdr4;
    module.capacityBytes = ddr4Capacity(image);
    readManufacturing(image, kDdr4Layout, &module);
  } else if (image.at(2) == 0x12) {
    module.kind = SpdKind::kDdr5;
    module.capacityBytes = ddr5Capacity(image);
    readManufacturing(image, kDdr5Layout, &module);
  } else {
    return module;
  }
  module.speedMTs = speed(image, module.kind);
  return module;
}

const char* spdKindName(SpdKind kind) {
  switch (kind) {
    case SpdKind::kDdr4:
      return "DDR4";
    case SpdKind::kDdr5:
      return "DDR5";
    default:
      return "";
  }
}
