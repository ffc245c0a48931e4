#include "sysmem/secure_boot.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

// The start of a boot log as Debian's kernel writes it.
const std::string kStart =
    "<5>[    0.000000] Linux version 6.1.0-57-amd64 "
    "(debian-kernel@lists.debian.org) #1 SMP PREEMPT_DYNAMIC Debian "
    "6.1.192-3 (2025-11-20)\n"
    "<6>[    0.000000] Command line: BOOT_IMAGE=/boot/vmlinuz quiet "
    "console=tty0 console=ttyS0,115200\n";
const std::string kLater =
    "<6>[    0.004129] efi: EFI v2.70 by EDK II\n"
    "<6>[    0.004132] efi: SMBIOS=0x7f541000 ACPI=0x7f77e000\n";

TEST(SecureBootFromLogTest, ReadsTheKernelsOwnLine) {
  struct Case {
    const char* name;
    std::string log;
    SecureBoot state;
  };
  for (const Case& c : {
           Case{"on",
                kStart +
                    "<6>[    0.000000] secureboot: Secure boot "
                    "enabled\n" +
                    kLater,
                SecureBoot::kOn},
           Case{"off",
                kStart +
                    "<6>[    0.000000] secureboot: Secure boot "
                    "disabled\n" +
                    kLater,
                SecureBoot::kOff},
           Case{"firmware gave no answer",
                kStart + "<4>[    0.000000] secureboot: Secure boot could not "
                         "be determined (mode 3)\n",
                SecureBoot::kUndetermined},
           // A kernel built without printk times.
           Case{"no time stamps",
                "<5>Linux version 6.1.0\n<6>secureboot: Secure boot enabled\n",
                SecureBoot::kOn},
           Case{"last line without its line feed",
                kStart + "<6>[    0.000000] secureboot: Secure boot enabled",
                SecureBoot::kOn},
           // The kernel's line is enough even when the ring has wrapped.
           Case{"oldest lines lost, line kept",
                "<6>[    0.000000] secureboot: Secure boot disabled\n" + kLater,
                SecureBoot::kOff},
           Case{"BIOS boot", kStart + kLater, SecureBoot::kBiosBoot},
           // Lockdown can be asked for on the command line: it proves nothing.
           Case{"lockdown without the line",
                kStart + "<5>[    0.000000] Kernel is locked down from "
                         "command line; see man kernel_lockdown.7\n",
                SecureBoot::kBiosBoot},
           // Only the kernel's own line counts, not words like it.
           Case{"other lines that mention it",
                kStart + "<6>[    1.2] mydriver: secureboot: Secure boot "
                         "enabled\n"
                         "<6>[    1.3] secureboot: Secure boot enabledness\n",
                SecureBoot::kBiosBoot},
           Case{"oldest lines lost, no line", kLater,
                SecureBoot::kLogIncomplete},
           Case{"no log", "", SecureBoot::kLogUnreadable},
       }) {
    EXPECT_EQ(secureBootFromLog(c.log), c.state) << c.name;
  }
}

TEST(SecureBootLineTest, EveryStateSaysSomethingOfItsOwn) {
  std::set<std::string> lines;
  for (SecureBoot state :
       {SecureBoot::kOn, SecureBoot::kOff, SecureBoot::kUndetermined,
        SecureBoot::kBiosBoot, SecureBoot::kLogIncomplete,
        SecureBoot::kLogUnreadable}) {
    const std::string line = secureBootLine(state);
    EXPECT_EQ(line.rfind("Secure Boot: ", 0), 0u) << line;
    lines.insert(line);
  }
  EXPECT_EQ(lines.size(), 6u);
  EXPECT_STREQ(secureBootLine(SecureBoot::kOn), "Secure Boot: on");
}

}  // namespace
