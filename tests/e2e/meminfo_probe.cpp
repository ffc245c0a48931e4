// Boots as /init of a throwaway image, prints the kernel's MemTotal line and
// powers the VM off: the end-to-end tests learn from it how much RAM the
// kernel manages in a VM of a given size.
#include <sys/mount.h>
#include <sys/reboot.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main() {
  mount("proc", "/proc", "proc", 0, "");
  FILE* meminfo = fopen("/proc/meminfo", "r");
  char line[128];
  while (meminfo != nullptr && fgets(line, sizeof line, meminfo) != nullptr) {
    if (strncmp(line, "MemTotal:", 9) == 0) fputs(line, stdout);
  }
  fflush(stdout);
  reboot(RB_POWER_OFF);
}
