// Where the machine booted Cellcheck from, as the kernel command line tells
// it: the image's GRUB menus load the kernel by the device they found it on,
// and GRUB hands that on as BOOT_IMAGE=(DEVICE)/path. GRUB for BIOS names
// its boot CD (cd) (the menu picks that name), a USB stick hd0; GRUB for
// UEFI names every removable medium cd0, cd1, ..., USB sticks and CDs alike,
// fixed disks hd0; the network is tftp or http. The image's iPXE script
// names no BOOT_IMAGE but the initramfs (initrd=), which only a network
// boot of this image does.
#ifndef CELLCHECK_STICK_BOOT_MEDIUM_H_
#define CELLCHECK_STICK_BOOT_MEDIUM_H_

#include <string>

enum class BootMedium {
  kDisk,       // a USB stick (or another disk): reports may go there
  kRemovable,  // a USB stick or a CD (UEFI does not say which)
  kCd,         // a CD or DVD: nothing to write to
  kNetwork,    // the network: no disk came with it
  kUnknown,    // another boot loader, or the kernel started directly
};

// From the text of /proc/cmdline.
BootMedium bootMediumOf(const std::string& cmdline);

#endif  // CELLCHECK_STICK_BOOT_MEDIUM_H_
