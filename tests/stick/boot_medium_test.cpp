#include "stick/boot_medium.h"

#include <gtest/gtest.h>

namespace {

struct MediumCase {
  const char* name;
  const char* cmdline;
  BootMedium medium;
};

class BootMediumTest : public testing::TestWithParam<MediumCase> {};

TEST_P(BootMediumTest, ReadsWhereGrubFoundTheKernel) {
  EXPECT_EQ(bootMediumOf(GetParam().cmdline), GetParam().medium);
}

INSTANTIATE_TEST_SUITE_P(
    Cmdlines, BootMediumTest,
    testing::Values(
        // GRUB for UEFI names any removable medium so, a stick as well.
        MediumCase{"UefiRemovable", "BOOT_IMAGE=(cd0)/boot/vmlinuz quiet",
                   BootMedium::kRemovable},
        MediumCase{"BiosCd", "BOOT_IMAGE=(cd)/boot/vmlinuz quiet",
                   BootMedium::kCd},
        MediumCase{"Stick", "BOOT_IMAGE=(hd0)/boot/vmlinuz memtest=3",
                   BootMedium::kDisk},
        MediumCase{"StickPartition", "quiet BOOT_IMAGE=(hd1,gpt1)/boot/vmlinuz",
                   BootMedium::kDisk},
        MediumCase{"GrubNetwork", "BOOT_IMAGE=(tftp,10.0.2.2)/vmlinuz",
                   BootMedium::kNetwork},
        MediumCase{"Ipxe", "initrd=initramfs.img quiet console=ttyS0",
                   BootMedium::kNetwork},
        // QEMU's -kernel, or a boot loader that names no device: nothing
        // says a stick is there.
        MediumCase{"Direct", "quiet memtest=3 console=ttyS0",
                   BootMedium::kUnknown},
        MediumCase{"NoDevice", "BOOT_IMAGE=/boot/vmlinuz quiet",
                   BootMedium::kUnknown},
        MediumCase{"OtherDevice", "BOOT_IMAGE=(memdisk)/boot/vmlinuz",
                   BootMedium::kUnknown}),
    [](const testing::TestParamInfo<MediumCase>& param) {
      return param.param.name;
    });

}  // namespace
