#!/usr/bin/env bash
# Installs the Debian packages named on the command line that are missing.
# Usage: scripts/need-packages.sh pkg...
# Services that come with a package (a syslog collector, a DHCP server) are
# not started by the install: the tests start their own, in their own
# namespaces, and stop them again.
set -euo pipefail

missing=()
for pkg in "$@"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
# Two builds may install at once: the second waits for the first's lock.
lock=(-o DPkg::Lock::Timeout=900)
policy=/usr/sbin/policy-rc.d
made_policy=""
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
  $sudo chmod 755 "$policy"
  made_policy=1
fi
cleanup() { [ -z "$made_policy" ] || $sudo rm -f "$policy"; }
trap cleanup EXIT
# Package lists can be stale or absent on a fresh machine: refresh once.
$sudo apt-get "${lock[@]}" update -qq
$sudo apt-get "${lock[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
