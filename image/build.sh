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
#                            CD and USB stick
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
python3 "$here/initramfs.py" "$binary" "$out/initramfs.img" "$tree"
# Everything in the stage gets one date: with faketime the FAT image, the
# GRUB images' search UUID and the volume, and xorriso gives every file one
# date and derives the GPT GUIDs from the volume date instead of drawing them
# at random.
at_fixed_time() { TZ=UTC faketime -f '2024-01-01 00:00:00' "$@"; }

# The ISO's file system: kernel, initramfs, the boot menu, and the marker by
# which GRUB started from the EFI partition finds this medium.
mkdir -p "$stage/iso/boot/grub" "$stage/iso/.disk"
fill "$here/grub.cfg" "$out/grub.cfg" /boot
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
at_fixed_time mformat -i "$esp" -C -T $((esp_mib * 2048)) -h 64 -s 32 \
  -N 43454c4c -v CELLCHECK ::
at_fixed_time mmd -i "$esp" ::/EFI ::/EFI/BOOT ::/boot ::/boot/grub
at_fixed_time mcopy -i "$esp" "$shim" ::/EFI/BOOT/BOOTX64.EFI
at_fixed_time mcopy -i "$esp" "$signed_grub/gcdx64.efi.signed" ::/EFI/BOOT/grubx64.efi
at_fixed_time mcopy -i "$esp" "$here/esp-grub.cfg" ::/boot/grub/grub.cfg

# grub-mkrescue makes the BIOS part (El Torito for CDs, the hybrid MBR for
# disks); its own EFI loader would be unsigned, so it is left out (-d) and the
# EFI partition above is appended as a GPT partition, with an El Torito entry
# of its own for CDs.
at_fixed_time grub-mkrescue -d /usr/lib/grub/i386-pc \
  --output="$out/cellcheck.iso" "$stage/iso" -- \
  -volume_date all_file_dates 2024010100000000 \
  -boot_image any gpt_disk_guid=volume_date_uuid \
  -append_partition 2 0xef "$esp" \
  -boot_image any appended_part_as=gpt \
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
fill "$here/grub.cfg" "$net/grub/grub.cfg" ""
cp /usr/share/grub/unicode.pf2 "$net/grub/fonts/"
