// Where the machine booted Cellcheck from, as the kernel command line tells
// it: the image's GRUB menus load the kernel by the device they found it on,
// and GRUB hands that on as BOOT_IMAGE=(DEVICE)/path: cd0 (or cd) for a CD,
// hd0 or hd0,gpt1 for a disk such as a USB stick, tftp or http for the
// network. The image's iPXE script names no BOOT_IMAGE but the initramfs
// (initrd=), which only a network boot of this image does.
#ifndef CELLCHECK_STICK_BOOT_MEDIUM_H_
#define CELLCHECK_STICK_BOOT_MEDIUM_H_

#include <string>

enum class BootMedium {
  kDisk,     // a USB stick (or another disk): reports may go there
  kCd,       // a CD or DVD: nothing to write to
  kNetwork,  // the network: no disk came with it
  kUnknown,  // another boot loader, or the kernel started directly
};

// From the text of /proc/cmdline.
BootMedium bootMediumOf(const std::string& cmdline);

#endif  // CELLCHECK_STICK_BOOT_MEDIUM_H_
