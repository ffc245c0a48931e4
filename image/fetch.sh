#!/usr/bin/env bash
# Prints a folder holding Debian package NAME unpacked (dpkg-deb -x), fetched
# into CACHE on first use: the version locked in image/packages.lock
# ("NAME VERSION SHA256" a line), checked against its SHA256, while the
# archive still has it; else the current version, with a one-line warning on
# stderr. What was used is recorded in CACHE/used.txt. NAME
# linux-image-amd64 stands for the locked kernel package (linux-image-*-amd64).
# Packages are downloaded and unpacked, never installed on the build machine.
# Usage: image/fetch.sh CACHE NAME
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=$1
name=$2
mkdir -p "$cache"

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

locked() {
  if [ "$name" = linux-image-amd64 ]; then
    awk '$1 ~ /^linux-image-[0-9].*-amd64$/ { print; exit }' "$here/packages.lock"
  else
    awk -v n="$name" '$1 == n { print; exit }' "$here/packages.lock"
  fi
}
read -r pkg version sha <<<"$(locked)" || true

# apt-get download into a folder of our own; a stale package list is
# refreshed once.
download() {
  local into=$1 what=$2
  (cd "$into" && apt-get download -qq "$what" 2>/dev/null) ||
    { $sudo apt-get update -qq && (cd "$into" && apt-get download -qq "$what" 2>/dev/null); }
}

current_kernel() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }'
}

if [ -n "${pkg:-}" ] && [ -d "$cache/$pkg/$version" ]; then
  echo "$cache/$pkg/$version"
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -n "${pkg:-}" ] && download "$work" "$pkg=$version"; then
  deb=$(ls "$work"/*.deb)
  echo "$sha  $deb" | sha256sum -c --quiet - >&2 ||
    { echo "fetch.sh: $pkg $version does not match its locked SHA256" >&2; exit 1; }
  used="$pkg $version"
else
  [ -n "${pkg:-}" ] || pkg=$name
  if [ "$name" = linux-image-amd64 ]; then pkg=$(current_kernel); fi
  [ -n "$pkg" ] || { echo "fetch.sh: no package for $name" >&2; exit 1; }
  download "$work" "$pkg" || { echo "fetch.sh: cannot download $pkg" >&2; exit 1; }
  deb=$(ls "$work"/*.deb)
  version=$(dpkg-deb -f "$deb" Version)
  echo "fetch.sh: $name: locked version not available, using $pkg $version" >&2
  used="$pkg $version (not the locked version)"
fi
mkdir -p "$cache/$pkg"
dpkg-deb -x "$deb" "$work/unpacked"
mv "$work/unpacked" "$cache/$pkg/$version"
grep -vx "$used" "$cache/used.txt" 2>/dev/null >"$work/used" || true
echo "$used" >>"$work/used"
sort "$work/used" >"$cache/used.txt"
echo "$cache/$pkg/$version"
