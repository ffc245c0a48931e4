// The transcript: any bytes the console is given (a program's output, a
// driver's messages, a key held down), fed in small pieces as the console's
// ring hands them over, with now and then a count of lines that never came.
// The first byte sets the pieces' sizes; a piece that begins with 0xff is
// such a count instead. What it keeps stays within its storage, and is text
// as a terminal shows it: no control bytes, no line longer than a line.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "stickreport/transcript.h"

namespace {

// Small, so that the head fills and the ring of last lines turns.
constexpr size_t kHeadBytes = 300;
constexpr size_t kTailBytes = 700;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const unsigned sizes = data[0];
  Transcript transcript(kHeadBytes, kTailBytes);
  size_t at = 1;
  for (unsigned n = 0; at < size; ++n) {
    size_t piece = 1 + (sizes * (n + 1)) % 13;
    if (piece > size - at) piece = size - at;
    if (data[at] == 0xff) {
      transcript.lost(piece * 1000003ull);
    } else {
      transcript.feed(reinterpret_cast<const char*>(data + at), piece);
    }
    at += piece;
  }

  size_t kept = 0;
  transcript.forEachLine([&](const char* text, size_t length) {
    FUZZ_CHECK(length <= Transcript::kMaxLineBytes);
    for (size_t i = 0; i < length; ++i) {
      const unsigned char c = static_cast<unsigned char>(text[i]);
      FUZZ_CHECK(c >= ' ' && c != 0x7f);
    }
    kept += length + 1;
  });
  // The head, the ring, the line that says how many were left out, and the
  // line being written.
  FUZZ_CHECK(kept <= kHeadBytes + kTailBytes + 80 + Transcript::kMaxLineBytes);
  return 0;
}
