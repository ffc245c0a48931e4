#include "console/ecc_watch.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "base/cprintf.h"
#include "base/wording.h"

namespace {

// Controllers named in the start-up line at most; the rest are counted.
constexpr int kNamedControllers = 4;
// Labels that name no slot, named in their line at most.
constexpr int kNamedLabels = 4;

u64 more(u64 before, u64 now) { return now > before ? now - before : 0; }

}  // namespace

EccWatch::EccWatch(KernelFiles& files, BadMemory& record, Clock now)
    : record_(record),
      spacing_(std::move(now), kSecondsBetweenLooks),
      counters_(files) {}

void EccWatch::start(
    const std::vector<std::pair<std::string, std::string>>& declined) {
  declined_ = declined;
  counters_.scan();
  spacing_.start();
  cprintf("%s\n", startLine().c_str());
}

std::string EccWatch::startLine() const {
  std::string names;
  int controllers = 0;
  int modules = 0;
  int unreadable = 0;
  for (int c = 0; c < counters_.controllerCount(); ++c) {
    if (!counters_.reportsEcc(c)) continue;
    const EdacController& controller = counters_.controller(c);
    if (controllers < kNamedControllers) {
      names += std::string(controllers == 0 ? "" : ", ") + controller.name +
               (controller.type[0] == '\0' ? "" : " ") + controller.type;
    }
    ++controllers;
    if (!controller.readable) ++unreadable;
  }
  for (int m = 0; m < counters_.moduleCount(); ++m) {
    const EdacModule& module = counters_.module(m);
    if (!module.ecc || !counters_.reportsEcc(module.controller)) continue;
    ++modules;
    if (!module.readable) ++unreadable;
  }
  if (controllers == 0) {
    // A driver that found no controller it could use says why (no ECC, or
    // ECC switched off in the firmware).
    std::string why;
    for (const auto& failure : declined_) {
      why +=
          (why.empty() ? " (" : "; ") + failure.first + ": " + failure.second;
    }
    return "ECC: no ECC reporting on this machine" +
           (why.empty() ? "" : why + ")") + ".";
  }
  if (controllers > kNamedControllers) {
    names +=
        ", and " + std::to_string(controllers - kNamedControllers) + " more";
  }
  std::string line =
      "ECC: errors counted by " + std::to_string(controllers) +
      plural(controllers, " memory controller (", " memory controllers (") +
      names + ") for " + std::to_string(modules) +
      plural(modules, " memory module", " memory modules");
  if (unreadable != 0) {
    line += "; " + std::to_string(unreadable) +
            plural(unreadable, " count file is", " count files are") +
            " unreadable";
  }
  const int notWatched =
      counters_.controllersNotWatched() + counters_.modulesNotWatched();
  if (notWatched != 0) {
    line += "; " + std::to_string(notWatched) +
            " more past the tables, not watched";
  }
  return line + ".";
}

void EccWatch::nameSlots(const SlotNames& slots) {
  moduleSlots_.assign(static_cast<size_t>(counters_.moduleCount()),
                      std::string());
  for (int m = 0; m < counters_.moduleCount(); ++m) {
    moduleSlots_[m] = slotForLabel(counters_.module(m).label, slots);
  }
}

std::vector<std::string> EccWatch::slotLines() const {
  std::string matched;
  std::string unmatched;
  int unmatchedCount = 0;
  if (moduleSlots_.empty()) return {};
  for (int m = 0; m < counters_.moduleCount(); ++m) {
    const EdacModule& module = counters_.module(m);
    if (!module.ecc || !counters_.reportsEcc(module.controller)) continue;
    const std::string place =
        std::string(counters_.controller(module.controller).name) + " " +
        module.name;
    const std::string& slot = moduleSlots_[m];
    if (!slot.empty()) {
      matched += (matched.empty() ? "" : ", ") + slot + " (" + place + ")";
      continue;
    }
    if (++unmatchedCount <= kNamedLabels) {
      unmatched +=
          (unmatched.empty() ? "" : ", ") + place +
          (module.label[0] == '\0' ? std::string(" (no label)")
                                   : " \"" + std::string(module.label) + "\"");
    }
  }
  std::vector<std::string> lines;
  if (!matched.empty()) lines.push_back("ECC counts by slot: " + matched + ".");
  if (unmatchedCount == 0) return lines;
  if (unmatchedCount > kNamedLabels) {
    unmatched +=
        ", and " + std::to_string(unmatchedCount - kNamedLabels) + " more";
  }
  lines.push_back("ECC: the memory controllers' names for " +
                  std::to_string(unmatchedCount) +
                  plural(unmatchedCount, " module (", " modules (") +
                  unmatched +
                  ") match no slot of the modules above: their counts name the "
                  "controller's place, not a slot.");
  return lines;
}

void EccWatch::poll() {
  if (!spacing_.due()) return;
  look();
}

void EccWatch::look() {
  if (!spacing_.started() || counters_.controllerCount() == 0) return;
  spacing_.looked();
  EccGrowth growth[EdacCounters::kMaxModules + EdacCounters::kMaxControllers];
  const int found = counters_.refresh(
      growth, static_cast<int>(sizeof growth / sizeof *growth));
  for (int i = 0; i < found; ++i) report(growth[i], i < kMaxGrowthLines);
  if (found > kMaxGrowthLines) {
    cprintf(
        "\n\rECC: %d more counts grew; the bad-memory summary has them.\n\r",
        found - kMaxGrowthLines);
  }
}

void EccWatch::report(const EccGrowth& growth, bool print) {
  const EdacController& controller = counters_.controller(growth.controller);
  const bool ofModule = growth.module >= 0;
  // The module by its label and where it sits, as the summary names it.
  char name[sizeof(EccModuleErrors::module)];
  if (ofModule) {
    const EdacModule& module = counters_.module(growth.module);
    const char* where =
        module.location[0] != '\0' ? module.location : module.name;
    const char* slot = static_cast<size_t>(growth.module) < moduleSlots_.size()
                           ? moduleSlots_[growth.module].c_str()
                           : "";
    if (slot[0] != '\0' && strcmp(slot, module.label) != 0) {
      // The slot's name first, as the modules' lines write it.
      snprintf(name, sizeof name, "%s (%s; %s, %s)", slot, module.label,
               controller.name, where);
    } else if (module.label[0] != '\0') {
      snprintf(name, sizeof name, "%s (%s, %s)", module.label, controller.name,
               where);
    } else {
      snprintf(name, sizeof name, "at %s, %s", controller.name, where);
    }
  } else {
    snprintf(name, sizeof name, "%s (%s)%s", controller.name, controller.type,
             controller.modules == 0 ? "" : ", no module named");
  }
  const u64 corrected = more(growth.before.corrected, growth.now.corrected);
  const u64 uncorrected =
      more(growth.before.uncorrected, growth.now.uncorrected);
  record_.recordEccErrors(name, corrected, uncorrected);
  if (!print) return;
  const u64 total = corrected + uncorrected;
  if (ofModule) {
    cprintf("\n\rECC: memory module %s counted %llu more %s", name, ull(total),
            plural(total, "error", "errors"));
  } else {
    cprintf("\n\rECC: memory controller %s (%s) counted %llu more %s%s",
            controller.name, controller.type, ull(total),
            plural(total, "error", "errors"),
            controller.modules == 0 ? "" : " it could not tie to a module");
  }
  cprintf(": %llu corrected, %llu uncorrected so far.\n\r",
          ull(growth.now.corrected), ull(growth.now.uncorrected));
}
