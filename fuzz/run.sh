#!/usr/bin/env bash
# Builds the fuzzing harnesses (CMake preset fuzz: clang, libFuzzer, ASan and
# UBSan) and runs each over its seeds for SECONDS (default 5), as many at
# once as there are CPUs: a crash, a sanitizer report or a failed property
# fails the run, and the input that did it is left in build-fuzz/findings/.
# The committed seeds are only read: what a run finds new goes to a corpus
# folder of its own in build-fuzz/.
# Usage: fuzz/run.sh [SECONDS] [HARNESS...]   (harnesses: fuzz/*_fuzzer.cpp)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/need-packages.sh clang libclang-rt-14-dev cmake make

seconds=${1:-5}
shift || true
harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  for source in fuzz/*_fuzzer.cpp; do
    name=$(basename "$source" .cpp)
    harnesses+=("${name%_fuzzer}")
  done
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" >/dev/null

mkdir -p build-fuzz/findings
# One harness is one process on one CPU: as many run at once as there are
# CPUs, each for its full SECONDS; their lines follow in the harnesses' order.
fuzz_one() {
  local name=$1 corpus=build-fuzz/corpus/$1
  mkdir -p "$corpus"
  build-fuzz/fuzz/"${name}"_fuzzer "$corpus" "fuzz/seeds/$name" \
    -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -artifact_prefix="build-fuzz/findings/${name}-" -print_final_stats=1 \
    >"build-fuzz/findings/$name.log" 2>&1
}
declare -A pid_of
for name in "${harnesses[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n || true; done
  fuzz_one "$name" &
  pid_of[$name]=$!
done
status=0
for name in "${harnesses[@]}"; do
  log=build-fuzz/findings/$name.log
  if wait "${pid_of[$name]}"; then
    echo "fuzz $name: $(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" |
      grep -o '[0-9]*$') inputs in $seconds s, nothing found"
  else
    echo "fuzz $name: FOUND something; see $log:" >&2
    grep -E 'ERROR|property failed|SUMMARY|Test unit written' "$log" | head -5 >&2
    status=1
  fi
done
exit "$status"
