// Uncorrected memory errors on the console: the fault guard logs them from
// its signal handler, and this reports each one between tests, as an error
// of its own (three lines, the middle one counting it), and records its
// page in the bad-memory record.
#ifndef CELLCHECK_APP_MACHINE_CHECK_WATCH_H_
#define CELLCHECK_APP_MACHINE_CHECK_WATCH_H_

#include "badmem/bad_memory.h"
#include "console/bad_memory_watch.h"
#include "console/cellchecker_dos.h"
#include "machinecheck/memory_faults.h"

class MachineCheckWatch {
 public:
  // `watch`, when given, shows the bad-memory summary after new ones.
  MachineCheckWatch(const MemoryFaultLog& log, CellcheckerDos& tester,
                    BadMemory& record, BadMemoryWatch* watch = nullptr)
      : log_(log), tester_(tester), record_(record), watch_(watch) {}

  // Between tests: reports what the guard logged since the last call. No
  // allocation.
  void poll();

 private:
  const MemoryFaultLog& log_;
  CellcheckerDos& tester_;
  BadMemory& record_;
  BadMemoryWatch* watch_;
  u64 reported_ = 0;
};

#endif  // CELLCHECK_APP_MACHINE_CHECK_WATCH_H_
