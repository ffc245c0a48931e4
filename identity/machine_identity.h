// Who the machine under test is, as its firmware says (SMBIOS, through
// /sys/class/dmi/id): one line at start-up, and the serial number names the
// machine in every event it sends, so a collector can tell forty machines
// apart.
#ifndef CELLCHECK_IDENTITY_MACHINE_IDENTITY_H_
#define CELLCHECK_IDENTITY_MACHINE_IDENTITY_H_

#include <string>

#include "seam/files.h"

struct MachineIdentity {
  // Printable ASCII each, at most kMaxFieldLength; empty when unknown.
  std::string vendor;
  std::string product;
  std::string serial;
  std::string boardSerial;
  std::string firmware;  // the firmware (BIOS) version
};

constexpr size_t kMaxFieldLength = 64;

// Reads the identity through kernel.file(); /sys must be mounted. A file
// that is missing or unreadable (the serials need root) leaves its field
// empty.
MachineIdentity readMachineIdentity(KernelFiles& kernel);

// "Machine: VENDOR PRODUCT, serial S, board serial B, firmware F", each
// unknown field as "unknown".
std::string identityLine(const MachineIdentity& identity);

// The name the machine goes by in events: its serial number, else its
// board's, when either is a real one (firmware often fills them with a
// placeholder such as "To be filled by O.E.M."); else empty. Anything but
// letters, digits, '-', '_' and '.' becomes '_', and so does a leading '.':
// collectors make file names of it (one file per machine), which must stay
// one plain name.
std::string machineName(const MachineIdentity& identity);

#endif  // CELLCHECK_IDENTITY_MACHINE_IDENTITY_H_
