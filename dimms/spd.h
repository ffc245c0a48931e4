// A memory module's own description, from its SPD EEPROM: DDR4 (512 bytes,
// the kernel's ee1004 driver) and DDR5 (1024 bytes, spd5118). The image is
// outside input: nothing past its end is read, and a short image decodes
// what it holds.
#ifndef CELLCHECK_DIMMS_SPD_H_
#define CELLCHECK_DIMMS_SPD_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/types.h"

enum class SpdKind { kUnknown, kDdr4, kDdr5 };

// Empty strings and zeros where the image does not say.
struct SpdModule {
  SpdKind kind = SpdKind::kUnknown;
  u64 capacityBytes = 0;
  u32 speedMTs = 0;    // the JEDEC speed grade: 3200, 5600, ...
  std::string maker;   // from the JEP106 code: "Kingston", "maker 0x..."
  int year = 0;        // of manufacture, 2000-2099
  int week = 0;        // 1-53
  std::string serial;  // 8 hex digits as stored: "1A2B3C4D"
  std::string partNumber;
};

SpdModule decodeSpd(const uint8_t* image, size_t size);

// "DDR4", "DDR5"; empty for kUnknown.
const char* spdKindName(SpdKind kind);

#endif  // CELLCHECK_DIMMS_SPD_H_
