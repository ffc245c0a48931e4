// What the files of platform/ share, and nothing outside it includes.
#ifndef CELLCHECK_PLATFORM_LINUX_CALLS_H_
#define CELLCHECK_PLATFORM_LINUX_CALLS_H_

#include <cerrno>

#include "base/types.h"

// 0 for a call that returned 0, else the error number it left.
inline int errorOf(int result) { return result == 0 ? 0 : errno; }

// Milliseconds since boot on the clock that only moves forward: the one
// clock of the system role's milliseconds() and the serial port's waits.
u64 monotonicMilliseconds();

#endif  // CELLCHECK_PLATFORM_LINUX_CALLS_H_
