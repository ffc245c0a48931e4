#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tester/cellchecker.h"
#include "tester/pattern_generator.h"
#include "tests/support/bank_pair.h"
#include "tests/support/generator_state.h"
#include "tests/support/recording_tester.h"

namespace {

constexpr u64 kWords = 2048;
constexpr u64 kRepeatingBlock = 1023;

bool repeatsEveryBlock(const std::vector<u32>& bank) {
  for (u64 k = kRepeatingBlock; k < bank.size(); ++k) {
    if (bank[k] != bank[k - kRepeatingBlock]) return false;
  }
  return true;
}

// Which test a call ran, told from what it did: f random bank (banks equal),
// a copy test A (only bank A changed), b copy test B (only bank B changed),
// r repeating pattern over both banks, d decay (no pass counted, pairs
// rewritten), - nothing at all.
char whatRan(RecordingTester& tester, BankPair& banks) {
  const std::vector<u32> a0 = banks.copyOfA();
  const std::vector<u32> b0 = banks.copyOfB();
  const std::vector<u32> generator0 = generatorState();
  const u64 passes0 = tester.passCount;

  tester.multiTestDispatch();

  const std::vector<u32> a1 = banks.copyOfA();
  const std::vector<u32> b1 = banks.copyOfB();
  const u64 passes = tester.passCount - passes0;
  if (passes == 0) {
    if (a1 == a0 && b1 == b0 && generatorState() == generator0) return '-';
    if (a1 != a0 || b1 != b0) return 'd';
  } else if (passes == 1) {
    if (a1 == b1) return 'f';
    if (repeatsEveryBlock(a1) && repeatsEveryBlock(b1)) return 'r';
    if (a1 != a0 && b1 == b0) return 'a';
    if (a1 == a0 && b1 != b0) return 'b';
  }
  return '?';
}

// The cursor is one static for the whole program and nothing resets it, so
// this must stay the only test of this program that calls multiTestDispatch:
// it expects a fresh start.
TEST(TestSequencerTest, RunsTheFortyOneCallRotationFromAFreshStart) {
  BankPair banks(kWords);
  RecordingTester tester;
  tester.useBanks(banks.a(), banks.b(), kWords);
  seedRandNumber(21);

  const std::string cycle =
      "fababrrrrrrddddddddddddddddddddddddddddd-";  // the 41st call: nothing
  std::string ran;
  std::vector<u64> passesAfterCycle;
  for (int call = 1; call <= 2 * 41 + 1; ++call) {
    ran += whatRan(tester, banks);
    if (call % 41 == 0) passesAfterCycle.push_back(tester.passCount);
  }

  EXPECT_EQ(ran, cycle + cycle + "f");
  EXPECT_EQ(passesAfterCycle, (std::vector<u64>{11, 22}));
  EXPECT_EQ(tester.passCount, 23u);
  EXPECT_TRUE(banks.sentinelsIntact());
}

}  // namespace
