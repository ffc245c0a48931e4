// Text read from firmware tables and module EEPROMs, made safe to print:
// bounded, printable ASCII only, and told apart from the placeholders
// firmware writes where it knows nothing.
#ifndef CELLCHECK_DIMMS_DIMM_TEXT_H_
#define CELLCHECK_DIMMS_DIMM_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/types.h"

// The longest text kept of any one field.
constexpr size_t kMaxDimmText = 64;

// `size` bytes (or up to the first NUL) as printable ASCII: blanks and
// control bytes become one blank, runs of them collapse, none at either
// end; a byte above 0x7e becomes '?'. At most kMaxDimmText characters.
std::string printableText(const uint8_t* bytes, size_t size);

// Whether a field holds no information: empty, a filler such as "Not
// Specified", "To be filled by O.E.M.", "SerNum0", "PartNum3",
// "Manufacturer0", or one character repeated ("00000000", "FFFF").
bool isPlaceholder(const std::string& text);

// The field, or empty when it is a placeholder.
std::string realOrEmpty(const std::string& text);

// A size as the lines show it: "16 GiB", "512 MiB", "1.5 GiB".
std::string sizeText(u64 bytes);

#endif  // CELLCHECK_DIMMS_DIMM_TEXT_H_
