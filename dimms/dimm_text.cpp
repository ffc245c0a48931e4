#include "dimms/dimm_text.h"

#include <cctype>
#include <cstdio>
#include <cstring>

std::string printableText(const uint8_t* bytes, size_t size) {
  std::string text;
  bool blank = false;
  for (size_t i = 0; i < size && bytes[i] != 0; ++i) {
    const uint8_t u = bytes[i];
    if (u <= ' ' || u == 0x7f) {
      blank = true;
      continue;
    }
    if (text.size() + (blank && !text.empty() ? 2 : 1) > kMaxDimmText) break;
    if (blank && !text.empty()) text += ' ';
    blank = false;
    text += u < 0x7f ? static_cast<char>(u) : '?';
  }
  return text;
}

namespace {

std::string lower(const std::string& text) {
  std::string out;
  for (char c : text) out += static_cast<char>(tolower(c));
  return out;
}

// "sernum0", "partnum12": a filler's stem and its index.
bool stemAndDigits(const std::string& text, const char* stem) {
  const size_t n = strlen(stem);
  if (text.compare(0, n, stem) != 0) return false;
  for (size_t i = n; i < text.size(); ++i) {
    if (!isdigit(static_cast<unsigned char>(text[i])) && text[i] != ' ' &&
        text[i] != '_') {
      return false;
    }
  }
  return true;
}

}  // namespace

bool isPlaceholder(const std::string& text) {
  if (text.empty()) return true;
  static const char* const kFillers[] = {
      "not specified",
      "unknown",
      "to be filled by o.e.m.",
      "undefined",
      "default string",
      "none",
      "n/a",
      "na",
      "not available",
      "not installed",
      "no dimm",
      "empty",
      "not applicable",
      "0x00",
      "0x0000",
      "manufacturer",
      "serial number",
      "part number",
      "dimm",
      "oem",
      "o.e.m.",
  };
  const std::string l = lower(text);
  for (const char* filler : kFillers) {
    if (l == filler) return true;
  }
  for (const char* stem : {"sernum", "partnum", "manufacturer", "assettagnum",
                           "asset tag", "serial", "part"}) {
    if (l.size() > strlen(stem) && stemAndDigits(l, stem)) return true;
  }
  // One character repeated: "00000000", "FFFFFFFF", "........".
  return text.find_first_not_of(text[0]) == std::string::npos;
}

std::string realOrEmpty(const std::string& text) {
  return isPlaceholder(text) ? std::string() : text;
}

std::string sizeText(u64 bytes) {
  constexpr u64 kGiB = u64{1} << 30;
  char text[32];
  if (bytes >= kGiB && bytes % kGiB == 0) {
    snprintf(text, sizeof text, "%llu GiB",
             static_cast<unsigned long long>(bytes / kGiB));
  } else if (bytes >= kGiB) {
    snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / kGiB);
  } else {
    snprintf(text, sizeof text, "%llu MiB",
             static_cast<unsigned long long>(bytes / kMiB));
  }
  return text;
}
