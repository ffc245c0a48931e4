// What the EDAC drivers' files hold: a count, a label, and two readings of a
// module's counts to judge growth by.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ecc/edac_counters.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string text = field(input, '\0', 0);

  u64 count = 0;
  if (parseEdacCount(text.c_str(), &count)) {
    // Plain decimal digits, every one of them read.
    FUZZ_CHECK(!text.empty() && text.size() <= 19);
    FUZZ_CHECK(text.find_first_not_of("0123456789") == std::string::npos);
    FUZZ_CHECK(count == strtoull(text.c_str(), nullptr, 10));
  }

  char label[64];
  snprintf(label, sizeof label, "%s", text.c_str());
  makePrintable(label);
  FUZZ_CHECK(printableAscii(label));

  // Two readings, from eight bytes each of the rest.
  if (size >= 32) {
    u64 values[4];
    memcpy(values, data + size - 32, 32);
    const EccCounts before{values[0], values[1]};
    const EccCounts now{values[2], values[3]};
    EccCounts from;
    const bool grew = grewFrom(before, now, &from);
    // Growth counts from the earlier reading, or from the new one where a
    // count went down: never less than nothing, never more than was added.
    FUZZ_CHECK(from.corrected <= before.corrected &&
               from.corrected <= now.corrected);
    FUZZ_CHECK(from.uncorrected <= before.uncorrected &&
               from.uncorrected <= now.uncorrected);
    if (now.corrected >= before.corrected) {
      FUZZ_CHECK(from.corrected == before.corrected);
    }
    if (now.uncorrected >= before.uncorrected) {
      FUZZ_CHECK(from.uncorrected == before.uncorrected);
    }
    FUZZ_CHECK(grew == (now.corrected > before.corrected ||
                        now.uncorrected > before.uncorrected));
  }
  return 0;
}
