// Summary lines as a run with 90 scattered bad pages writes them, and the
// way back from split parts to those lines, for the events tests.
#ifndef CELLCHECK_TESTS_EVENTS_SUMMARY_LINES_H_
#define CELLCHECK_TESTS_EVENTS_SUMMARY_LINES_H_

#include <cstdio>
#include <string>
#include <vector>

// Frame numbers of every width from 4 to 9 hex digits, in a fixed order.
inline std::string frame(int i) {
  char text[32];
  const unsigned long long value =
      (0x358be5ull * static_cast<unsigned long long>(i + 1)) >> (i % 6 * 4);
  snprintf(text, sizeof text, "0x%llx", value | 0x1000);
  return text;
}

inline std::vector<std::string> summaryLikeLines() {
  std::string windows =
      "Keep Windows off them, as administrator: bcdedit "
      "/set {badmemory} badmemorylist";
  for (int i = 0; i < 90; ++i) windows += " " + frame(i);
  std::string pages = "Suspect pages, most named first:";
  for (int i = 0; i < 8; ++i) {
    pages +=
        std::string(i == 0 ? "" : ",") + " " + frame(i) + "000 (1234567 times)";
  }
  pages += ", and 82 more";
  std::string bits = "Bits that differed: 0xffffffff =";
  for (int bit = 31; bit >= 0; --bit) {
    bits += std::string(bit == 31 ? "" : ",") + " bit " + std::to_string(bit) +
            " (" + std::to_string(1000 + bit) + " times)";
  }
  bits +=
      "; several bits in several pages: likely a module, its seating or "
      "its settings";
  std::string ecc = "ECC errors by memory module:";
  for (int i = 0; i < 8; ++i) {
    ecc += std::string(i == 0 ? "" : ";") + " CPU_SrcID#0_MC#" +
           std::to_string(i) + "_Chan#0_DIMM#0 (mc" + std::to_string(i) +
           ", channel 0 slot 0): 12 corrected, 1 uncorrected";
  }
  return {
      "Bad memory: 180 errors named 90 suspect pages; 0 pre-test "
      "mismatches; 0 ranges from the kernel's early check",
      pages,
      bits,
      ecc,
      "Keep Linux off them, on its kernel command line (in GRUB's config "
      "write each $ as \\$): memmap=4K$0x3468a0000 memmap=8K$0x358be5000 "
      "memmap=1028K$0x100000000 memmap=4K$0x7ffff000 (90 ranges merged "
      "into 4: the kernel places itself around at most 4)",
      windows};
}

constexpr char kContinuesMark[] = " (continues)";
constexpr char kContinuedMark[] = "(continued) ";

// The lines back from the texts of the parts, in order: lines joined by
// " | ", a line that goes on ending with " (continues)" and going on in the
// next piece after "(continued) ", cut where a blank was.
inline std::vector<std::string> rejoinParts(
    const std::vector<std::string>& texts) {
  std::vector<std::string> pieces;
  for (const std::string& text : texts) {
    for (size_t at = 0;;) {
      const size_t bar = text.find(" | ", at);
      pieces.push_back(text.substr(at, bar - at));
      if (bar == std::string::npos) break;
      at = bar + 3;
    }
  }
  std::vector<std::string> lines;
  bool goesOn = false;
  const std::string continues = kContinuesMark;
  const std::string continued = kContinuedMark;
  for (std::string piece : pieces) {
    const bool wasGoingOn = goesOn;
    goesOn = piece.size() >= continues.size() &&
             piece.compare(piece.size() - continues.size(), continues.size(),
                           continues) == 0;
    if (goesOn) piece.erase(piece.size() - continues.size());
    if (wasGoingOn && piece.compare(0, continued.size(), continued) == 0) {
      lines.back() += " " + piece.substr(continued.size());
    } else {
      lines.push_back(piece);
    }
  }
  return lines;
}

#endif  // CELLCHECK_TESTS_EVENTS_SUMMARY_LINES_H_
