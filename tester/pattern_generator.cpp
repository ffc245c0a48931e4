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

bool spreadSeedText(const char* text, uint32_t* table) {
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
    table[j] = static_cast<uint32_t>(byte) * 8171717u + 997u * j;
  }
  return true;
}

void warmUpRandTable(uint32_t* table) {
  uint32_t i = 97;
  uint32_t k = 12;
  for (int step = 0; step < kWarmUpSteps; ++step) {
    table[i] -= table[k];
    i = i == 1 ? 97 : i - 1;
    k = k == 1 ? 97 : k - 1;
  }
}

void seedTable(uint32_t* table, const char* text) {
  if (!spreadSeedText(text, table)) return;
  warmUpRandTable(table);
  table[kLeadCursor] = 55;
  table[kTrailCursor] = 24;
  table[kSelector] = 77;
}

void init_rand(const char* text) { seedTable(randTable, text); }

void seedRandNumber(unsigned seed) { seedWorkerTable(randTable, seed, 0); }

namespace {

// A 64-bit mix (splitmix64's finaliser): neighbouring inputs give outputs
// that differ in about half their bits.
uint64_t mixed(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

}  // namespace

void seedWorkerTable(uint32_t* table, unsigned seed, unsigned worker) {
  char text[48];
  if (worker == 0) {
    snprintf(text, sizeof text, "Nasty%uboy", seed);
  } else {
    // Seeding spreads a text's bytes over the table only a little: texts
    // that differ in a byte or two ("...boy1", "...boy2") give sequences
    // that share draws for thousands of draws (the first one always). A
    // mix of the seed and the worker's number, in 16 hex digits, makes
    // every worker's text differ from every other's in most of them.
    snprintf(text, sizeof text, "Nasty%uboy%016llx", seed,
             static_cast<unsigned long long>(
                 mixed(static_cast<uint64_t>(seed) << 32 | worker)));
  }
  seedTable(table, text);
}

void WorkerGenerators::seed(unsigned seed) {
  seed_ = seed;
  for (unsigned worker = 0; worker < size(); ++worker) {
    seedWorkerTable(table(worker), seed, worker);
  }
}

void WorkerGenerators::resize(unsigned workers) {
  const unsigned before = size();
  others_.resize(workers > 1 ? workers - 1 : 0, Table{});
  for (unsigned worker = before; worker < size(); ++worker) {
    seedWorkerTable(table(worker), seed_, worker);
  }
}
