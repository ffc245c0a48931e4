# Shared by image/fetch.sh and image/update-lock.sh: the lock file and the
# Debian archive as the image's own apt configuration sees it. Sourced, not
# run.

# The Debian release the image is made of, whatever release the build
# machine runs: Debian 13's kernel knows today's processors and memory
# (Zen 5's memory controllers, DDR5's temperature sensors), and its signed
# boot chain carries current SBAT generations.
image_release=trixie
# Debian's archive keyring, which every Debian machine has: a Debian 12
# machine's already holds Debian 13's keys.
archive_keyring=/usr/share/keyrings/debian-archive-keyring.gpg

# Points apt-get and apt-cache (through APT_CONFIG) at a configuration of
# the image's own under STATE/apt: its own sources list (the release above,
# its updates and its security updates), its own package lists, cache and an
# empty package status, none of the build machine's apt.conf.d, sources or
# pinning. Nothing of the build machine's apt set-up is read or changed,
# and no root is needed.
use_image_apt() {
  local root archive=http://deb.debian.org
  mkdir -p "$1"
  root=$(cd "$1" && pwd)/apt
  mkdir -p "$root/etc/apt.conf.d" "$root/etc/preferences.d" \
    "$root/etc/sources.list.d" "$root/etc/trusted.gpg.d" \
    "$root/lists/partial" "$root/cache/archives/partial"
  [ -f "$root/status" ] || : >"$root/status"
  # Written anew and moved into place: a copy of the cache made of hard
  # links (as the reproducibility test makes) must not write through them.
  cat >"$root/etc/sources.list.new" <<SOURCES
deb [signed-by=$archive_keyring] $archive/debian $image_release main
deb [signed-by=$archive_keyring] $archive/debian $image_release-updates main
deb [signed-by=$archive_keyring] $archive/debian-security $image_release-security main
SOURCES
  mv "$root/etc/sources.list.new" "$root/etc/sources.list"
  # Read before the build machine's own files would be, which these
  # settings then leave unread.
  cat >"$root/apt.conf.new" <<CONFIG
Dir::Etc "$root/etc";
Dir::Etc::main "apt.conf";
Dir::Etc::parts "apt.conf.d";
Dir::Etc::sourcelist "sources.list";
Dir::Etc::sourceparts "sources.list.d";
Dir::Etc::preferences "preferences";
Dir::Etc::preferencesparts "preferences.d";
Dir::Etc::trusted "trusted.gpg";
Dir::Etc::trustedparts "trusted.gpg.d";
Dir::State "$root";
Dir::State::lists "lists";
Dir::State::status "$root/status";
Dir::Cache "$root/cache";
APT::Architecture "amd64";
APT::Architectures { "amd64"; };
Acquire::Languages "none";
// As root, apt would hand downloads to its sandbox user, who cannot write
// into a build folder.
APT::Sandbox::User "root";
CONFIG
  mv "$root/apt.conf.new" "$root/apt.conf"
  export APT_CONFIG=$root/apt.conf
}

# The kernel's versioned package (linux-image-6.12.121+deb13-amd64) changes its
# name with every ABI bump; linux-image-amd64 stands for whichever it is.
is_kernel_package() { [[ $1 =~ ^linux-image-[0-9].*-amd64$ ]]; }

# The name a lock line or a used.txt line is known by.
lock_key() {
  if is_kernel_package "$1"; then echo linux-image-amd64; else echo "$1"; fi
}

# Prints the lock line (PACKAGE VERSION SHA256) for NAME; fails without one.
locked_line() {
  local lock=$1 name=$2 pkg version sha256
  while read -r pkg version sha256; do
    case $pkg in '' | '#'*) continue ;; esac
    if [ "$(lock_key "$pkg")" = "$name" ]; then
      echo "$pkg $version $sha256"
      return 0
    fi
  done <"$lock"
  return 1
}

