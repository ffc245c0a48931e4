// The words for how long full testing needs to reach 100 % coverage: the
// line after the speed score, and the duration the verdict repeats. The
// seconds come from a dry run of the schedule (app/dry_run.h).
#ifndef CELLCHECK_CONSOLE_FULL_TESTING_ESTIMATE_H_
#define CELLCHECK_CONSOLE_FULL_TESTING_ESTIMATE_H_

#include <string>

// "45 s", "12 min", "2 h 35 min", "3 d 4 h".
std::string durationWords(double seconds);

// The line after the score, e.g. "Full testing reaches 100 % coverage in
// about 2 h 35 min at this speed."
std::string fullTestingEstimateLine(double seconds);

#endif  // CELLCHECK_CONSOLE_FULL_TESTING_ESTIMATE_H_
