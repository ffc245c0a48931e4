// How many workers the all-worker benchmarks run on: one per CPU this
// process may run on.
#ifndef CELLCHECK_BENCH_WORKERS_H_
#define CELLCHECK_BENCH_WORKERS_H_

unsigned benchWorkers();

#endif  // CELLCHECK_BENCH_WORKERS_H_
