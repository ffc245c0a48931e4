#!/usr/bin/env bash
# Prints a folder that holds Debian package NAME unpacked (dpkg-deb -x), at
# the version image/packages.lock gives, fetched into CACHE on first use.
# Packages are downloaded and unpacked, never installed: the boot loaders and
# the kernel of the build machine stay as they are. They come from the Debian
# release of image/packages.sh, through an apt configuration of the image's
# own in CACHE/apt (its sources, package lists and cache), whatever release
# the build machine runs and without changing its apt set-up.
#
# The archive keeps only the newest version of a package. When the locked one
# is gone, the current one is taken instead, with a one-line warning on
# stderr, so that a build never fails because the archive moved on. Either
# way CACHE/used.txt records what was taken (NAME VERSION SHA256, as in the
# lock file); image/update-lock.sh moves the lock forward.
#
# NAME linux-image-amd64 stands for the kernel package it depends on (such
# as linux-image-6.12.121+deb13-amd64), whose version is locked.
# Usage: image/fetch.sh CACHE NAME
# PACKAGES_LOCK names another lock file (for tests of this script).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/packages.sh"
cache=$1
name=$2
lock=${PACKAGES_LOCK:-$here/packages.lock}

warn() { echo "fetch.sh: $*" >&2; }

read -r pkg version sha256 < <(locked_line "$lock" "$name") ||
  { warn "$name is not in $lock: add it with image/update-lock.sh $name"; exit 1; }

mkdir -p "$cache"
use_image_apt "$cache"
if [ ! -f "$(unpacked "$cache" "$pkg" "$version").sha256" ] &&
  ! archive_has "$cache" "$pkg" "$version"; then
  current_pkg=$(current_package "$cache" "$name")
  current_version=$(candidate_version "$current_pkg")
  [ -n "$current_version" ] ||
    { warn "the archive has no $current_pkg: cannot fetch $name"; exit 1; }
  warn "warning: $pkg $version (locked) is gone from the archive;" \
    "using $current_pkg $current_version (image/update-lock.sh locks it)"
  pkg=$current_pkg
  version=$current_version
  sha256=""  # whatever the archive's signed index says
fi

folder=$(unpacked "$cache" "$pkg" "$version")
[ -f "$folder.sha256" ] || download_unpacked "$cache" "$pkg" "$version" "$sha256"
if [ -n "$sha256" ] && [ "$(cat "$folder.sha256")" != "$sha256" ]; then
  warn "$folder holds $pkg $version with SHA256 $(cat "$folder.sha256")," \
    "the lock says $sha256: remove it or mend the lock"
  exit 1
fi
record_used "$cache" "$name" "$pkg $version $(cat "$folder.sha256")"
echo "$folder"
