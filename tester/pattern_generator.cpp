#include "tester/pattern_generator.h"

#include <cstdio>
#include <cstring>

uint32_t randTable[1000];

namespace {

constexpr char kSeedPrefix[] = "aEbFcGdHeI";
constexpr size_t kSeedPrefixLength = sizeof kSeedPrefix - 1;
constexpr size_t kSeedStringLength = 98;
// The longest text that still leaves room for three padding bytes.
constexpr size_t kMaxTextLength = 85;
constexpr int kWarmUpSteps = 997;

}  // namespace

bool spreadSeedText(const char* text) {
  const size_t length = strlen(text);
  if (length > kMaxTextLength) return false;

  char seed[kSeedStringLength];
  memcpy(seed, kSeedPrefix, kSeedPrefixLength);
  memcpy(seed + kSeedPrefixLength, text, length);
  memset(seed + kSeedPrefixLength + length, 'Q',
         kSeedStringLength - kSeedPrefixLength - length);

  // Byte 0 feeds no entry; bytes count as signed, so 0xFF is -1.
  for (uint32_t j = 1; j <= 97; ++j) {
    const int32_t byte = static_cast<signed char>(seed[j]);
    randTable[j] = static_cast<uint32_t>(byte) * 8171717u + 997u * j;
  }
  return true;
}

void warmUpRandTable() {
  uint32_t i = 97;
  uint32_t k = 12;
  for (int step = 0; step < kWarmUpSteps; ++step) {
    randTable[i] -= randTable[k];
    i = i == 1 ? 97 : i - 1;
    k = k == 1 ? 97 : k - 1;
  }
}

void init_rand(const char* text) {
  if (!spreadSeedText(text)) return;
  warmUpRandTable();
  randTable[kLeadCursor] = 55;
  randTable[kTrailCursor] = 24;
  randTable[kSelector] = 77;
}

void seedRandNumber(unsigned seed) {
  char text[32];
  snprintf(text, sizeof text, "Nasty%uboy", seed);
  init_rand(text);
}
