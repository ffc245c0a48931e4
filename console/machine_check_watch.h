// Uncorrected memory errors on the console: the fault guard logs them from
// its signal handler, and this reports each one between tests (or on the
// error path, before an error the lost page may have caused), as an error
// of its own (three lines, the middle one counting it), and records its
// page in the bad-memory record. Faults that came too fast for the log to
// keep them are counted in one line, however many.
#ifndef CELLCHECK_CONSOLE_MACHINE_CHECK_WATCH_H_
#define CELLCHECK_CONSOLE_MACHINE_CHECK_WATCH_H_

#include "badmem/bad_memory.h"
#include "base/between_tests.h"
#include "console/cellchecker_dos.h"
#include "machinecheck/memory_faults.h"

class MachineCheckWatch : public BetweenTestsWork {
 public:
  MachineCheckWatch(const MemoryFaultLog& log, CellcheckerDos& tester,
                    BadMemory& record)
      : log_(log), tester_(tester), record_(record) {}

  // Reports what the guard logged since the last call. No allocation: it
  // runs on the error path too.
  void poll();

  bool betweenTests() override {
    poll();
    return true;
  }

 private:
  // One line (and one counting line) for `count` faults the log no longer
  // keeps.
  void showNotKept(u64 count);

  const MemoryFaultLog& log_;
  CellcheckerDos& tester_;
  BadMemory& record_;
  u64 reported_ = 0;
};

#endif  // CELLCHECK_CONSOLE_MACHINE_CHECK_WATCH_H_
