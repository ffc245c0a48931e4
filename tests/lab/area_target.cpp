// A stand-in tester for the lab's own tests: it takes its area the way the
// program does (the real kernel seam's allocation, handed to the console
// tester, which splits it into bank A and bank B), then does what its input
// says, one line at a time, and says when it is done. It runs in lock-step
// with the test that drives it, so a fault injected between a fill and a
// check shows in that round, however slow the machine.
//
//   fill         both banks filled alike ("filled ROUND")
//   check        every word pair that differs reported through the console
//                tester's messages ("checked ROUND"); the next round begins
//   hammer WORD  bank A's word stored to without a pause until the next line
//                comes ("hammering", then "hammered STORES value VALUE")
//
//   area_target MIB      (ends at the end of its input)
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/cprintf.h"
#include "console/cellchecker_dos.h"
#include "platform/linux_kernel.h"

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

// Each store to a word whose page the lab holds stops the process: the
// lab's own requests to stop then meet those stops.
void hammer(u64 word) {
  volatile u32* const target = &tester.bankA[word];
  cprintf("\n\rhammering\n\r");
  pollfd input = {STDIN_FILENO, POLLIN, 0};
  u64 stores = 0;
  do {
    for (int i = 0; i < 256; ++i) *target = static_cast<u32>(++stores) << 8;
  } while (poll(&input, 1, 0) == 0);
  char line[64];
  if (fgets(line, sizeof line, stdin) == nullptr) return;
  cprintf("\n\rhammered %llu value %u\n\r",
          static_cast<unsigned long long>(stores), *target);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const u64 size = strtoull(argv[1], nullptr, 10) << 20;
  LinuxKernel kernel;
  char* area = kernel.allocateArea(size);
  if (area == nullptr || tester.initNoAlloc(size, area) != kInitOk) return 1;
  cprintf("\n\rready\n\r");
  u32 round = 0;
  char line[64];
  while (fgets(line, sizeof line, stdin) != nullptr) {
    if (strncmp(line, "fill", 4) == 0) {
      fill(round);
      cprintf("\n\rfilled %u\n\r", round);
    } else if (strncmp(line, "check", 5) == 0) {
      check();
      cprintf("\n\rchecked %u\n\r", round++);
    } else if (strncmp(line, "hammer ", 7) == 0) {
      const u64 word = strtoull(line + 7, nullptr, 10);
      if (word < tester.wordsPerBank) hammer(word);
    }
  }
  return 0;
}
