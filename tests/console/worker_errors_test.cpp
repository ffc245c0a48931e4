// Errors found by several workers at once reach the console one at a time,
// each with its lines together, numbered in the order they are printed, and
// none is lost from the count.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "console/cellchecker_dos.h"
#include "tester/worker_pool.h"
#include "tests/support/bank_pair.h"
#include "tests/support/console_capture.h"

namespace {

// Every pair differs when the decay test starts, so every worker reports a
// pair at nearly every probe of its first sweeps, all at once.
TEST(WorkerErrorsTest, AFloodFromEveryWorkerIsPrintedWholeAndCountedInOrder) {
  constexpr unsigned kWorkers = 4;
  constexpr u64 kWords = kWorkers * 2 * 1024;
  WorkerPool pool({0, 1, 2, 3}, nullptr);
  BankPair banks(kWords);
  for (u64 k = 0; k < kWords; ++k) {
    banks.a()[k] = static_cast<u32>(k + 1);
    banks.b()[k] = 0;
  }
  CellcheckerDos tester;
  tester.useWorkers(&pool);
  tester.bankA = banks.a();
  tester.bankB = banks.b();
  tester.wordsPerBank = kWords;
  tester.passCount = 40;
  tester.seedRand(8);
  ConsoleCapture console;

  tester.runDecayTest();

  const std::string text = console.take();
  // One error: its word-pair line, its counting line, its details line.
  const std::regex error(
      "\n\rError found with word pair# (\\d+), values (\\d+), 0 do not "
      "match\n\rError (\\d+), after  2 % coverage\n\rBank A and bank B: "
      "physical address unknown; bits 0x[0-9a-f]{8} differ\n\r");
  std::set<unsigned long> pairs;
  unsigned long number = 0;
  auto at = text.cbegin();
  std::smatch match;
  while (at != text.cend() &&
         std::regex_search(at, text.cend(), match, error,
                           std::regex_constants::match_continuous)) {
    const unsigned long pair = std::stoul(match[1]);
    EXPECT_EQ(std::stoul(match[2]), pair + 1) << "values of another pair";
    EXPECT_EQ(std::stoul(match[3]), ++number) << "numbered out of order";
    EXPECT_TRUE(pairs.insert(pair).second) << "pair " << pair << " twice";
    at = match[0].second;
  }
  EXPECT_EQ(at - text.cbegin(), static_cast<long>(text.size()))
      << "lines of two errors mixed, near: "
      << std::string(at, at + std::min<long>(200, text.cend() - at));
  EXPECT_EQ(number, kWords);  // a million probes reach every pair
  EXPECT_EQ(tester.errorCount, number);
}

}  // namespace
