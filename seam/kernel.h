// The one seam between Cellcheck and the kernel it runs on, in small roles
// that each state their own failure convention:
//   files.h          /proc and /sys, the kernel's log, the image's files
//   system.h         figures, clock, modules, child processes, power
//   measurement.h    the memory measurement's child and shared word
//   test_area.h      the test area: taken, locked, physical addresses
//   memory_errors.h  uncorrected memory errors and the fault handler
//   network.h        an interface's addresses and the events' datagrams
// Each part of the program takes the roles it needs; Kernel is all of them,
// as the real program (LinuxKernel, platform/) and the tests' fake
// (tests/support/fake_kernel.h) provide them. A new kind of call (the CPUs
// and memory nodes of every core testing, the block devices and mounts of
// a report on the boot stick) gets a small role of its own here.
#ifndef CELLCHECK_SEAM_KERNEL_H_
#define CELLCHECK_SEAM_KERNEL_H_

#include "seam/files.h"
#include "seam/measurement.h"
#include "seam/memory_errors.h"
#include "seam/network.h"
#include "seam/system.h"
#include "seam/test_area.h"

class Kernel : public KernelFiles,
               public KernelSystem,
               public MemoryMeasurement,
               public TestAreaMemory,
               public MemoryErrorTraps,
               public NetworkInterfaces {};

#endif  // CELLCHECK_SEAM_KERNEL_H_
