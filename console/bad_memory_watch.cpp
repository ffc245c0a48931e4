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
