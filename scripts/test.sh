#!/usr/bin/env bash
# Builds Cellcheck and runs every test. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/need-packages.sh g++ cmake make libgtest-dev libgmock-dev libbenchmark-dev file

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)"

file build/app/cellcheck | grep -q 'statically linked' ||
  { echo "build/app/cellcheck is not statically linked" >&2; exit 1; }

ctest --test-dir build --output-on-failure -j "$(nproc)"
