#include "identity/machine_identity.h"

#include <cctype>
#include <cstring>

#include "base/small_file.h"

namespace {

// What a field holds once cleaned: its printable ASCII, runs of blanks and
// anything unprintable as one blank, no blanks at either end, cut to
// kMaxFieldLength.
std::string cleaned(const std::string& raw) {
  std::string text;
  bool blank = false;
  for (char c : raw) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u > ' ' && u < 127) {
      if (blank && !text.empty()) text += ' ';
      text += c;
      blank = false;
    } else {
      blank = true;
    }
    if (text.size() >= kMaxFieldLength) break;
  }
  return text.substr(0, kMaxFieldLength);
}

std::string readField(KernelFiles& kernel, const char* name) {
  const std::string path = std::string("/sys/class/dmi/id/") + name;
  return cleaned(readSmallFile(kernel.file(path.c_str())));
}

// Serial numbers that firmware writes when nobody set one.
bool isPlaceholder(const std::string& serial) {
  static const char* const kPlaceholders[] = {
      "to be filled by o.e.m.",
      "default string",
      "system serial number",
      "not specified",
      "not applicable",
      "none",
      "0",
      "123456789",
      "0123456789",
  };
  std::string lower;
  for (char c : serial) lower += static_cast<char>(tolower(c));
  for (const char* placeholder : kPlaceholders) {
    if (lower == placeholder) return true;
  }
  // All one character ("00000000", "........"): no serial either.
  return serial.find_first_not_of(serial[0]) == std::string::npos;
}

std::string orUnknown(const std::string& field) {
  return field.empty() ? "unknown" : field;
}

}  // namespace

MachineIdentity readMachineIdentity(KernelFiles& kernel) {
  MachineIdentity identity;
  identity.vendor = readField(kernel, "sys_vendor");
  identity.product = readField(kernel, "product_name");
  identity.serial = readField(kernel, "product_serial");
  identity.boardSerial = readField(kernel, "board_serial");
  identity.firmware = readField(kernel, "bios_version");
  return identity;
}

std::string identityLine(const MachineIdentity& identity) {
  std::string maker = identity.vendor;
  if (!identity.product.empty()) {
    maker += (maker.empty() ? "" : " ") + identity.product;
  }
  return "Machine: " + orUnknown(maker) + ", serial " +
         orUnknown(identity.serial) + ", board serial " +
         orUnknown(identity.boardSerial) + ", firmware " +
         orUnknown(identity.firmware);
}

std::string machineName(const MachineIdentity& identity) {
  for (const std::string* serial : {&identity.serial, &identity.boardSerial}) {
    if (serial->empty() || isPlaceholder(*serial)) continue;
    std::string name = *serial;
    for (char& c : name) {
      if (!isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' &&
          c != '.') {
        c = '_';
      }
    }
    if (name[0] == '.') name[0] = '_';
    return name;
  }
  return std::string();
}
