#!/usr/bin/env bash
# Builds Cellcheck and runs every test, as CI does (.ci/run): installs what is
# missing, then
#   1. the CI build (preset ci: everything, warnings are errors),
#   2. its tests: unit, lab (the fault lab, as root) and e2e (the boot image
#      built and booted in QEMU), all through ctest,
#   3. the unit tests again under AddressSanitizer and UBSan (preset sanitize),
#   4. the unit tests that run worker threads under ThreadSanitizer (preset
#      tsan),
#   5. the fuzzing harnesses (preset fuzz), each run for a few seconds over
#      its seeds: a crash, a sanitizer report or a failed property fails it,
# and ends with every skipped test and its reason, the time of each step and
# one line of counts. No test may change the host's kernel settings (all of
# /proc/sys/vm, and the others the program writes): they are compared before
# and after.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/need-packages.sh g++ libtsan2 cmake make libgtest-dev libgmock-dev libbenchmark-dev file \
  python3 qemu-system-x86 ovmf tesseract-ocr iproute2 dnsmasq-base rsyslog \
  mtools chromium sox clang libclang-rt-14-dev

# Every readable setting of /proc/sys/vm (not the triggers that act when read
# or written: dropping caches, compacting, refreshing counters), and the other
# kernel settings the program writes when it boots: the tunables of
# seam/tunables.inc (each entry's "/proc/..." literal) and the console log
# level.
host_settings() {
  { grep -r --exclude=drop_caches --exclude=compact_memory --exclude=stat_refresh \
      . /proc/sys/vm /proc/sys/kernel/printk \
      $(grep -o '"/proc/[^"]*"' seam/tunables.inc | tr -d '"') 2>/dev/null || true; } | sort -u
}
before=$(host_settings)
check_host_settings() {
  local after
  after=$(host_settings)
  if [ "$after" != "$before" ]; then
    echo "THE TESTS CHANGED the host's kernel settings:" >&2
    diff <(echo "$before") <(echo "$after") >&2 || true
    return 1
  fi
}
trap 'check_host_settings || exit 1' EXIT

durations=()
timed() {  # timed LABEL COMMAND...: runs it, notes how long it took
  local label=$1 start=$SECONDS status=0
  shift
  "$@" || status=$?
  durations+=("$label $((SECONDS - start)) s")
  return "$status"
}

timed "CI build" sh -c 'cmake --preset ci >/dev/null && cmake --build --preset ci -j "$(nproc)"'
file build/app/cellcheck | grep -q 'statically linked' ||
  { echo "build/app/cellcheck is not statically linked" >&2; exit 1; }

status=0
junit=()
timed "CI tests (unit, lab, e2e)" \
  ctest --preset ci --output-junit "$PWD/build/junit.xml" || status=1
junit+=("ci=build/junit.xml")

if timed "sanitizer build" \
    sh -c 'cmake --preset sanitize >/dev/null && cmake --build --preset sanitize -j "$(nproc)"'; then
  timed "sanitizer unit tests" \
    ctest --preset sanitize --output-junit "$PWD/build-sanitize/junit.xml" || status=1
  junit+=("sanitize=build-sanitize/junit.xml")
else
  status=1
fi

if timed "ThreadSanitizer build" \
    sh -c 'cmake --preset tsan >/dev/null && cmake --build --preset tsan -j "$(nproc)"'; then
  timed "ThreadSanitizer worker tests" \
    ctest --preset tsan --output-junit "$PWD/build-tsan/junit.xml" || status=1
  junit+=("tsan=build-tsan/junit.xml")
else
  status=1
fi

# A regression check, not a search: the seeds and a few seconds of mutation
# each (fuzz/run.sh SECONDS runs them longer).
timed "fuzzing harnesses (build, 5 s each)" fuzz/run.sh 5 || status=1

check_host_settings || status=1
echo
printf 'Durations: '
printf '%s; ' "${durations[@]}"
echo "in all $SECONDS s"
scripts/skip_summary.py "${junit[@]}" || status=1
exit "$status"
