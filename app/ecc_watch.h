// The memory controllers' error counts on the console. At start-up, on
// every boot (options or not: the drivers only read counters), it loads the
// image's EDAC drivers that match this machine and says in one line which
// controllers report ECC errors for how many modules, or that none does.
// Between tests it reads the counts again (at most every few seconds); each
// count that grew gets a line naming the module, and joins the bad-memory
// record, which fails a timed run.
#ifndef CELLCHECK_APP_ECC_WATCH_H_
#define CELLCHECK_APP_ECC_WATCH_H_

#include <ctime>
#include <functional>
#include <string>

#include "badmem/bad_memory.h"
#include "console/bad_memory_watch.h"
#include "ecc/edac_counters.h"
#include "modules/module_loader.h"
#include "sysmem/kernel.h"

class EccWatch {
 public:
  // `moduleRoot`: the image's /lib/modules. `watch`, when given, shows the
  // bad-memory summary when a count grew.
  EccWatch(Kernel& kernel, BadMemory& record, Clock now, std::string moduleRoot,
           BadMemoryWatch* watch = nullptr);

  // Whether the modules under moduleRoot are the image's own, to be
  // loaded: only when this binary is the image's /init, never a host's
  // (the fault lab's sandbox). Asked once /proc is mounted; unset means
  // no drivers are loaded, and only controllers already there are read.
  std::function<bool()> imageDrivers;

  // At start-up, before the memory is measured (loading takes memory):
  // mounts /sys, loads the drivers, finds the controllers and prints the
  // line.
  void start();
  // Between tests, never inside one: reads the counts when the last look is
  // kSecondsBetweenLooks old. No allocation.
  void poll();

  // The start-up line, without its line feed.
  std::string startLine() const;

  static constexpr time_t kSecondsBetweenLooks = 10;
  // Lines printed for one look at most; more growth is summed up.
  static constexpr int kMaxGrowthLines = 16;

  // The drivers start() tried.
  ModuleLoadResult drivers;

 private:
  // Records one growth; prints its line when `print`.
  void report(const EccGrowth& growth, bool print);

  Kernel& kernel_;
  BadMemory& record_;
  Clock now_;
  std::string moduleRoot_;
  BadMemoryWatch* watch_;
  EdacCounters counters_;
  bool started_ = false;
  time_t lastLook_ = 0;
};

#endif  // CELLCHECK_APP_ECC_WATCH_H_
