#include <cstdio>

#include "base/cprintf.h"
#include "sysmem/memory_probe.h"

void procSet(const char* path, const char* value) {
  FILE* file = fopen(path, "w");
  if (file == nullptr) {
    cprintf("ERROR %s", path);
    return;
  }
  // A tunable the kernel refuses shows up in what start-up measures next;
  // there is nothing better to do with a failed write here.
  fputs(value, file);
  fclose(file);
}
