// A stand-in tester for the lab's own tests: it takes its area the way the
// program does (the real kernel seam's allocation, handed to the console
// tester, which splits it into bank A and bank B), then in rounds fills both
// banks alike and reports every word pair that differs through the console
// tester's messages. It runs in lock-step with the test that drives it: it
// waits for a line on its input before each fill and before each check, so
// a fault injected between the two shows in that round, however slow the
// machine.
//
//   area_target MIB      (ends at the end of its input)
#include <cstdio>
#include <cstdlib>

#include "base/cprintf.h"
#include "console/cellchecker_dos.h"
#include "sysmem/linux_kernel.h"

namespace {

CellcheckerDos tester;

// Word k of round r: bit 16 is the round's lowest bit, so it alternates from
// round to round.
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

bool awaitTurn() {
  char line[64];
  return fgets(line, sizeof line, stdin) != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const u64 size = strtoull(argv[1], nullptr, 10) << 20;
  LinuxKernel kernel;
  char* area = kernel.allocateArea(size);
  if (area == nullptr || tester.initNoAlloc(size, area) != kInitOk) return 1;
  cprintf("\n\rready\n\r");
  for (u32 round = 0;; ++round) {
    if (!awaitTurn()) return 0;
    fill(round);
    cprintf("\n\rfilled %u\n\r", round);
    if (!awaitTurn()) return 0;
    check();
    cprintf("\n\rchecked %u\n\r", round);
  }
}
