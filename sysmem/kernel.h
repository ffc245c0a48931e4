// The one seam between Cellcheck and the kernel it runs on. Start-up and the
// memory probing make every kernel-facing call through it: the real program
// uses LinuxKernel, the tests a fake that reports chosen figures, points the
// /proc paths at files of their own and can make the measurement's fork or
// allocation fail.
#ifndef CELLCHECK_SYSMEM_KERNEL_H_
#define CELLCHECK_SYSMEM_KERNEL_H_

#include <sys/types.h>

#include <string>

#include "base/types.h"

// The /proc files that start-up reads and writes. The tunables follow
// kMeminfo in the order of sysmem/tunables.inc, where their paths are.
enum class ProcFile {
  kMeminfo,          // read: the RAM the kernel has mapped
  kOvercommit,       // written: the commit accounting mode
  kOvercommitRatio,  // written: the share of RAM that may be committed
  kMinFree,          // written: the free memory the kernel keeps back
  // Written to keep the test area where it is in physical memory, so that
  // the addresses of errors stay true:
  kCompactUnevictable,  // compaction may move locked pages
  kNumaBalancing,       // pages move to the node that uses them
};

class Kernel {
 public:
  virtual ~Kernel() = default;

  // True when this process is the first one of the system (PID 1), as it is
  // when it boots as the init of its image.
  virtual bool isInit() = 0;
  // Mounts the proc file system on /proc. A failure (already mounted, no
  // right to) is silent: whoever reads /proc notices.
  virtual void mountProc() = 0;
  // Mounts the sysfs file system on /sys, the same way.
  virtual void mountSys() = 0;
  // Only kernel messages more urgent than `level` reach the console from now
  // on, and kernel logging to the console is switched on. Silent on failure.
  virtual void setConsoleLogLevel(int level) = 0;

  // The physical pages the kernel manages, the page size in bytes, and the
  // pages free right now.
  virtual u64 physPages() = 0;
  virtual u64 pageSize() = 0;
  virtual u64 freePages() = 0;

  // Where `file` is; the callers open it with standard file I/O.
  virtual const char* path(ProcFile file) = 0;
  // Where the kernel file `kernelPath` is read from: an absolute path under
  // /proc or /sys (such as "/sys/class/dmi/id/product_serial") stands for
  // itself on the real kernel and for a file of the fake's own in tests.
  virtual std::string file(const char* kernelPath) = 0;
  // The kernel's log buffer as text, one message a line, each with its
  // "<level>[seconds]" prefix, oldest first; empty when it cannot be read.
  // The buffer is a ring: the oldest messages of a long boot may be gone.
  virtual std::string kernelLog() = 0;

  // One 64-bit word that a forked child and its parent share: what the child
  // stores there, the parent sees. Null when it cannot be made.
  virtual volatile u64* mapSharedWord() = 0;

  // The memory measurement's process control, as fork, waitpid and _exit:
  // forkChild returns 0 in the child, the child's id in the parent and a
  // negative number when no child could be made. waitChild returns once that
  // child has ended, whether it exited or was killed. endChild ends the
  // child at once, without the parent's exit handlers or output buffers.
  virtual pid_t forkChild() = 0;
  virtual void waitChild(pid_t child) = 0;
  [[noreturn]] virtual void endChild() = 0;

  // Loads the kernel module in the file `modulePath` (finit_module, no
  // parameters; a compressed file, module.ko.xz, the kernel unpacks). 0 when
  // it loaded, else the error number: EEXIST when it was loaded already,
  // ENOENT when the file is missing.
  virtual int loadModule(const char* modulePath) = 0;
  // Collects every child that has ended (the first process inherits all
  // orphans), without waiting for the others.
  virtual void reapChildren() = 0;
  // Switches the machine off; returns only when the kernel refused.
  virtual void powerOff() = 0;

  // The measuring child's block of `bytes`: committed memory, not yet
  // touched, or null when the kernel will not commit that much. Never freed
  // (the child's end gives it back).
  virtual char* allocateProbe(u64 bytes) = 0;
  // The test area: `bytes` of committed memory or null. Never freed.
  virtual char* allocateArea(u64 bytes) = 0;

  // Keeps the `bytes` at `area` in RAM (mlock), bringing them in now.
  // False when the kernel refuses: a memory-lock limit, as in a user
  // namespace, or no right to lock.
  virtual bool lockArea(char* area, u64 bytes) = 0;
  // From now on the kernel gathers no more of this process's small pages
  // into huge pages (which moves them); huge pages already there stay.
  virtual void stopHugePageCollapse() = 0;
  // The physical page frame that holds the byte at `address` of this
  // process right now (its physical address is frame * pageSize() + the
  // offset in the page), from the kernel's pagemap; 0 when it cannot be
  // known: the page is not in RAM, the pagemap cannot be read, or the
  // process has no right to frame numbers (the kernel then shows them as 0,
  // as it does inside a user namespace). Never a guess. Asked on the error
  // path: it allocates no memory (the pagemap is opened once and kept).
  virtual u64 pageFrame(const void* address) = 0;

  // Uncorrected memory errors. The kernel takes a page with such an error
  // away from the process and sends it SIGBUS (BUS_MCEERR_AR when the
  // program read it, BUS_MCEERR_AO when the hardware found it first); the
  // two calls below are made from that signal's handler, so they make only
  // system calls and allocate nothing.
  //
  // Asks the kernel to tell this process of such an error in its memory as
  // soon as it is found (BUS_MCEERR_AO), not only when the program next
  // reads the page. Silent on failure.
  virtual void catchMemoryErrorsEarly() = 0;
  // The frame the kernel took away from under `address`: the page map's
  // entry in its place names it, and the frame's poison flag confirms it. 0
  // when either is missing: never a guess.
  virtual u64 poisonedFrame(const void* address) = 0;
  // Puts a fresh page of zeros at [page, page + bytes) in place of one the
  // kernel took away, locked in RAM when `locked`. It takes no new memory
  // commitment (under strict accounting the kernel might refuse one): the
  // mapping stays, only its lost page is replaced. False when the kernel
  // refused.
  virtual bool replacePoisonedPage(void* page, u64 bytes, bool locked) = 0;
};

#endif  // CELLCHECK_SYSMEM_KERNEL_H_
