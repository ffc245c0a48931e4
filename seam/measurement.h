// The kernel seam, memory measurement role: a child process takes and
// zeroes as much memory as the kernel gives it, counting its progress in a
// word it shares with its parent (sysmem/memory_probe.h).
//
// Failure convention: a request the kernel refuses gives null (memory) or a
// negative process id; nothing else can fail.
#ifndef CELLCHECK_SEAM_MEASUREMENT_H_
#define CELLCHECK_SEAM_MEASUREMENT_H_

#include <sys/types.h>

#include "base/types.h"

class MemoryMeasurement {
 public:
  virtual ~MemoryMeasurement() = default;

  // The memory free right now, in bytes.
  virtual u64 freeBytes() = 0;
  // One 64-bit word that a forked child and its parent share: what the
  // child stores there, the parent sees.
  virtual volatile u64* mapSharedWord() = 0;
  // As fork, waitpid and _exit: forkChild returns 0 in the child and the
  // child's id in the parent. waitChild returns once that child has ended,
  // whether it exited or was killed. endChild ends the child at once,
  // without the parent's exit handlers or output buffers.
  virtual pid_t forkChild() = 0;
  virtual void waitChild(pid_t child) = 0;
  [[noreturn]] virtual void endChild() = 0;
  // The measuring child's block of `bytes`: committed memory, not yet
  // touched. Never freed (the child's end gives it back).
  virtual char* allocateProbe(u64 bytes) = 0;
};

#endif  // CELLCHECK_SEAM_MEASUREMENT_H_
