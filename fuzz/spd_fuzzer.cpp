// A module's SPD EEPROM image, DDR4 or DDR5, as the inventory decodes it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "dimms/spd.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const SpdModule m = decodeSpd(data, size);
  FUZZ_CHECK(printableAscii(m.maker) && m.maker.size() <= 32);
  FUZZ_CHECK(printableAscii(m.partNumber) && m.partNumber.size() <= 30);
  FUZZ_CHECK(
      m.serial.empty() ||
      (m.serial.size() == 8 &&
       m.serial.find_first_not_of("0123456789ABCDEF") == std::string::npos));
  FUZZ_CHECK(m.year == 0 || (m.year >= 2000 && m.year <= 2099));
  FUZZ_CHECK((m.week == 0) == (m.year == 0) && m.week <= 53);
  if (m.kind == SpdKind::kUnknown) {
    FUZZ_CHECK(m.capacityBytes == 0 && m.speedMTs == 0 && m.maker.empty());
  }
  // Half the image decodes to the same fields or to none.
  const SpdModule half = decodeSpd(data, size / 2);
  FUZZ_CHECK(half.capacityBytes == 0 || half.capacityBytes == m.capacityBytes);
  FUZZ_CHECK(half.serial.empty() || half.serial == m.serial);
  FUZZ_CHECK(half.partNumber.empty() || half.partNumber == m.partNumber);
  return 0;
}
