#!/usr/bin/env bash
# Prints the path of the kernel that Debian's linux-image-amd64 currently
# depends on, fetched into CACHE (a folder of the build) on first use.
# The package is downloaded and unpacked, never installed: the build
# machine's own kernel and boot loader stay as they are.
# Usage: image/kernel.sh CACHE
set -euo pipefail
cache=$1

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# linux-image-amd64 is a meta package: its one dependency names the kernel
# package of the exact version, e.g. linux-image-6.1.0-57-amd64.
resolve() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }'
}
pkg=$(resolve)
if [ -z "$pkg" ]; then
  $sudo apt-get update -qq
  pkg=$(resolve)
fi
[ -n "$pkg" ] || { echo "linux-image-amd64 names no kernel package" >&2; exit 1; }

kernel="$cache/$pkg/vmlinuz"
if [ ! -f "$kernel" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  # A stale package list names a file the mirror no longer has: refresh once.
  (cd "$work" && apt-get download -qq "$pkg" 2>/dev/null) ||
    { $sudo apt-get update -qq && (cd "$work" && apt-get download -qq "$pkg"); }
  dpkg-deb --fsys-tarfile "$work"/"$pkg"_*.deb |
    tar -x -C "$work" --wildcards './boot/vmlinuz-*'
  mkdir -p "$cache/$pkg"
  mv "$work"/boot/vmlinuz-* "$kernel"
fi
echo "$kernel"
