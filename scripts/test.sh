#!/usr/bin/env bash
# Builds Cellcheck and runs every test. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/need-packages.sh g++ cmake make libgtest-dev libgmock-dev libbenchmark-dev file \
  python3 qemu-system-x86 ovmf tesseract-ocr iproute2 dnsmasq-base rsyslog

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)"

file build/app/cellcheck | grep -q 'statically linked' ||
  { echo "build/app/cellcheck is not statically linked" >&2; exit 1; }

# No test may change the host's memory tunables: the program writes these
# when it boots, and the tests must only ever reach a fake of them.
tunables() { cat /proc/sys/vm/overcommit_memory /proc/sys/vm/overcommit_ratio \
  /proc/sys/vm/min_free_kbytes /proc/sys/vm/compact_unevictable_allowed \
  /proc/sys/kernel/numa_balancing; }
before=$(tunables)
status=0
ctest --test-dir build --output-on-failure -j "$(nproc)" || status=$?
if [ "$(tunables)" != "$before" ]; then
  echo "the tests changed the host's /proc/sys/vm tunables:" >&2
  echo "before: $before" >&2
  echo "after:  $(tunables)" >&2
  exit 1
fi
[ "$status" -eq 0 ] || exit "$status"

# The boot image, and the end-to-end tests that boot it in QEMU and read its
# console (a few minutes; logs in build/e2e/).
image/build.sh build/app/cellcheck build/image
tests/e2e/run.py build/image
