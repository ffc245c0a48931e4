#!/usr/bin/env bash
# Prints the SBAT entries of the two signed loaders on a Cellcheck ISO or USB
# stick: shim (BOOTX64.EFI) and GRUB (grubx64.efi). The second field of each
# line is its generation; a firmware that has revoked a generation (its
# SbatLevel) refuses the loader.
# Usage: image/sbat.sh cellcheck.iso|/dev/sdX
set -euo pipefail
medium=$1
# By its GPT type, or its MBR type where the MBR is the table read (as on
# the ISO, whose GPT beside the MBR only mirrors it).
esp_type=c12a7328-f81f-11d2-ba4b-00a0c93ec93b
start=$(partx -g -o START,TYPE "$medium" |
  awk -v t=$esp_type '$2 == t || $2 == "0xef" { print $1; exit }')
[ -n "$start" ] || { echo "sbat.sh: no EFI partition on $medium" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for loader in "BOOTX64.EFI shim" "grubx64.efi GRUB"; do
  set -- $loader
  mcopy -n -i "$medium@@$((start * 512))" "::/EFI/BOOT/$1" "$work/$1"
  objcopy -O binary -j .sbat "$work/$1" "$work/sbat"
  echo "$1 ($2):"
  tr -d '\0' <"$work/sbat" | sed -e '/^$/d' -e 's/^/  /'
done
