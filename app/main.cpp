#include "console/cellchecker_dos.h"
#include "console/cprintf.h"

CellcheckerDos cellchecker;

int main() {
  cprintf("Cellcheck\n");
  return 0;
}
