#!/usr/bin/env bash
# Runs the real program the way someone might by mistake: from a shell, not
# as the first process of its image. It must say why in one line on standard
# error, print nothing else and fail, having changed nothing. It runs as an
# unprivileged user with a small address space, so even a broken check could
# neither change kernel settings nor take the host's memory.
set -euo pipefail
binary=$1
place=$(mktemp -d)
trap 'rm -rf "$place"' EXIT
install -m 755 "$binary" "$place/cellcheck"
chmod 755 "$place"

run=(prlimit --as=268435456 -- "$place/cellcheck")
if [ "$(id -u)" = 0 ]; then
  run=(setpriv --reuid=65534 --regid=65534 --clear-groups --no-new-privs "${run[@]}")
fi

status=0
"${run[@]}" >"$place/out" 2>"$place/err" || status=$?
expected="cellcheck: not started: it runs as the first process (PID 1) of its own boot image, so boot that image to test RAM."
if [ "$status" = 0 ]; then echo "exit status 0, expected a failure" >&2; exit 1; fi
if [ -s "$place/out" ]; then echo "printed on standard output:" >&2; cat "$place/out" >&2; exit 1; fi
if [ "$(cat "$place/err")" != "$expected" ]; then
  echo "standard error was:" >&2; cat "$place/err" >&2; exit 1
fi
