#include "bench/ratio_table.h"

#include <cstdio>

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
    {"copy/memCopyFast/bank", "copy/memcpy/bank", 1.0},
    {"copy/memCopyFast/bank-4-off", "copy/memcpy/bank-4-off", 1.0},
    {"copy/memCopyFast/256KiB", "copy/memcpy/256KiB", 0},
    {"compare/memCmpFast/bank", "compare/read-reduction/bank", 0.95},
    {"compare/memCmpFast/bank", "compare/memcmp/bank", 0},
    {"compare/memCmpFast/256KiB", "compare/read-reduction/256KiB", 0.95},
    {"compare/memCmpFast/256KiB", "compare/memcmp/256KiB", 0},
};

}  // namespace

void printRatioTable(const std::map<std::string, double>& rates) {
  std::printf("\n%-44s %-44s %7s %7s\n", "figure", "reference", "ratio",
              "target");
  for (const Ratio& ratio : kRatios) {
    const auto subject = rates.find(ratio.subject);
    const auto reference = rates.find(ratio.reference);
    if (subject == rates.end() || reference == rates.end()) continue;
    const double value = subject->second / reference->second;
    if (ratio.target > 0) {
      std::printf("%-44s %-44s %7.2f %6.2f%s\n", ratio.subject, ratio.reference,
                  value, ratio.target, value >= ratio.target ? "" : " MISSED");
    } else {
      std::printf("%-44s %-44s %7.2f %7s\n", ratio.subject, ratio.reference,
                  value, "-");
    }
  }
}
