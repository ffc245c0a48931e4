#!/usr/bin/env bash
# Builds Cellcheck and runs its benchmark suite: every figure beside its
# reference, five repetitions in random order, then a table of ratios of the
# medians. Writes every measurement as JSON too (build/bench.json, or the file
# given in BENCH_JSON). Extra arguments go to Google Benchmark, e.g.
# --benchmark_filter=copy. Needs about 3 GiB of free memory.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/need-packages.sh g++ cmake make libgtest-dev libgmock-dev libbenchmark-dev

cmake --preset ci >/dev/null
cmake --build --preset ci -j "$(nproc)" --target cellcheck_bench stuck_bit_bench

json=${BENCH_JSON:-build/bench.json}
build/bench/cellcheck_bench \
  --benchmark_repetitions=5 \
  --benchmark_enable_random_interleaving=true \
  --benchmark_display_aggregates_only=true \
  --benchmark_out="$json" --benchmark_out_format=json \
  "$@"
echo "All measurements: $json"

# What a stuck bit of the unit tests costs, in stores per second.
build/bench/stuck_bit_bench --benchmark_repetitions=5 \
  --benchmark_display_aggregates_only=true
