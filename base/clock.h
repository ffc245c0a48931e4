// The wall clock as every layer is handed it: seconds since the epoch,
// time(nullptr) through the kernel seam in the program, a fake in tests.
#ifndef CELLCHECK_BASE_CLOCK_H_
#define CELLCHECK_BASE_CLOCK_H_

#include <ctime>
#include <functional>

using Clock = std::function<time_t()>;

#endif  // CELLCHECK_BASE_CLOCK_H_
