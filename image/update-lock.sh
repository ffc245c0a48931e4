#!/usr/bin/env bash
# Moves image/packages.lock forward: every package in it to the version the
# Debian archive has now (the kernel to whatever linux-image-amd64 depends on
# now), and adds the packages named on the command line. The SHA256 comes
# from the archive's signed index; the next build downloads and checks it.
# The archive is seen through the image's own apt configuration, in the
# build's package cache (build/image/cache, or IMAGE_CACHE), with its lists
# refreshed first.
# Usage: image/update-lock.sh [NAME...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/packages.sh"
lock=${PACKAGES_LOCK:-$here/packages.lock}
cache=${IMAGE_CACHE:-$here/../build/image/cache}
state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT

mkdir -p "$cache"
use_image_apt "$cache"
rm -f "$cache/.lists-refreshed"
refresh_lists "$cache"
names=()
while read -r pkg _; do
  case $pkg in '' | '#'*) continue ;; esac
  names+=("$(lock_key "$pkg")")
done <"$lock"
for name in "$@"; do
  [[ " ${names[*]} " == *" $name "* ]] || names+=("$name")
done

{
  grep '^#' "$lock" || true
  for name in "${names[@]}"; do
    pkg=$(current_package "$cache" "$name")
    version=$(candidate_version "$pkg")
    sha256=$(archive_sha256 "$pkg" "$version")
    [ -n "$version" ] && [ -n "$sha256" ] ||
      { echo "update-lock.sh: the archive has no $name" >&2; exit 1; }
    echo "$pkg $version $sha256"
  done
} >"$state/lock"
changes=$(diff -u "$lock" "$state/lock" | grep '^[-+][^-+#]' || true)
echo "${changes:-update-lock.sh: the lock is current}"
cp "$state/lock" "$lock"
