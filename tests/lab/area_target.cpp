// A stand-in tester for the lab's own tests: it takes its area the way the
// program does (the real kernel seam's allocation, handed to the console
// tester, which splits it into bank A and bank B), then in rounds fills both
// banks alike, says so, waits, and reports every word pair that differs
// through the console tester's messages. A fault injected while it waits
// shows in that round.
//
//   area_target MIB WAIT_MS
#include <time.h>

#include <cstdlib>

#include "console/cellchecker_dos.h"
#include "base/cprintf.h"
#include "sysmem/linux_kernel.h"

namespace {

CellcheckerDos tester;

void fill(u32 round) {
  for (u64 k = 0; k < tester.wordsPerBank; ++k) {
    const u32 value = static_cast<u32>((k + 1) * 2654435761u) ^ (round << 16);
    tester.bankA[k] = value;
    tester.bankB[k] = value;
  }
}

void check() {
  for (u64 k = 0; k < tester.wordsPerBank; ++k) {
    if (tester.bankA[k] != tester.bankB[k]) tester.report(k);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const u64 size = strtoull(argv[1], nullptr, 10) << 20;
  const long waitMs = strtol(argv[2], nullptr, 10);
  LinuxKernel kernel;
  char* area = kernel.allocateArea(size);
  if (area == nullptr || tester.initNoAlloc(size, area) != kInitOk) return 1;
  const timespec wait = {waitMs / 1000, (waitMs % 1000) * 1000000};
  for (u32 round = 0;; ++round) {
    fill(round);
    cprintf("\n\rfilled %u\n\r", round);
    nanosleep(&wait, nullptr);
    check();
    cprintf("\n\rchecked %u\n\r", round);
  }
}
