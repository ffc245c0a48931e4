// The line the first process prints when it cannot go on testing. It then
// waits for the machine to be switched off: it must never exit, since the
// kernel panics when the first process ends.
#ifndef CELLCHECK_BASE_STOP_MESSAGE_H_
#define CELLCHECK_BASE_STOP_MESSAGE_H_

constexpr char kStopMessage[] =
    "Cellcheck has stopped; switch the machine off.\n";

#endif  // CELLCHECK_BASE_STOP_MESSAGE_H_
