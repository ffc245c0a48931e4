// The memory controllers' error counts on the console. At start-up, once
// the image's EDAC drivers that match this machine are loaded, it says in
// one line which controllers report ECC errors for how many modules, or
// that none does. Between tests it reads the counts again (at most every
// few seconds; before the verdict whatever the spacing); each count that
// grew gets a line naming the module, and joins the bad-memory record,
// which fails a timed run.
#ifndef CELLCHECK_CONSOLE_ECC_WATCH_H_
#define CELLCHECK_CONSOLE_ECC_WATCH_H_

#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "badmem/bad_memory.h"
#include "base/between_tests_work.h"
#include "base/clock.h"
#include "console/look_spacing.h"
#include "dimms/slot_labels.h"
#include "ecc/edac_counters.h"
#include "seam/files.h"

class EccWatch : public BetweenTestsWork {
 public:
  EccWatch(KernelFiles& files, BadMemory& record, Clock now);

  // At start-up, before the memory is measured: finds the controllers
  // (/sys mounted, the drivers loaded) and prints the line. `declined`:
  // each driver that matched the machine but did not load, with the
  // kernel's reason, named in the line when no controller reports.
  void start(
      const std::vector<std::pair<std::string, std::string>>& declined = {});
  // Reads the counts when the last look is kSecondsBetweenLooks old. No
  // allocation.
  void poll();
  // Reads the counts now, however recent the last look.
  void look();

  bool betweenTests() override {
    poll();
    return true;
  }
  void lastLook() override { look(); }

  // The start-up line, without its line feed.
  std::string startLine() const;

  // The inventory's slots, once it is read: a module whose label names
  // one is counted under that slot's name from here on.
  // Called at start-up, after start(): the matching allocates.
  void nameSlots(const SlotNames& slots);
  // Below the modules' lines, when a controller reports ECC for modules:
  // which of its modules count under a slot's name, and which labels name
  // no slot. Empty when no controller reports per module.
  std::vector<std::string> slotLines() const;

  static constexpr time_t kSecondsBetweenLooks = 10;
  // Lines printed for one look at most; more growth is summed up.
  static constexpr int kMaxGrowthLines = 16;

 private:
  // Records one growth; prints its line when `print`.
  void report(const EccGrowth& growth, bool print);

  BadMemory& record_;
  LookSpacing spacing_;
  EdacCounters counters_;
  std::vector<std::pair<std::string, std::string>> declined_;
  // Each module's slot by its label (index as in the counters), empty
  // where the label names none: matched once, read between tests.
  std::vector<std::string> moduleSlots_;
};

#endif  // CELLCHECK_CONSOLE_ECC_WATCH_H_
