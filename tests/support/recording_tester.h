// A tester that keeps every report instead of printing it, so tests can check
// what the engine found and in which order.
#ifndef CELLCHECK_TESTS_SUPPORT_RECORDING_TESTER_H_
#define CELLCHECK_TESTS_SUPPORT_RECORDING_TESTER_H_

#include <string>
#include <utility>
#include <vector>

#include "tester/cellchecker.h"

class RecordingTester : public Cellchecker {
 public:
  using Cellchecker::report;

  void report(u64 index) override { pairs.push_back(index); }
  void report(u64 indexA, u64 indexB) override {
    crossPairs.emplace_back(indexA, indexB);
  }
  void report(u32* a, u32* b) override { addresses.emplace_back(a, b); }
  void reportWord(u64 index, bool inBankB, u32 read, u32 expected) override {
    badWords.push_back({index, inBankB, read, expected});
  }
  void statusMessage(const char* text) override { status.push_back(text); }

  // Points the tester at banks the test owns, without the pre-test.
  void useBanks(u32* a, u32* b, u64 words) {
    bankA = a;
    bankB = b;
    wordsPerBank = words;
  }

  std::vector<u64> pairs;
  std::vector<std::pair<u64, u64>> crossPairs;
  std::vector<std::pair<u32*, u32*>> addresses;
  // One word that read back other than what it should hold.
  struct WordReport {
    u64 index;
    bool inBankB;
    u32 read;
    u32 expected;
    u32 bits() const { return read ^ expected; }
  };
  std::vector<WordReport> badWords;
  std::vector<std::string> status;
};

#endif  // CELLCHECK_TESTS_SUPPORT_RECORDING_TESTER_H_
