// The reasoning over a machine's runs: every module (by serial number) and
// every slot is a suspect that must have been present in each run with
// errors; a passing run clears what was in it, and clears it for sure
// only when it tested long enough. What is left is the answer, or the
// next run to make.
#include <algorithm>
#include <cstdio>
#include <set>

#include "base/wording.h"
#include "dimms/run_history.h"

namespace {

using Culprit = HistoryConclusion::Culprit;

struct Suspect {
  bool slot;  // a slot; else a module by serial number
  std::string name;
};

bool present(const RunRecord& run, const Suspect& suspect) {
  for (const ModuleInSlot& m : run.modules) {
    if ((suspect.slot ? m.slot : m.serial) == suspect.name) return true;
  }
  return false;
}

bool hasErrors(const RunRecord& run) { return run.errors > 0; }
bool passed(const RunRecord& run) {
  return run.outcome == RunOutcome::kPass && run.errors == 0;
}
bool trusted(const RunRecord& run) {
  return run.testedSeconds >= kTrustedPassSeconds &&
         run.coveragePercent >= kTrustedPassPercent;
}

std::string duration(u64 seconds) {
  char text[32];
  if (seconds >= 3600) {
    snprintf(text, sizeof text, "%.1f hours", seconds / 3600.0);
  } else {
    const u64 minutes = seconds / 60;
    snprintf(text, sizeof text, "%llu %s", ull(minutes),
             plural(minutes, "minute", "minutes"));
  }
  return text;
}

// How a passing run counts: "passed 2.0 hours", or with its weakness said.
std::string passText(const RunRecord& run) {
  if (trusted(run)) return "passed " + duration(run.testedSeconds);
  return "passed after only " + duration(run.testedSeconds) + " (" +
         std::to_string(run.coveragePercent) +
         " % of a full pass): weak evidence";
}

std::string countText(size_t n, const char* what) {
  if (n == 1) return std::string("the ") + what;
  if (n == 2) return std::string("both ") + what + "s";
  return "all " + std::to_string(n) + " " + what + "s";
}

class Reasoning {
 public:
  Reasoning(const std::vector<RunRecord>& runs,
            const std::vector<ModuleInSlot>& now)
      : runs_(runs), now_(now) {
    // A run that names no module (the firmware listed none) shows nothing
    // about modules or slots.
    for (const RunRecord& run : runs_) {
      errorCount_ += hasErrors(run);
      passCount_ += passed(run);
      if (run.modules.empty()) continue;
      if (hasErrors(run)) errorRuns_.push_back(&run);
      if (passed(run)) passRuns_.push_back(&run);
    }
  }

  HistoryConclusion conclude() {
    HistoryConclusion c;
    c.lines.push_back(headline());
    if (errorCount_ == 0) return c;
    if (errorRuns_.empty()) {
      c.culprit = Culprit::kUnclear;
      c.lines.push_back(
          "The runs with errors name no modules: there is nothing to follow");
      return c;
    }
    std::vector<Suspect> left;
    bool weak = false;  // something was cleared only by a short pass
    for (const Suspect& s : suspects()) {
      if (!inEveryErrorRun(s)) continue;
      const RunRecord* clearing = longestPass(s, true);
      if (clearing == nullptr) {
        left.push_back(s);
      } else if (!trusted(*clearing)) {
        weak = true;
      }
    }
    for (const Suspect& s : left) {
      (s.slot ? c.slots : c.serials).push_back(s.name);
    }
    c.culprit = culprit(c);
    c.known =
        !weak && (c.culprit == Culprit::kModule ||
                  (c.culprit == Culprit::kSlot && !anonymous(c.slots[0])));
    for (const std::string& serial : c.serials) {
      c.lines.push_back(moduleLine(serial));
    }
    c.lines.push_back(finding(c));
    c.lines.push_back(nextStep(c, weak));
    return c;
  }

 private:
  std::string headline() const {
    std::string text = "History: " + std::to_string(runs_.size()) + " " +
                       plural(runs_.size(), "run", "runs") +
                       " of this machine on this stick";
    if (runs_.empty())
      return "History: no earlier run of this machine on this stick";
    if (errorCount_ == 0) return text + ", none with errors";
    return text + ", " + std::to_string(errorCount_) + " with errors, " +
           std::to_string(passCount_) + " passed";
  }

