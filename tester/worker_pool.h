// The worker threads that run a test on every CPU at once: one thread per
// CPU, each kept on its CPU, all started once and then woken for each test.
// The thread that hands them a test (the schedule's) waits until every
// worker has finished it. Workers meet at a barrier between a test's phases.
#ifndef CELLCHECK_TESTER_WORKER_POOL_H_
#define CELLCHECK_TESTER_WORKER_POOL_H_

#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

class WorkerPool {
 public:
  // Keeps the calling thread on CPU `cpu` from now on: 0 when it did, else
  // an error number. Runs on each worker thread as it starts, on several at
  // once (as does ThreadStart).
  using PinThread = std::function<int(unsigned cpu)>;
  // Runs on each worker thread after pinning, before its first job: where a
  // thread sets up what it needs of its own (an alternate signal stack).
  using ThreadStart = std::function<void(unsigned worker)>;

  // Each worker's stack: the tests keep a few KiB of lists on it. Stacks
  // are committed memory when the kernel's overcommit is strict, as the
  // program sets it: make the pool before the test area is taken.
  static constexpr size_t kStackBytes = 512 * 1024;

  // One worker per CPU of `cpus` (worker k on cpus[k]). A pool of one CPU
  // starts no thread: its one worker is the thread that calls run. A CPU
  // whose thread cannot be made is left out (see size()).
  WorkerPool(std::vector<unsigned> cpus, PinThread pin,
             ThreadStart start = nullptr);
  // Stops and joins the workers; no job may be running.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // The workers, and the CPU of each (those whose thread could be made).
  unsigned size() const {
    return threads_.empty() ? 1 : static_cast<unsigned>(threads_.size());
  }
  const std::vector<unsigned>& cpus() const { return cpus_; }
  // How many workers could not be kept on their CPU (they run anywhere).
  unsigned unpinned() const;

  // Runs job(worker) on every worker at once and returns when all of them
  // have returned. Only one thread hands out jobs. The job is called
  // through a pointer: run allocates nothing.
  template <class Job>
  void run(Job& job) {
    runJob(&callJob<Job>, &job);
  }

  // Called by every worker inside a job, the same number of times by each:
  // returns to each once all of them have called it. Everything a worker
  // stored before it is seen by every worker after it.
  void meet();

 private:
  using JobFunction = void (*)(void* job, unsigned worker);
  template <class Job>
  static void callJob(void* job, unsigned worker) {
    (*static_cast<Job*>(job))(worker);
  }
  void runJob(JobFunction function, void* job);
  struct Worker;
  static void* threadMain(void* worker);
  void serve(unsigned worker);

  std::vector<unsigned> cpus_;
  PinThread pin_;
  ThreadStart start_;
  std::vector<pthread_t> threads_;
  std::vector<Worker*> workers_;

  mutable std::mutex mutex_;
  // Jobs: a new generation wakes the workers; the last one to finish wakes
  // the thread that handed it out.
  std::condition_variable jobReady_;
  std::condition_variable jobDone_;
  uint64_t generation_ = 0;
  JobFunction function_ = nullptr;
  void* job_ = nullptr;
  unsigned running_ = 0;
  bool stopping_ = false;
  unsigned started_ = 0;
  unsigned unpinned_ = 0;
  // The barrier: the last to arrive opens the next phase.
  std::condition_variable phaseOpened_;
  unsigned arrived_ = 0;
  uint64_t phase_ = 0;
};

#endif  // CELLCHECK_TESTER_WORKER_POOL_H_
