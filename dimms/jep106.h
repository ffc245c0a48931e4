// Memory module makers by their JEDEC JEP106 identification code: the
// count of continuation codes (0x7f) before the maker's code, and the code,
// each with its odd-parity bit 7, as SPD EEPROMs and SMBIOS 3.2 store them.
#ifndef CELLCHECK_DIMMS_JEP106_H_
#define CELLCHECK_DIMMS_JEP106_H_

#include <cstdint>
#include <string>

// The maker's name ("Kingston", "SK hynix"); for a code of no maker known
// here, "maker 0xBB:0xCC" with the two bytes as stored; empty when the
// bytes say nothing (both 0, both 0xff, or a code that fails its parity).
std::string jep106Maker(uint8_t bank, uint8_t code);

#endif  // CELLCHECK_DIMMS_JEP106_H_
