// The one seam between Cellcheck and the kernel it runs on, in small roles
// that each state their own failure convention:
//   files.h          /proc and /sys, the kernel's log, the image's files
//   system.h         figures, clock, modules, child processes, power
//   measurement.h    the memory measurement's child and shared word
//   test_area.h      the test area: taken, locked, physical addresses
//   memory_errors.h  uncorrected memory errors and the fault handler
//   network.h        an interface's addresses and the events' datagrams
//   processors.h     the CPUs that test, threads kept on them, memory nodes
//   disks.h          the disks' partitions and the report's FAT file system
//   devices.h        the serial port's event lines and the PC speaker
// Each part of the program takes the roles it needs; Kernel is all of them,
// as the real program (LinuxKernel, platform/) and the tests' fake
// (tests/support/fake_kernel.h) provide them. A new kind of call gets a
// small role of its own here.
#ifndef CELLCHECK_SEAM_KERNEL_H_
#define CELLCHECK_SEAM_KERNEL_H_

#include "seam/devices.h"
#include "seam/disks.h"
#include "seam/files.h"
#include "seam/measurement.h"
#include "seam/memory_errors.h"
#include "seam/network.h"
#include "seam/processors.h"
#include "seam/system.h"
#include "seam/test_area.h"

class Kernel : public KernelFiles,
               public KernelSystem,
               public MemoryMeasurement,
               public TestAreaMemory,
               public MemoryErrorTraps,
               public NetworkInterfaces,
               public KernelProcessors,
               public KernelDisks,
               public KernelDevices {};

#endif  // CELLCHECK_SEAM_KERNEL_H_
