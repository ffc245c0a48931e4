#include "console/cellchecker_dos.h"

#include "base/cprintf.h"

CellcheckerDos::~CellcheckerDos() = default;

void CellcheckerDos::statusMessage(const char* text) {
  cprintf("\n\r%s\n\r", text);
}

void CellcheckerDos::report(u64 index) {
  // The values are read again here, so the message shows what the memory
  // holds now, not what the test saw.
  cprintf(
      "\n\rError found with word pair# %llu, values %u, %u do not match\n\r",
      static_cast<unsigned long long>(index), bankA[index], bankB[index]);
  notifyError();
}

void CellcheckerDos::report(u64 indexA, u64 indexB) {
  cprintf(
      "\n\rError found with word pair# %llu or %llu (either could be the "
      "source)\n\r",
      static_cast<unsigned long long>(indexA),
      static_cast<unsigned long long>(indexB));
  notifyError();
}

void CellcheckerDos::notifyError() {
  ++errorCount;
  cprintf("Error %i, after %2.f %% coverage\n\r", static_cast<int>(errorCount),
          static_cast<double>(percentCoverage()));
}

void CellcheckerDos::logOut(const char*) {}