# apt-get update, at most once every ten minutes for one cache: a build
# fetches several packages and needs fresh lists only once.
refresh_lists() {
  local stamp=$1/.lists-refreshed
  [ -n "$(find "$stamp" -mmin -10 2>/dev/null)" ] && return 0
  apt-get -qq update
  touch "$stamp"
}

# True when the archive (as the package lists say, refreshed once if not)
# still has PACKAGE at VERSION.
archive_has() {
  local cache=$1 pkg=$2 version=$3
  # grep reads it all: an early exit would fail apt-cache (and the pipe).
  lists_have() { apt-cache show "$pkg=$version" 2>/dev/null | grep '^Package:' >/dev/null; }
  lists_have || { refresh_lists "$cache" && lists_have; }
}

# The package that NAME means in today's archive.
current_package() {
  local cache=$1 name=$2 pkg
  if [ "$name" != linux-image-amd64 ]; then
    echo "$name"
    return
  fi
  # A meta package: its one dependency names the kernel package of the
  # exact version.
  depends() {
    apt-cache depends linux-image-amd64 2>/dev/null |
      awk '$1 == "Depends:" && $2 ~ /^linux-image-/ && !n++ { print $2 }'
  }
  pkg=$(depends)
  [ -n "$pkg" ] || { refresh_lists "$cache" && pkg=$(depends); }
  [ -n "$pkg" ] || { echo "linux-image-amd64 names no kernel package" >&2; return 1; }
  echo "$pkg"
}

# The version apt would install now; empty when the archive has none.
candidate_version() {
  apt-cache policy "$1" 2>/dev/null |
    awk '$1 == "Candidate:" && $2 != "(none)" { print $2 }'
}

# The SHA256 of PACKAGE VERSION's .deb in the archive's (signed) index.
archive_sha256() {
  apt-cache show "$1=$2" 2>/dev/null | awk '$1 == "SHA256:" && !n++ { print $2 }'
}

# Where PACKAGE VERSION is unpacked in CACHE; FOLDER.sha256 beside it holds
# the .deb's SHA256 and is written last, so its presence means complete.
unpacked() { echo "$1/${2}_${3//:/%3a}"; }

# Downloads PACKAGE VERSION and unpacks it into its folder in CACHE. The
# .deb must have SHA256 when one is given (apt itself checks it against the
# archive's index).
download_unpacked() {
  local cache=$1 pkg=$2 version=$3 want=$4 folder work deb got
  folder=$(unpacked "$cache" "$pkg" "$version")
  work=$(mktemp -d "$cache/download.XXXXXX")
  # A stale package list names a file the mirror no longer has: refresh once.
  (cd "$work" && apt-get -qq download "$pkg=$version" 2>/dev/null) ||
    { refresh_lists "$cache" && (cd "$work" && apt-get -qq download "$pkg=$version"); } ||
    { rm -rf "$work"; echo "cannot download $pkg $version" >&2; return 1; }
  deb=$(echo "$work"/*.deb)
  got=$(sha256sum "$deb" | cut -d' ' -f1)
  if [ -n "$want" ] && [ "$got" != "$want" ]; then
    rm -rf "$work"
    echo "$pkg $version from the archive has SHA256 $got, the lock says $want:" \
      "refusing it" >&2
    return 1
  fi
  rm -rf "$folder"
  dpkg-deb -x "$deb" "$work/tree"
  mv "$work/tree" "$folder"
  echo "$got" >"$folder.sha256"
  rm -rf "$work"
}

# Replaces NAME's line in CACHE/used.txt by LINE.
record_used() {
  local cache=$1 name=$2 line=$3 used=$1/used.txt pkg rest
  {
    [ -f "$used" ] && while read -r pkg rest; do
      [ "$(lock_key "$pkg")" = "$name" ] || echo "$pkg $rest"
    done <"$used"
    echo "$line"
  } | sort >"$used.new"
  mv "$used.new" "$used"
}
