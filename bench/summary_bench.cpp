// The Windows page list of the bad-memory summary, which runs on the error
// path: for a range of 16 TiB (the early check can name one) it must cost
// what the list of the 128 pages it shows costs, not a walk over 4 G pages.
#include <benchmark/benchmark.h>

#include <memory>

#include "badmem/summary_text.h"

namespace {

constexpr u64 kTiB = u64{1} << 40;

void windowsList(benchmark::State& state, u64 rangeBytes) {
  const std::unique_ptr<BadMemory> record(new BadMemory);
  record->recordExternalRange({kTiB, kTiB + rangeBytes});
  char text[kReadyLineBytes];
  for (auto _ : state) {
    benchmark::DoNotOptimize(windowsReadyLine(*record, text, sizeof text));
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK_CAPTURE(windowsList, listed, kMaxWindowsPages* BadMemory::kPageBytes)
    ->Name("summary/windows-list/128-pages");
BENCHMARK_CAPTURE(windowsList, huge, 16 * kTiB)
    ->Name("summary/windows-list/16TiB");

}  // namespace
