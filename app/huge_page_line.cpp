#include "app/huge_page_line.h"

#include "base/cprintf.h"
#include "sysmem/smaps.h"

void sayIfMostlyOnSmallPages(KernelFiles& kernel, const char* area, u64 bytes) {
  u64 hugeKiB;
  const std::string smaps = kernel.file("/proc/self/smaps");
  if (!hugePagesKiB(smaps.c_str(), area, bytes, &hugeKiB)) return;
  if (!mostlySmallPages(hugeKiB, bytes)) return;
  cprintf(
      "Only %llu MiB of the %llu MiB test area are on huge pages; testing goes "
      "on, but the tests that probe random places run slower.\n",
      static_cast<unsigned long long>(hugeKiB / 1024),
      static_cast<unsigned long long>(bytes / kMiB));
}
