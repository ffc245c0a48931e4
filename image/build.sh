#!/usr/bin/env bash
# Builds the boot image around the static cellcheck binary, into OUT:
#   vmlinuz, initramfs.img   kernel and initramfs (for QEMU's direct boot)
#   cellcheck.iso            hybrid ISO: BIOS and UEFI, CD and USB stick
#   netboot/                 kernel, initramfs and iPXE script for a TFTP/HTTP server
#   cache/                   the downloaded packages, kept between builds
# The initramfs also holds the network drivers (Debian's signed modules from
# the same kernel package, listed in modules.list) and busybox-static's DHCP
# client, for unattended runs that send events.
# Two builds from the same binary and packages give the same bytes.
# Usage: image/build.sh BINARY OUT
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
binary=$1
out=$2

"$here/../scripts/need-packages.sh" python3 grub-common grub-pc-bin \
  grub-efi-amd64-bin xorriso mtools faketime kmod

mkdir -p "$out"
kernel_package=$("$here/fetch.sh" "$out/cache" linux-image-amd64)
busybox_package=$("$here/fetch.sh" "$out/cache" busybox-static)
cp "$kernel_package"/boot/vmlinuz-* "$out/vmlinuz"

stage=$(mktemp -d)
trap 'rm -rf "$stage" "$stage.log"' EXIT
tree="$stage/tree"
mkdir -p "$tree/bin"
python3 "$here/modules.py" "$kernel_package" "$tree" "$here/modules.list" >/dev/null
cp "$busybox_package/bin/busybox" "$tree/bin/busybox"
python3 "$here/initramfs.py" "$binary" "$out/initramfs.img" "$tree"

iso="$stage/iso"
mkdir -p "$iso/boot/grub"
cp "$here/grub.cfg" "$iso/boot/grub/grub.cfg"
cp "$out/vmlinuz" "$out/initramfs.img" "$iso/boot/"
# grub-mkrescue stamps the clock into the FAT image of the EFI loader, the
# GRUB images' search UUID and the volume; faketime fixes them all. xorriso
# then gives every file one date and derives the GPT GUIDs from the volume
# date instead of drawing them at random.
TZ=UTC faketime -f '2024-01-01 00:00:00' \
  grub-mkrescue --output="$out/cellcheck.iso" "$iso" -- \
  -volume_date all_file_dates 2024010100000000 \
  -boot_image any gpt_disk_guid=volume_date_uuid \
  >"$stage.log" 2>&1 || { cat "$stage.log" >&2; exit 1; }

mkdir -p "$out/netboot"
cp "$out/vmlinuz" "$out/initramfs.img" "$here/cellcheck.ipxe" "$out/netboot/"
