#include "dimms/slot_labels.h"

#include <cctype>

namespace {

std::string lower(const std::string& text) {
  std::string out;
  for (const char c : text) {
    out += static_cast<char>(tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

// Whether `label` is `slot`, or ends with it after a blank or an
// underscore (a label's bank locator before it).
bool names(const std::string& label, const std::string& slot) {
  if (slot.empty() || label.size() < slot.size()) return false;
  const std::string l = lower(label);
  const std::string s = lower(slot);
  if (l == s) return true;
  if (l.compare(l.size() - s.size(), s.size(), s) != 0) return false;
  const char before = l[l.size() - s.size() - 1];
  return before == ' ' || before == '_' || before == '-';
}

}  // namespace

SlotNames slotNames(const Inventory& inventory) {
  SlotNames names;
  for (const Module& module : inventory.modules) {
    names.slots.push_back(module.slot);
  }
  return names;
}

std::string slotForLabel(const std::string& label, const SlotNames& slots) {
  std::string found;
  for (const std::string& slot : slots.slots) {
    if (!names(label, slot)) continue;
    // A longer match is the better one ("A DIMM 0" over "DIMM 0").
    if (!found.empty() && found.size() == slot.size()) return std::string();
    if (found.empty() || slot.size() > found.size()) found = slot;
  }
  return found;
}
