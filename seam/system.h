// The kernel seam, process and system role: the machine's figures, the
// clock, the console's log level, kernel modules, the child processes that
// run beside the tests, and the end of the run.
//
// Failure convention: a call that can fail returns 0 when it did what it
// says and the error number (errno) when not; the caller decides whether
// that matters. Figures and questions cannot fail.
#ifndef CELLCHECK_SEAM_SYSTEM_H_
#define CELLCHECK_SEAM_SYSTEM_H_

#include <sys/types.h>

#include <ctime>
#include <string>
#include <vector>

#include "base/types.h"

// A program to run beside the tests.
struct ChildProgram {
  std::string path;               // the binary
  std::vector<std::string> args;  // its arguments, its name first
  // "NAME=value" entries added to the environment it inherits.
  std::vector<std::string> environment;
};

class KernelSystem {
 public:
  virtual ~KernelSystem() = default;

  // True when this process is the first one of the system (PID 1), as it
  // is when it boots as the init of its image.
  virtual bool isInit() = 0;
  // The physical pages the kernel manages, and the page size in bytes.
  virtual u64 physPages() = 0;
  virtual u64 pageSize() = 0;
  // Seconds since the epoch.
  virtual time_t now() = 0;
  // Milliseconds on a clock that only moves forward (since boot): for
  // spans shorter than a second, such as a tone.
  virtual u64 milliseconds() = 0;

  // Only kernel messages more urgent than `level` reach the console from
  // now on, and kernel logging to the console is switched on.
  virtual int setConsoleLogLevel(int level) = 0;
  // Loads the kernel module in the file `modulePath` (no parameters; a
  // compressed file, module.ko.xz, the kernel unpacks).
  // EEXIST when it was loaded already, ENOENT when the file is missing.
  virtual int loadModule(const char* modulePath) = 0;

  // Starts `program` as a child that runs beside the tests, its standard
  // streams on /dev/null (its messages would break up the console's
  // lines), and never the out-of-memory killer's choice: the test area
  // leaves little free memory, and a child lost then cannot be started
  // again (the first process cannot fork once it holds the area). Its
  // process id goes to `child`. ENOENT or EACCES when the binary cannot be
  // run. Only before the test area is taken.
  virtual int startChild(const ChildProgram& program, pid_t* child) = 0;
  // Asks the child to end (SIGTERM); it is collected by reapChildren.
  virtual int stopChild(pid_t child) = 0;
  // Collects every child that has ended (the first process inherits all
  // orphans), without waiting for the others.
  virtual void reapChildren() = 0;

  virtual void sleepMilliseconds(unsigned milliseconds) = 0;
  // Switches the machine off; returns only when the kernel refused. (Where
  // the first process cannot go on, it waits for the power switch:
  // MemoryErrorTraps::waitForPowerOff.)
  virtual int powerOff() = 0;
};

#endif  // CELLCHECK_SEAM_SYSTEM_H_
