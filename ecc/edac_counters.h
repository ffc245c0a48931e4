// The memory controllers' error counts, as Linux's EDAC drivers keep them
// under /sys/devices/system/edac/mc: each controller (mcN) counts the
// corrected and uncorrected errors it saw, and those it could not tie to a
// memory module; each module it drives (dimmN, or rankN where the driver
// counts by rank) has counts of its own, a label and where it sits. A
// module whose controller corrects nothing (its EDAC mode "None") counts
// nothing either.
//
// scan() finds controllers and modules once, at start-up (it allocates);
// refresh() reads every count again into the same fixed tables and says
// which grew, without allocating: it runs between tests, with the test area
// taken. Every file is read through the kernel seam's paths, with the one
// small-file reader (base/small_file.h).
#ifndef CELLCHECK_ECC_EDAC_COUNTERS_H_
#define CELLCHECK_ECC_EDAC_COUNTERS_H_

#include <cstddef>

#include "base/fixed_table.h"
#include "base/types.h"
#include "seam/files.h"

struct EccCounts {
  u64 corrected;
  u64 uncorrected;
};

struct EdacController {
  char name[16];  // "mc0"
  char type[64];  // the driver's name for it (mc_name), e.g. "Skylake Socket#0
                  // IMC#0"
  EccCounts total;         // ce_count, ue_count
  EccCounts unattributed;  // ce_noinfo_count, ue_noinfo_count
  bool readable;           // its counts could be read the last time
  int modules;             // how many of the modules below are its
  char folder[256];        // where its files are
};

struct EdacModule {
  int controller;     // index of its controller
  char name[16];      // "dimm3" or "rank3"
  char label[64];     // dimm_label; empty when the driver gave none
  char location[64];  // dimm_location, e.g. "channel 0 slot 0"
  bool ecc;           // its EDAC mode is not "None"
  bool readable;      // its counts could be read the last time
  EccCounts counts;   // dimm_ce_count, dimm_ue_count
  char folder[256];
};

// A count file's text, without its line feed: decimal digits and nothing
// else (no sign, no blank), at most 19 of them, so that any u64 holds it.
// False for anything else.
bool parseEdacCount(const char* text, u64* count);

// Every byte of `text` outside printable ASCII becomes '?': labels and names
// from the drivers reach the console.
void makePrintable(char* text);

// Whether `now` grew from `before`, judged count by count: a count that went
// down (the counters were reset, or a 32-bit counter wrapped) is no growth
// and starts afresh from its new value, while the other one's growth stands.
// `from` is the reading growth counts from: `before`, with each count that
// went down at its new value.
bool grewFrom(const EccCounts& before, const EccCounts& now, EccCounts* from);

// One count that grew since the last reading. `module` is -1 for a
// controller's own counts: the errors it could not tie to a module, or all
// its errors when it lists no module.
struct EccGrowth {
  int controller;
  int module;
  EccCounts before;  // what growth counts from: a count that went down is
                     // at its new value here, and did not grow
  EccCounts now;
};

class EdacCounters {
 public:
  static constexpr int kMaxControllers = 64;
  // Eight sockets of twelve channels with two modules each, counted by rank
  // where a driver does so, fit.
  static constexpr int kMaxModules = 512;

  explicit EdacCounters(KernelFiles& kernel) : kernel_(kernel) {}
  EdacCounters(const EdacCounters&) = delete;
  EdacCounters& operator=(const EdacCounters&) = delete;

  // Finds the controllers and their modules, and reads their counts: the
  // starting point that growth is measured from. /sys must be mounted.
  void scan();
  // Reads every count again. Writes each growth to `out` (at most `max`)
  // and returns how many there were, which may be more than `max`. A count
  // that cannot be read keeps its last value; one that went down (the
  // counters were reset, or wrapped) is the new starting point, not growth,
  // and hides nothing the other count of the same module gained.
  int refresh(EccGrowth* out, int max);

  int controllerCount() const { return controllers_.size(); }
  const EdacController& controller(int i) const { return controllers_[i]; }
  int moduleCount() const { return modules_.size(); }
  const EdacModule& module(int i) const { return modules_[i]; }
  // Controllers and modules past the tables, not watched.
  int controllersNotWatched() const {
    return static_cast<int>(controllers_.notKept());
  }
  int modulesNotWatched() const { return static_cast<int>(modules_.notKept()); }
  // Whether the controller reports ECC errors: one of its modules has ECC,
  // or it lists no module (its own counts are all there is).
  bool reportsEcc(int controller) const;

 private:
  KernelFiles& kernel_;
  FixedTable<EdacController, kMaxControllers> controllers_;
  FixedTable<EdacModule, kMaxModules> modules_;
};

#endif  // CELLCHECK_ECC_EDAC_COUNTERS_H_
