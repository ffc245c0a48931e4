#include "bench/ratio_table.h"

#include <cstdio>
#include <string>

namespace {

struct Ratio {
  const char* subject;
  const char* reference;
  // The ratio subject rate / reference rate must reach this; 0 for a figure
  // that is shown without a target.
  double target;
};

// Rates are items per second; each pair counts the same items.
constexpr Ratio kRatios[] = {
    {"generator/nextRand", "generator/table-resident", 1.6},
    {"generator/nextRand", "generator/slot-chain", 0.9},
    {"generator/nextRand", "generator/remainder-chain", 0.9},
    {"generator/nextRand+6-nops", "generator/slot-chain", 0},
    // The random bank test's draws: a block at a time.
    {"generator/fill", "generator/slot-chain", 0.9},
    {"copy/memCopyFast/bank", "copy/memcpy/bank", 1.0},
    {"copy/memCopyFast/bank-4-off", "copy/memcpy/bank-4-off", 1.0},
    {"copy/memCopyFast/256KiB", "copy/memcpy/256KiB", 0},
    {"copy/memCopyFast/bank", "copy/stream-128-bit/bank", 0},
    {"copy/stream-128-bit/bank", "copy/memcpy/bank", 0},
    {"compare/memCmpFast/bank", "compare/read-reduction/bank", 0.95},
    {"compare/memCmpFast/bank", "compare/memcmp/bank", 0},
    {"compare/memCmpFast/256KiB", "compare/read-reduction/256KiB", 0.95},
    {"compare/memCmpFast/256KiB", "compare/memcmp/256KiB", 0},
    {"repeating-pattern/worker/bank", "repeating-pattern/memcpy+reduction/bank",
     0},
    {"tests/random-bank/start-up", "generator/nextRand", 0},
    {"tests/random-bank/start-up", "tests/random-bank/draws+check", 0.9},
    {"tests/random-bank/draws+check", "generator/nextRand", 0},
    {"tests/random-bank/start-up", "tests/random-bank/aligned", 0},
    {"tests/decay/huge-pages", "tests/decay/small-pages", 0},
    {"tests/write-speed/huge-pages", "tests/write-speed/small-pages", 0},
    {"tests/write-speed-burst/huge-pages",
     "tests/write-speed-burst/small-pages", 0},
    {"tests/copy-pair", "tests/copy-pair/memcpy+reduction", 0},
    {"layout/stores/start-up", "layout/stores/aligned", 0},
    // The fill's store methods, each factor on its own: a chain of loads
    // between streaming stores into two banks, a word at a time, is what
    // ran at a quarter of its floor on some cores; whole lines from a small
    // buffer are what the random bank test now writes.
    {"stores/stream/two/chain/words", "stores/chain-alone", 0},
    {"stores/stream/two/chain/lines", "stores/chain-alone", 0},
    {"stores/plain/two/chain/words", "stores/chain-alone", 0},
    {"stores/stream/one/chain/words", "stores/stream/one/free/words", 0},
    {"stores/stream/two/chain/words", "stores/stream/two/free/words", 0},
    {"stores/stream/two/free/lines", "stores/stream/two/free/words", 0},
    {"stores/stream/two/chain/lines/aligned",
     "stores/stream/two/chain/words/aligned", 0},
    // Every CPU at once against one. The machine's own gain first: what the
    // memory gives every CPU together (all rates here are wall-clock).
    {"workers/memcpy+reduction/all-cpus", "workers/memcpy+reduction/one-cpu",
     0},
    {"workers/copy-pair/all", "workers/copy-pair/one", 0},
    {"workers/random-bank/all", "workers/random-bank/one", 0},
    {"workers/batch/all", "workers/batch/one", 0},
    {"workers/copy-pair/all", "workers/memcpy+reduction/all-cpus", 0.9},
    // The tests against expected values, per 16 bytes moved likewise.
    {"workers/complement/all", "workers/memcpy+reduction/all-cpus", 0.9},
    {"workers/march-sweep/all", "workers/memcpy+reduction/all-cpus", 0.9},
    {"workers/complement/one", "workers/memcpy+reduction/one-cpu", 0},
    {"workers/march-sweep/one", "workers/memcpy+reduction/one-cpu", 0},
    // The random bank test is bound by its draws on one CPU: all of them
    // can at best multiply that rate, or reach what the memory moves.
    {"workers/random-bank/all", "workers/random-bank/bound", 0.9},
    {"summary/windows-list/16TiB", "summary/windows-list/128-pages", 0.9},
};

// The lesser of `workers` times the one-worker random bank rate and the
// all-CPU reference's rate for the same traffic (a word pair written twice
// and read twice against a word read, written and read twice).
void addRandomBankBound(std::map<std::string, double>& rates,
                        unsigned workers) {
  const auto one = rates.find("workers/random-bank/one");
  const auto memory = rates.find("workers/memcpy+reduction/all-cpus");
  if (one == rates.end() || memory == rates.end()) return;
  const double scaled = workers * one->second;
  rates["workers/random-bank/bound"] =
      scaled < memory->second ? scaled : memory->second;
}

}  // namespace

namespace {

// A rate with an SI prefix: 708.4M.
std::string shortRate(double rate) {
  const char* prefixes[] = {"", "k", "M", "G", "T"};
  int p = 0;
  while (rate >= 1000 && p < 4) {
    rate /= 1000;
    ++p;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%s", rate, prefixes[p]);
  return text;
}

}  // namespace

void printRatioTable(std::map<std::string, double> rates, unsigned workers) {
  addRandomBankBound(rates, workers);
  std::printf("\nMedian rates (items/s: words, draws or probes) and ratios\n");
  if (rates.count("workers/random-bank/bound") != 0) {
    std::printf("(all workers: %u)\n", workers);
  }
  std::printf("%-36s %8s  %-40s %8s %6s %7s\n", "figure", "rate", "reference",
              "rate", "ratio", "target");
  for (const Ratio& ratio : kRatios) {
    const auto subject = rates.find(ratio.subject);
    const auto reference = rates.find(ratio.reference);
    if (subject == rates.end() || reference == rates.end()) continue;
    const double value = subject->second / reference->second;
    std::printf("%-36s %8s  %-40s %8s %6.2f", ratio.subject,
                shortRate(subject->second).c_str(), ratio.reference,
                shortRate(reference->second).c_str(), value);
    if (ratio.target > 0) {
      std::printf(" %7.2f%s\n", ratio.target,
                  value >= ratio.target ? "" : " missed");
    } else {
      std::printf(" %7s\n", "-");
    }
  }
}
