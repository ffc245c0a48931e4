// The ratios the suite exists for: each figure beside its reference.
#ifndef CELLCHECK_BENCH_RATIO_TABLE_H_
#define CELLCHECK_BENCH_RATIO_TABLE_H_

#include <map>
#include <string>

// Prints every ratio whose two benchmarks ran, from their median rates
// (items per second, keyed by benchmark name); `workers` is how many the
// all-worker benchmarks ran on.
void printRatioTable(std::map<std::string, double> rates, unsigned workers);

#endif  // CELLCHECK_BENCH_RATIO_TABLE_H_
