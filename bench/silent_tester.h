// A front-end that shows and counts nothing: the benchmarks measure the
// engine, not the console.
#ifndef CELLCHECK_BENCH_SILENT_TESTER_H_
#define CELLCHECK_BENCH_SILENT_TESTER_H_

#include "tester/cellchecker.h"

class SilentTester : public Cellchecker {
 public:
  void statusMessage(const char*) override {}
};

#endif  // CELLCHECK_BENCH_SILENT_TESTER_H_
