// Small helpers on text that the parsers of several rooms share.
#ifndef CELLCHECK_BASE_TEXT_H_
#define CELLCHECK_BASE_TEXT_H_

#include <cstddef>
#include <string_view>

// Whether `text` holds `prefix` at `at` (at its start by default); false
// when `at` lies past the end of `text`.
inline bool startsWith(std::string_view text, std::string_view prefix,
                       size_t at = 0) {
  return at <= text.size() && text.substr(at, prefix.size()) == prefix;
}

#endif  // CELLCHECK_BASE_TEXT_H_
