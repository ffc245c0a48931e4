#include "sysmem/smaps.h"

#include <cctype>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kHugeField[] = "AnonHugePages:";

// "start-end perms offset ..." opens each mapping's block of lines.
bool mappingRange(const char* line, uintptr_t* start, uintptr_t* end) {
  if (!isxdigit(static_cast<unsigned char>(line[0]))) return false;
  const char* dash = strchr(line, '-');
  const char* space = strchr(line, ' ');
  if (dash == nullptr || space == nullptr || dash > space) return false;
  return sscanf(line, "%" SCNxPTR "-%" SCNxPTR, start, end) == 2;
}

}  // namespace

bool hugePagesKiB(const char* path, const void* begin, u64 bytes, u64* kib) {
  FILE* smaps = fopen(path, "r");
  if (smaps == nullptr) return false;
  const uintptr_t first = reinterpret_cast<uintptr_t>(begin);
  const uintptr_t last = first + bytes;
  char line[256];
  bool lineStart = true;  // whether `line` starts a line of the file
  bool inside = false;
  u64 total = 0;
  while (fgets(line, sizeof line, smaps) != nullptr) {
    const bool starts = lineStart;
    lineStart = strchr(line, '\n') != nullptr;
    // The rest of a long line (a mapped file's path) is never a header.
    if (!starts) continue;
    uintptr_t start;
    uintptr_t end;
    u64 value;
    if (mappingRange(line, &start, &end)) {
      inside = start < last && first < end;
    } else if (inside &&
               strncmp(line, kHugeField, sizeof kHugeField - 1) == 0 &&
               sscanf(line + sizeof kHugeField - 1, "%" SCNu64, &value) == 1) {
      total += value;
    }
  }
  fclose(smaps);
  *kib = total;
  return true;
}

bool mostlySmallPages(u64 hugeKiB, u64 bytes) {
  return hugeKiB * 1024 * 2 < bytes;
}
