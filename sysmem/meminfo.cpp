#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sysmem/memory_probe.h"

namespace {

// The number after the colon of a "Name:   1234 kB" line, or false when there
// is none.
bool valueOf(const char* line, u64* value) {
  const char* colon = strchr(line, ':');
  if (colon == nullptr) return false;
  const char* digits = colon + 1;
  while (*digits == ' ' || *digits == '\t') ++digits;
  if (*digits < '0' || *digits > '9') return false;
  *value = strtoull(digits, nullptr, 10);
  return true;
}

}  // namespace

u64 kMemInstalled(KernelFiles& kernel) {
  FILE* meminfo = fopen(kernel.path(ProcFile::kMeminfo), "r");
  if (meminfo == nullptr) return 0;
  u64 sum = 0;
  char* line = nullptr;
  size_t capacity = 0;
  while (getline(&line, &capacity, meminfo) >= 0) {
    u64 kib;
    if (strncmp(line, "DirectMap", 9) == 0 && valueOf(line, &kib)) sum += kib;
  }
  free(line);
  fclose(meminfo);
  return sum;
}
