#!/usr/bin/env bash
# Builds the boot image around the static cellcheck binary, into OUT:
#   vmlinuz, initramfs.img   kernel and initramfs (for QEMU's direct boot);
#                            the initramfs also holds the network drivers
#                            and the memory controllers' error counters
#                            (Debian's signed modules of the same kernel
#                            package, listed in modules.list) and
#                            busybox-static's DHCP client, for unattended
#                            runs that send events
#   grub.cfg                 the ISO's boot menu
#   cellcheck.iso            hybrid ISO: BIOS, UEFI and UEFI with Secure Boot,
#                            CD and USB stick; on a stick its third partition
#                            (FAT, label CELLCHECK) takes the reports
#   netboot/                 everything a TFTP server hands out: the signed
#                            chain for UEFI clients, the iPXE script for BIOS
#   cache/                   the Debian packages of image/packages.lock,
#                            unpacked, kept between builds (used.txt: what
#                            this build took)
# Two builds from the same binary and packages give the same bytes.
# Usage: image/build.sh BINARY OUT
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
binary=$1
out=$2

"$here/../scripts/need-packages.sh" python3 grub-common grub-pc-bin xorriso \
  debian-archive-keyring \
  mtools faketime kmod

# The report partition's size: room for many reports of clean runs, and for
# a few of the largest (4 MiB each, with its new file beside it).
REPORT_MIB=16

mkdir -p "$out"
fetch() { "$here/fetch.sh" "$out/cache" "$1"; }
kernel=$(fetch linux-image-amd64)
shim=$(fetch shim-signed)/usr/lib/shim/shimx64.efi.signed
signed_grub=$(fetch grub-efi-amd64-signed)/usr/lib/grub/x86_64-efi-signed
busybox=$(fetch busybox-static)/usr/bin/busybox
# /usr/bin since Debian 13 (the merged /usr), /bin before.
[ -f "$busybox" ] || busybox=${busybox%/usr/bin/busybox}/bin/busybox
cp "$kernel"/boot/vmlinuz-* "$out/vmlinuz"

# One list of kernel options for every boot entry.
options=$(sed -e 's/#.*//' "$here/kernel.options" | xargs)
# Writes template $1 to $2 with the kernel's folder $3 filled in.
fill() { sed -e "s|@KERNEL_OPTIONS@|$options|g" -e "s|@BOOT@|$3|g" "$1" >"$2"; }

stage=$(mktemp -d)
trap 'rm -rf "$stage" "$stage.log"' EXIT

# The initramfs: /init, the modules of modules.list with their index,
# busybox.
tree="$stage/tree"
mkdir -p "$tree/bin"
python3 "$here/modules.py" "$kernel" "$tree" "$here/modules.list" >/dev/null
cp "$busybox" "$tree/bin/busybox"
# The build mark: a hash of everything the initramfs runs (the program, the
# kernel, the modules, busybox). The report partition carries it too, and
# the program writes reports only to a partition that carries its own
# image's mark: never to another disk, whatever its label. Two builds of the
# same parts have the same mark.
mark=$( { sha256sum <"$binary"; sha256sum <"$out/vmlinuz"
          (cd "$tree" && find . -type f -print0 | LC_ALL=C sort -z |
             xargs -0 sha256sum); } | sha256sum | cut -d' ' -f1)
mkdir -p "$tree/etc"
echo "$mark" >"$tree/etc/cellcheck-build"
python3 "$here/initramfs.py" "$binary" "$out/initramfs.img" "$tree"
# Everything in the stage gets one date: with faketime the FAT image, the
# GRUB images' search UUID and the volume, and xorriso gives every file one
# date and derives the GPT GUIDs from the volume date instead of drawing them
# at random.
at_fixed_time() { TZ=UTC faketime -f '2024-01-01 00:00:00' "$@"; }

# The ISO's file system: kernel, initramfs, the boot menu, and the marker by
# which GRUB started from the EFI partition finds this medium.
mkdir -p "$stage/iso/boot/grub" "$stage/iso/.disk"
# The kernel is loaded by the device GRUB found it on (grub.cfg says why).
fill "$here/grub.cfg" "$out/grub.cfg" '($medium)/boot'
cp "$out/grub.cfg" "$stage/iso/boot/grub/grub.cfg"
cp "$out/vmlinuz" "$out/initramfs.img" "$stage/iso/boot/"
echo "Cellcheck boot image" >"$stage/iso/.disk/cellcheck"