  std::vector<Suspect> suspects() const {
    std::vector<Suspect> all;
    std::set<std::string> serials, slots;
    for (const RunRecord& run : runs_) {
      for (const ModuleInSlot& m : run.modules) {
        if (!m.serial.empty() && serials.insert(m.serial).second) {
          all.push_back({false, m.serial});
        }
        if (!m.slot.empty() && slots.insert(m.slot).second) {
          all.push_back({true, m.slot});
        }
      }
    }
    return all;
  }

  bool inEveryErrorRun(const Suspect& s) const {
    for (const RunRecord* run : errorRuns_) {
      if (!present(*run, s)) return false;
    }
    return true;
  }

  // The strongest passing run that held the suspect (or did not): one
  // long enough to trust, else the longest.
  const RunRecord* longestPass(const Suspect& s, bool with) const {
    const RunRecord* best = nullptr;
    for (const RunRecord* run : passRuns_) {
      if (present(*run, s) != with) continue;
      if (best == nullptr || trusted(*run) > trusted(*best) ||
          (trusted(*run) == trusted(*best) &&
           run->testedSeconds > best->testedSeconds)) {
        best = run;
      }
    }
    return best;
  }

  // The slots a module sat in during the runs with errors, in order.
  std::vector<std::string> errorSlots(const std::string& serial) const {
    std::vector<std::string> slots;
    for (const RunRecord* run : errorRuns_) {
      for (const ModuleInSlot& m : run->modules) {
        if (m.serial == serial &&
            std::find(slots.begin(), slots.end(), m.slot) == slots.end()) {
          slots.push_back(m.slot);
        }
      }
    }
    return slots;
  }

  // Whether a module of no serial number sat in the slot in a run with
  // errors: it cannot be told from its slot.
  bool anonymous(const std::string& slot) const {
    for (const RunRecord* run : errorRuns_) {
      for (const ModuleInSlot& m : run->modules) {
        if (m.slot == slot && m.serial.empty()) return true;
      }
    }
    return false;
  }

  std::string whereNow(const std::string& serial) const {
    for (const ModuleInSlot& m : now_) {
      if (m.serial == serial) return m.slot + " now";
    }
    return "not in the machine now";
  }

  Culprit culprit(const HistoryConclusion& c) const {
    const size_t modules = c.serials.size(), slots = c.slots.size();
    if (modules + slots == 0) return Culprit::kUnclear;
    if (modules == 1 && slots == 0) return Culprit::kModule;
    if (modules == 0 && slots == 1) return Culprit::kSlot;
    if (modules == 1 && slots == 1 &&
        errorSlots(c.serials[0]) == std::vector<std::string>{c.slots[0]}) {
      return Culprit::kModuleOrSlot;
    }
    return Culprit::kSeveral;
  }

  // "Module serial S (DIMM_B1 now) was in both runs with errors; the run
  // without it passed 2.0 hours".
  std::string moduleLine(const std::string& serial) const {
    std::string text = "Module serial " + serial + " (" + whereNow(serial) +
                       ") was in " + countText(errorRuns_.size(), "run") +
                       " with errors";
    const RunRecord* without = longestPass({false, serial}, false);
    if (without != nullptr)
      text += "; the run without it " + passText(*without);
    return text;
  }

  std::string finding(const HistoryConclusion& c) const {
    switch (c.culprit) {
      case Culprit::kModule: {
        const std::vector<std::string> slots = errorSlots(c.serials[0]);
        if (slots.size() > 1) {
          return "Errors followed module serial " + c.serials[0] + " from " +
                 slots.front() + " into " + slots.back() +
                 ": the module, not the slot";
        }
        return "Slot " + slots.front() +
               " passed with another module in it: the module, not the slot";
      }
      case Culprit::kSlot:
        if (anonymous(c.slots[0])) {
          return "Errors came with slot " + c.slots[0] +
                 " in use; its module has no serial number to follow: the "
                 "module or the slot";
        }
        return "Errors stayed with slot " + c.slots[0] +
               ", not with a module: the slot or the board";
      case Culprit::kModuleOrSlot:
        return "Module serial " + c.serials[0] + " was in slot " + c.slots[0] +
               " in every run with errors: the module or its slot";
      case Culprit::kSeveral:
        return "Still in question: " + suspectList(c);
      default:
        return "No one module or slot was in every run with errors and out of "
               "the passing runs: more than one module may be bad, or the "
               "errors come and go";
    }
  }

