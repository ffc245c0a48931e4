#include "ecc/edac_counters.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/small_file.h"

namespace {

constexpr char kEdacFolder[] = "/sys/devices/system/edac/mc";

// The file `folder`/`name` into `out`, without the blanks and line feed at
// its end. False when it cannot be read. No allocation.
bool readSmall(const char* folder, const char* name, char* out, size_t size) {
  char path[320];
  if (snprintf(path, sizeof path, "%s/%s", folder, name) >=
      static_cast<int>(sizeof path)) {
    return false;
  }
  if (!readFileLine(path, out, size)) return false;
  // Labels and names reach the console: no byte of theirs may act on it.
  makePrintable(out);
  return true;
}

bool readCount(const char* folder, const char* name, u64* count) {
  char text[32];
  return readSmall(folder, name, text, sizeof text) &&
         parseEdacCount(text, count);
}

bool readCounts(const char* folder, const char* corrected,
                const char* uncorrected, EccCounts* counts) {
  EccCounts read{};
  if (!readCount(folder, corrected, &read.corrected) ||
      !readCount(folder, uncorrected, &read.uncorrected)) {
    return false;
  }
  *counts = read;
  return true;
}

bool readControllerCounts(EdacController* controller) {
  EccCounts total;
  EccCounts unattributed;
  if (!readCounts(controller->folder, "ce_count", "ue_count", &total)) {
    return false;
  }
  // Drivers that tie every error to a module may still lack these.
  if (!readCounts(controller->folder, "ce_noinfo_count", "ue_noinfo_count",
                  &unattributed)) {
    unattributed = EccCounts{0, 0};
  }
  controller->total = total;
  controller->unattributed = unattributed;
  return true;
}

// Entries of `folder` named PREFIX followed by a number, in the number's
// order.
std::vector<std::pair<long, std::string>> numbered(const std::string& folder,
                                                   const char* prefix) {
  std::vector<std::pair<long, std::string>> found;
  const size_t length = strlen(prefix);
  for (const std::string& entry : folderEntries(folder)) {
    const char* name = entry.c_str();
    if (strncmp(name, prefix, length) != 0 || name[length] == '\0') continue;
    char* end = nullptr;
    const long number = strtol(name + length, &end, 10);
    if (*end == '\0' && number >= 0) found.emplace_back(number, entry);
  }
  std::sort(found.begin(), found.end());
  return found;
}

void copyText(char* out, size_t size, const std::string& text) {
  snprintf(out, size, "%s", text.c_str());
}

}  // namespace

bool parseEdacCount(const char* text, u64* count) {
  constexpr int kMaxDigits = 19;  // 10^19 - 1 < 2^64
  u64 value = 0;
  int digits = 0;
  for (; text[digits] >= '0' && text[digits] <= '9'; ++digits) {
    if (digits == kMaxDigits) return false;
    value = value * 10 + static_cast<u64>(text[digits] - '0');
  }
  if (digits == 0 || text[digits] != '\0') return false;
  *count = value;
  return true;
}

void makePrintable(char* text) {
  for (; *text != '\0'; ++text) {
    const unsigned char c = static_cast<unsigned char>(*text);
    if (c < ' ' || c > '~') *text = '?';
  }
}

bool grewFrom(const EccCounts& before, const EccCounts& now, EccCounts* from) {
  from->corrected =
      now.corrected < before.corrected ? now.corrected : before.corrected;
  from->uncorrected = now.uncorrected < before.uncorrected ? now.uncorrected
                                                           : before.uncorrected;
  return now.corrected > from->corrected || now.uncorrected > from->uncorrected;
}

void EdacCounters::scan() {
  controllers_.clear();
  modules_.clear();
  const std::string root = kernel_.file(kEdacFolder);
  for (const auto& mc : numbered(root, "mc")) {
    EdacController found{};
    copyText(found.name, sizeof found.name, mc.second);
    copyText(found.folder, sizeof found.folder, root + "/" + mc.second);
    if (!controllers_.add(found)) continue;
    const int index = controllers_.size() - 1;
    EdacController& controller = controllers_[index];
    readSmall(controller.folder, "mc_name", controller.type,
              sizeof controller.type);
    controller.readable = readControllerCounts(&controller);

    // Newer drivers name modules dimmN; those that count by rank, rankN.
    for (const char* kind : {"dimm", "rank"}) {
      for (const auto& entry : numbered(controller.folder, kind)) {
        EdacModule module{};
        module.controller = index;
        copyText(module.name, sizeof module.name, entry.second);
        copyText(module.folder, sizeof module.folder,
                 std::string(controller.folder) + "/" + entry.second);
        readSmall(module.folder, "dimm_label", module.label,
                  sizeof module.label);
        readSmall(module.folder, "dimm_location", module.location,
                  sizeof module.location);
        char mode[32] = "";
        readSmall(module.folder, "dimm_edac_mode", mode, sizeof mode);
        module.ecc = strcmp(mode, "None") != 0;
        module.readable = readCounts(module.folder, "dimm_ce_count",
                                     "dimm_ue_count", &module.counts);
        if (modules_.add(module)) ++controller.modules;
      }
    }
  }
}

bool EdacCounters::reportsEcc(int controller) const {
  if (controllers_[controller].modules == 0) return true;
  for (const EdacModule& module : modules_) {
    if (module.controller == controller && module.ecc) return true;
  }
  return false;
}

int EdacCounters::refresh(EccGrowth* out, int max) {
  int found = 0;
  const auto note = [&](const EccGrowth& growth) {
    if (found < max) out[found] = growth;
    ++found;
  };
  for (int i = 0; i < modules_.size(); ++i) {
    EdacModule& module = modules_[i];
    EccCounts now;
    module.readable =
        readCounts(module.folder, "dimm_ce_count", "dimm_ue_count", &now);
    if (!module.readable) continue;
    EccCounts from;
    if (grewFrom(module.counts, now, &from)) {
      note(EccGrowth{module.controller, i, from, now});
    }
    module.counts = now;
  }
  for (int c = 0; c < controllers_.size(); ++c) {
    EdacController& controller = controllers_[c];
    const EccCounts total = controller.total;
    const EccCounts unattributed = controller.unattributed;
    controller.readable = readControllerCounts(&controller);
    if (!controller.readable) continue;
    // With modules listed, their own counts say where; what the controller
    // could not place is news of its own. Without, its totals are all.
    const EccCounts& before = controller.modules == 0 ? total : unattributed;
    const EccCounts& now =
        controller.modules == 0 ? controller.total : controller.unattributed;
    EccCounts from;
    if (grewFrom(before, now, &from)) note(EccGrowth{c, -1, from, now});
  }
  return found;
}
