// A recording tester that also keeps, with each report by word index, copies
// of both banks as they were while report ran: what the front-end would have
// read, and which writes the test had made by then.
#ifndef CELLCHECK_TESTS_SUPPORT_SNAPSHOT_TESTER_H_
#define CELLCHECK_TESTS_SUPPORT_SNAPSHOT_TESTER_H_

#include <cstddef>
#include <vector>

#include "tests/support/recording_tester.h"

class SnapshotTester : public RecordingTester {
 public:
  using RecordingTester::report;

  struct Banks {
    std::vector<u32> a;
    std::vector<u32> b;
  };

  // Copies are kept for the first `keep` reports; every report is recorded.
  explicit SnapshotTester(size_t keep) : keep_(keep) {}

  void report(u64 index) override {
    RecordingTester::report(index);
    if (seen.size() < keep_) {
      seen.push_back(
          {{bankA, bankA + wordsPerBank}, {bankB, bankB + wordsPerBank}});
    }
  }

  std::vector<Banks> seen;

 private:
  size_t keep_;
};

#endif  // CELLCHECK_TESTS_SUPPORT_SNAPSHOT_TESTER_H_