  static std::string suspectList(const HistoryConclusion& c) {
    std::string text;
    for (const std::string& serial : c.serials) {
      text += (text.empty() ? "module serial " : ", module serial ") + serial;
    }
    for (const std::string& slot : c.slots) {
      text += (text.empty() ? "slot " : ", slot ") + slot;
    }
    return text;
  }

  // A slot of the history other than `slot`, to move a module into.
  std::string otherSlot(const std::string& slot) const {
    for (const RunRecord& run : runs_) {
      for (const ModuleInSlot& m : run.modules) {
        if (m.slot != slot) return m.slot;
      }
    }
    for (const ModuleInSlot& m : now_) {
      if (m.slot != slot) return m.slot;
    }
    return "another slot";
  }

  std::string nextStep(const HistoryConclusion& c, bool weak) const {
    if (weak &&
        (c.culprit == Culprit::kModule || c.culprit == Culprit::kSlot)) {
      return "Next: repeat the short passing run for at least " +
             duration(kTrustedPassSeconds) + " and a full pass, to confirm";
    }
    switch (c.culprit) {
      case Culprit::kModule:
        return "Answer: replace module serial " + c.serials[0] + " (" +
               whereNow(c.serials[0]) + ")";
      case Culprit::kSlot:
        if (anonymous(c.slots[0])) {
          return "Next: put the module of slot " + c.slots[0] + " alone in " +
                 otherSlot(c.slots[0]) +
                 " and run: errors again mean the module, a pass the slot";
        }
        return "Answer: leave slot " + c.slots[0] +
               " empty or have the board seen to; the modules are not at "
               "fault";
      case Culprit::kModuleOrSlot:
        return "Next: put module serial " + c.serials[0] + " alone in " +
               otherSlot(c.slots[0]) +
               " and run: errors again mean the module, a pass the slot";
      case Culprit::kSeveral:
        if (c.serials.size() >= 2) return bisection(c.serials);
        return "Next: test one module at a time, each in a different slot";
      default:
        return "Next: test each module alone, one run each, for at least " +
               duration(kTrustedPassSeconds);
    }
  }

  // Half of the suspect modules out: errors again point at those left in.
  std::string bisection(const std::vector<std::string>& serials) const {
    std::string out;
    for (size_t i = 0; i < serials.size() / 2; ++i) {
      out += (i ? ", " : "") + serials[i] + " (" + whereNow(serials[i]) + ")";
    }
    return "Next: take out module serial " + out +
           " and run again: errors again point at the modules left in, a "
           "pass at those taken out";
  }

  const std::vector<RunRecord>& runs_;
  const std::vector<ModuleInSlot>& now_;
  size_t errorCount_ = 0;
  size_t passCount_ = 0;
  std::vector<const RunRecord*> errorRuns_;
  std::vector<const RunRecord*> passRuns_;
};

bool sharesModule(const RunRecord& run, const std::set<std::string>& serials) {
  for (const ModuleInSlot& m : run.modules) {
    if (!m.serial.empty() && serials.count(m.serial)) return true;
  }
  return false;
}

}  // namespace

std::vector<RunRecord> machineRuns(const std::vector<RunRecord>& all,
                                   const std::string& machineSerial,
                                   const std::vector<ModuleInSlot>& now) {
  std::vector<bool> mine(all.size());
  if (!machineSerial.empty()) {
    for (size_t i = 0; i < all.size(); ++i) {
      mine[i] = all[i].machine == machineSerial;
    }
  } else {
    // Without a serial number the machine is known by its modules, which
    // change from run to run: every run linked to the present ones through
    // shared module serials.
    std::set<std::string> serials;
    for (const ModuleInSlot& m : now) {
      if (!m.serial.empty()) serials.insert(m.serial);
    }
    for (bool grew = true; grew;) {
      grew = false;
      for (size_t i = 0; i < all.size(); ++i) {
        if (mine[i] || !all[i].machine.empty() ||
            !sharesModule(all[i], serials)) {
          continue;
        }
        mine[i] = grew = true;
        for (const ModuleInSlot& m : all[i].modules) {
          if (!m.serial.empty()) serials.insert(m.serial);
        }
      }
    }
  }
  std::vector<RunRecord> runs;
  for (size_t i = 0; i < all.size(); ++i) {
    if (mine[i]) runs.push_back(all[i]);
  }
  return runs;
}

HistoryConclusion concludeHistory(const std::vector<RunRecord>& runs,
                                  const std::vector<ModuleInSlot>& now) {
  return Reasoning(runs, now).conclude();
}
