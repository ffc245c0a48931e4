#include "console/bad_memory_watch.h"

#include <cstdio>
#include <utility>

#include "badmem/summary_text.h"
#include "base/cprintf.h"
#include "base/hex.h"

namespace {

// Prints each summary line as a line of the console.
class ConsoleLines : public LineSink {
 public:
  void line(const char* text) override { cprintf("%s\n\r", text); }
};

}  // namespace

void formatErrorDetails(char* out, size_t size, u64 addressA, u64 addressB,
                        u32 differing) {
  const bool knownA = addressA != kUnknownAddress;
  const bool knownB = addressB != kUnknownAddress;
  char partA[32] = "physical address unknown";
  char partB[32] = "physical address unknown";
  if (knownA) formatHex(addressA, partA);
  if (knownB) formatHex(addressB, partB);
  if (!knownA && !knownB) {
    snprintf(out, size,
             "Bank A and bank B: physical address unknown; bits 0x%08x "
             "differ",
             differing);
  } else {
    snprintf(out, size,
             "Physical addresses: bank A %s, bank B %s (either could be "
             "bad); bits 0x%08x differ",
             partA, partB, differing);
  }
}

void formatWordDetails(char* out, size_t size, bool inBankB, u64 address,
                       u32 differing) {
  const char bank = inBankB ? 'B' : 'A';
  if (address == kUnknownAddress) {
    snprintf(out, size, "Bank %c: physical address unknown; bits 0x%08x differ",
             bank, differing);
    return;
  }
  char part[32];
  formatHex(address, part);
  snprintf(out, size,
           "Physical address: bank %c %s (this word is bad); bits 0x%08x "
           "differ",
           bank, part, differing);
}

BadMemoryWatch::BadMemoryWatch(BadMemory& record, PhysicalAddresses& addresses,
                               Clock now)
    : record_(record), addresses_(addresses), now_(std::move(now)) {}

void BadMemoryWatch::wordPair(u64 indexA, const u32* wordA, u64 indexB,
                              const u32* wordB) {
  // Read again now, as the error line reads them.
  const ReportedPair pair{indexA,
                          indexB,
                          *wordA,
                          *wordB,
                          addresses_.of(wordA),
                          addresses_.of(wordB)};
  char line[160];
  formatErrorDetails(line, sizeof line, pair.addressA, pair.addressB,
                     pair.valueA ^ pair.valueB);
  cprintf("%s\n\r", line);
  record_.recordPair(pair);
  poll();
}

void BadMemoryWatch::word(u64 index, bool inBankB, const u32* word, u32 read,
                          u32 expected) {
  // The value the test read, not the word's value now: the word may have
  // been written again since.
  const u64 address = addresses_.of(word);
  ReportedPair pair{index,    index,           expected,
                    expected, kUnknownAddress, kUnknownAddress};
  if (inBankB) {
    pair.valueB = read;
    pair.addressB = address;
    pair.suspect = ReportedPair::Suspect::kWordB;
  } else {
    pair.valueA = read;
    pair.addressA = address;
    pair.suspect = ReportedPair::Suspect::kWordA;
  }
  char line[160];
  formatWordDetails(line, sizeof line, inBankB, address, read ^ expected);
  cprintf("%s\n\r", line);
  record_.recordPair(pair);
  poll();
}

void BadMemoryWatch::poll() {
  if (record_.growth() == shownGrowth_) return;
  if (shown_ && now_() - shownAt_ < kSecondsBetweenSummaries) return;
  printSummary();
}

void BadMemoryWatch::printSummary() {
  shown_ = true;
  shownAt_ = now_();
  shownGrowth_ = record_.growth();
  // A blank line sets the summary apart from the lines above it.
  cprintf("\n\r");
  ConsoleLines console;
  renderSummary(record_, console);
}
