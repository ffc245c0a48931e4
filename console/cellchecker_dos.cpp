#include "console/cellchecker_dos.h"

#include "base/cprintf.h"

CellcheckerDos::~CellcheckerDos() = default;

void CellcheckerDos::statusMessage(const char* text) {
  cprintf("\n\r%s\n\r", text);
}

void CellcheckerDos::report(u64 index) {
  if (pending_) pending_();
  // The values are read again here, so the message shows what the memory
  // holds now, not what the test saw.
  cprintf(
      "\n\rError found with word pair# %llu, values %u, %u do not match\n\r",
      static_cast<unsigned long long>(index), bankA[index], bankB[index]);
  notifyError();
  printDetails(index, index);
}

void CellcheckerDos::report(u64 indexA, u64 indexB) {
  if (pending_) pending_();
  cprintf(
      "\n\rError found with word pair# %llu or %llu (either could be the "
      "source)\n\r",
      static_cast<unsigned long long>(indexA),
      static_cast<unsigned long long>(indexB));
  notifyError();
  printDetails(indexA, indexB);
}

void CellcheckerDos::reportWord(u64 index, bool inBankB, u32 read,
                                u32 expected) {
  if (pending_) pending_();
  const char bank = inBankB ? 'B' : 'A';
  cprintf(
      "\n\rError found with word# %llu of bank %c, value %u read where %u "
      "was written\n\r",
      static_cast<unsigned long long>(index), bank, read, expected);
  notifyError();
  const u32* word = inBankB ? &bankB[index] : &bankA[index];
  if (watch_ != nullptr) {
    watch_->word(index, inBankB, word, read, expected);
    return;
  }
  char line[160];
  formatWordDetails(line, sizeof line, inBankB, kUnknownAddress,
                    read ^ expected);
  cprintf("%s\n\r", line);
}

void CellcheckerDos::report(u32*, u32*) {
  if (watch_ != nullptr) watch_->pretestMismatch();
}

void CellcheckerDos::printDetails(u64 indexA, u64 indexB) {
  if (watch_ != nullptr) {
    watch_->wordPair(indexA, &bankA[indexA], indexB, &bankB[indexB]);
    return;
  }
  char line[160];
  formatErrorDetails(line, sizeof line, kUnknownAddress, kUnknownAddress,
                     bankA[indexA] ^ bankB[indexB]);
  cprintf("%s\n\r", line);
}

void CellcheckerDos::notifyError() {
  ++errorCount;
  cprintf("Error %i, after %2.f %% coverage\n\r", static_cast<int>(errorCount),
          static_cast<double>(percentCoverage()));
}

void CellcheckerDos::notifyErrors(u32 count) {
  errorCount += count;
  cprintf("Error %i, after %2.f %% coverage\n\r", static_cast<int>(errorCount),
          static_cast<double>(percentCoverage()));
}

void CellcheckerDos::logOut(const char*) {}