# The EFI system partition: shim, signed by Microsoft, as the removable
# media loader; it starts the GRUB beside it, which Debian signed and shim
# checks, and that GRUB checks the kernel's signature. /boot/grub/grub.cfg
# is what that GRUB reads first (before it would look for any Debian disk).
esp=$stage/efi.img
# Its size: the two loaders and a MiB to spare, in whole MiB (2048 sectors).
loaders_kib=$(du -k -c "$shim" "$signed_grub/gcdx64.efi.signed" | tail -1 | cut -f1)
esp_mib=$((loaders_kib / 1024 + 2))
# Its label is not CELLCHECK: that one is the report partition's alone.
at_fixed_time mformat -i "$esp" -C -T $((esp_mib * 2048)) -h 64 -s 32 \
  -N 43454c4c -v CC-EFI ::
at_fixed_time mmd -i "$esp" ::/EFI ::/EFI/BOOT ::/boot ::/boot/grub
at_fixed_time mcopy -i "$esp" "$shim" ::/EFI/BOOT/BOOTX64.EFI
at_fixed_time mcopy -i "$esp" "$signed_grub/gcdx64.efi.signed" ::/EFI/BOOT/grubx64.efi
at_fixed_time mcopy -i "$esp" "$here/esp-grub.cfg" ::/boot/grub/grub.cfg

# The report partition: FAT, label CELLCHECK, its volume serial the mark's
# first 8 hex digits, with the mark in a hidden file. On a stick it is
# writable; the program keeps a pair of report files there per run.
report=$stage/report.img
at_fixed_time mformat -i "$report" -C -T $((REPORT_MIB * 2048)) -h 64 -s 32 \
  -N "${mark:0:8}" -v CELLCHECK ::
echo "$mark" >"$stage/mark"
at_fixed_time mcopy -i "$report" "$stage/mark" ::/.cellcheck-build
at_fixed_time mattrib -i "$report" +h +r ::/.cellcheck-build

# grub-mkrescue makes the BIOS part (El Torito for CDs, the MBR's boot code
# for disks); its own EFI loader would be unsigned, so it is left out (-d) and
# the EFI partition above is appended, with an El Torito entry of its own for
# CDs, and so is the report partition. Both are listed, as partitions 2 and
# 3, in the MBR (the ISO's data is its partition 1), which firmware and
# Linux read on a stick, and in a GPT beside it, the layout of Debian's own
# installer images (an isohybrid GPT, without the MBR's protective entry).
# Linux numbers the partitions by the MBR.
at_fixed_time grub-mkrescue -d /usr/lib/grub/i386-pc \
  --output="$out/cellcheck.iso" "$stage/iso" -- \
  -volume_date all_file_dates 2024010100000000 \
  -boot_image any gpt_disk_guid=volume_date_uuid \
  -append_partition 2 0xef "$esp" \
  -append_partition 3 0x0e "$report" \
  -boot_image any appended_part_as=mbr \
  -boot_image any part_like_isohybrid=on \
  -boot_image isolinux partition_entry=gpt_basdat \
  -boot_image any next \
  -boot_image any efi_path=--interval:appended_partition_2:all:: \
  >"$stage.log" 2>&1 || { cat "$stage.log" >&2; exit 1; }

# Netboot. A UEFI client's firmware fetches shim over TFTP; shim fetches
# grubx64.efi from the same folder, Debian's signed network GRUB, which reads
# grub/grub.cfg from the server: the same menu as the ISO's. A BIOS client
# runs the iPXE script.
net=$out/netboot
rm -rf "$net"
mkdir -p "$net/grub/fonts"
cp "$out/vmlinuz" "$out/initramfs.img" "$net/"
fill "$here/cellcheck.ipxe" "$net/cellcheck.ipxe" ""
cp "$shim" "$net/shimx64.efi"
cp "$signed_grub/grubnetx64.efi.signed" "$net/grubx64.efi"
fill "$here/grub.cfg" "$net/grub/grub.cfg" '($medium)'
cp /usr/share/grub/unicode.pf2 "$net/grub/fonts/"
