#!/usr/bin/env bash
# The copy kernel's moves are what the copy tests put on the memory bus: four
# 64-bit moves per 8-word step through general-purpose registers. Fails if the
# compiler turned them into vector moves.
set -euo pipefail
library=$1

code=$(objdump -d --no-show-raw-insn --disassemble=_Z11memCopyFastPjPKjm \
  "$library" | sed -n '/<_Z11memCopyFastPjPKjm>:/,$p')
[ -n "$code" ] || { echo "memCopyFast not found in $library" >&2; exit 1; }

if grep -Eq '%[xyz]mm' <<<"$code"; then
  echo "memCopyFast uses vector registers:" >&2
  echo "$code" >&2
  exit 1
fi
stores=$(grep -Ec 'mov +%r([abcd]x|[sd]i|bp|[89]|1[0-5]),' <<<"$code" || true)
if [ "$stores" -lt 4 ]; then
  echo "memCopyFast makes $stores 64-bit stores, expected four per 8-word move:" >&2
  echo "$code" >&2
  exit 1
fi
