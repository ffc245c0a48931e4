// What a harness holds a parser to: a property that fails is a finding,
// reported like a crash, with the input that broke it saved by libFuzzer.
#ifndef CELLCHECK_FUZZ_FUZZ_CHECK_H_
#define CELLCHECK_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition)                                             \
  do {                                                                    \
    if (!(condition)) {                                                   \
      fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, \
              #condition);                                                \
      abort();                                                            \
    }                                                                     \
  } while (0)

// The input's bytes cut at each `separator`: the fields of one case.
inline std::string field(const std::string& input, char separator, int n) {
  size_t at = 0;
  for (int i = 0; i < n; ++i) {
    at = input.find(separator, at);
    if (at == std::string::npos) return std::string();
    ++at;
  }
  return input.substr(at, input.find(separator, at) - at);
}

inline bool printableAscii(const std::string& text) {
  for (const char c : text) {
    if (c < ' ' || c > '~') return false;
  }
  return true;
}

#endif  // CELLCHECK_FUZZ_FUZZ_CHECK_H_
