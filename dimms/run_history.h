// Every run's result on the stick, kept across boots so the bad module can
// be found the way a technician finds it: by taking modules out and moving
// them between runs. One line per run, appended; each line carries its
// format's tag and a checksum, so a line cut short by a power-off, or torn
// by a later append, is skipped when the file is read.
#ifndef CELLCHECK_DIMMS_RUN_HISTORY_H_
#define CELLCHECK_DIMMS_RUN_HISTORY_H_

#include <string>
#include <vector>

#include "base/types.h"

struct ModuleInSlot {
  std::string slot;
  std::string serial;  // empty when the module has no real serial number
};

enum class RunOutcome {
  kPass,     // the verdict PASS
  kFail,     // the verdict FAIL
  kStopped,  // ended before a verdict (errors so far in `errors`)
};

struct RunRecord {
  std::string machine;  // the machine's serial number; empty without one
  std::string when;     // the run's start, as the caller writes it
  RunOutcome outcome = RunOutcome::kStopped;
  u64 errors = 0;
  u64 testedSeconds = 0;    // of full testing
  u32 coveragePercent = 0;  // of one full pass of every test; may pass 100
  std::vector<ModuleInSlot> modules;
  std::vector<u64> suspectPages;  // physical addresses
};

// Bounds on what one record keeps.
constexpr size_t kMaxHistoryModules = 64;
constexpr size_t kMaxHistoryPages = 64;

// The checksum that ends a record's line (CRC-32, as eight hex digits):
// of the line before its last blank.
u32 runLineChecksum(const std::string& text);

// The record as one line, ending in '\n'. The writer appends it after a
// '\n' of its own when the file does not end with one, so a torn line
// never swallows the next record.
std::string encodeRunRecord(const RunRecord& record);

// Every whole record of `text` (the history file), in file order; lines
// that are cut, torn, altered or of another format are skipped. Text
// fields come back printable, as the inventory gives them.
std::vector<RunRecord> parseRunHistory(const std::string& text);

// This machine's runs among `all`: those with its serial number; without
// one, the runs of no serial that share a module serial with the modules
// present now, or with such a run (modules move between runs).
std::vector<RunRecord> machineRuns(const std::vector<RunRecord>& all,
                                   const std::string& machineSerial,
                                   const std::vector<ModuleInSlot>& now);

// What the runs show about the modules and slots.
struct HistoryConclusion {
  enum class Culprit {
    kNone,          // no run found errors (or no runs)
    kModule,        // one module explains every run
    kSlot,          // one slot (or the board behind it) does
    kModuleOrSlot,  // one module, always in the same slot
    kSeveral,       // several modules or slots remain
    kUnclear,       // no single module or slot explains the runs
  } culprit = Culprit::kNone;
  std::vector<std::string> serials;  // the suspect modules
  std::vector<std::string> slots;    // the suspect slots
  // The answer rests on errors and on passing runs long enough to trust.
  bool known = false;
  std::vector<std::string> lines;  // for the screen and the reports
};

// A passing run this long, over a whole pass of every test, clears what
// was in it; a shorter one is weak evidence and the text says so.
constexpr u64 kTrustedPassSeconds = 3600;
constexpr u32 kTrustedPassPercent = 100;

// The conclusion from this machine's runs (oldest first); `now` names the
// slots the modules are in at present.
HistoryConclusion concludeHistory(const std::vector<RunRecord>& runs,
                                  const std::vector<ModuleInSlot>& now);

#endif  // CELLCHECK_DIMMS_RUN_HISTORY_H_
