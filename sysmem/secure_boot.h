// Whether the machine booted with UEFI Secure Boot on, as the kernel found
// out from the firmware at boot and wrote in its log ("secureboot: Secure
// boot enabled"). The log is the one witness: the EFI variables are a module
// this image does not load, and lockdown alone does not prove Secure Boot.
#ifndef CELLCHECK_SYSMEM_SECURE_BOOT_H_
#define CELLCHECK_SYSMEM_SECURE_BOOT_H_

#include <string>

enum class SecureBoot {
  kOn,
  kOff,
  // Booted by UEFI, but the firmware's answer was neither.
  kUndetermined,
  // A complete log without the kernel's line: not booted by UEFI.
  kBiosBoot,
  // The log no longer holds the first lines of the boot, where the kernel's
  // line would be.
  kLogIncomplete,
  // No log at all.
  kLogUnreadable,
};

// Reads `log` as KernelFiles::kernelLog() gives it: one message a line, each
// with an optional "<level>" and "[seconds]" prefix.
SecureBoot secureBootFromLog(const std::string& log);

// The start-up line for `state`, without its line feed, such as
// "Secure Boot: on".
const char* secureBootLine(SecureBoot state);

#endif  // CELLCHECK_SYSMEM_SECURE_BOOT_H_
