#include "tester/worker_pool.h"

#include <utility>

struct WorkerPool::Worker {
  WorkerPool* pool;
  unsigned index;
  unsigned cpu;
};

WorkerPool::WorkerPool(std::vector<unsigned> cpus, PinThread pin,
                       ThreadStart start)
    : pin_(std::move(pin)), start_(std::move(start)) {
  if (cpus.size() <= 1) {
    cpus_ = std::move(cpus);
    return;
  }
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, kStackBytes);
  for (unsigned cpu : cpus) {
    Worker* worker =
        new Worker{this, static_cast<unsigned>(threads_.size()), cpu};
    pthread_t thread;
    if (pthread_create(&thread, &attributes, &threadMain, worker) != 0) {
      delete worker;
      continue;
    }
    cpus_.push_back(cpu);
    threads_.push_back(thread);
    workers_.push_back(worker);
  }
  pthread_attr_destroy(&attributes);

  // Every worker is on its CPU and set up before the first job.
  std::unique_lock<std::mutex> lock(mutex_);
  jobDone_.wait(lock, [this] { return started_ == threads_.size(); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  jobReady_.notify_all();
  for (pthread_t thread : threads_) pthread_join(thread, nullptr);
  for (Worker* worker : workers_) delete worker;
}

unsigned WorkerPool::unpinned() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unpinned_;
}

void* WorkerPool::threadMain(void* argument) {
  const Worker& worker = *static_cast<Worker*>(argument);
  WorkerPool& pool = *worker.pool;
  const bool pinned = !pool.pin_ || pool.pin_(worker.cpu) == 0;
  if (pool.start_) pool.start_(worker.index);
  {
    std::lock_guard<std::mutex> lock(pool.mutex_);
    if (!pinned) ++pool.unpinned_;
    ++pool.started_;
  }
  pool.jobDone_.notify_all();
  pool.serve(worker.index);
  return nullptr;
}

void WorkerPool::serve(unsigned worker) {
  uint64_t seen = 0;
  for (;;) {
    JobFunction function;
    void* job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      jobReady_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
      function = function_;
      job = job_;
    }
    function(job, worker);
    bool last;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      last = --running_ == 0;
    }
    if (last) jobDone_.notify_all();
  }
}

void WorkerPool::runJob(JobFunction function, void* job) {
  if (threads_.empty()) {
    function(job, 0);
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  function_ = function;
  job_ = job;
  running_ = size();
  ++generation_;
  jobReady_.notify_all();
  jobDone_.wait(lock, [this] { return running_ == 0; });
}

void WorkerPool::meet() {
  if (size() <= 1) return;
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t phase = phase_;
  if (++arrived_ == size()) {
    arrived_ = 0;
    ++phase_;
    phaseOpened_.notify_all();
    return;
  }
  phaseOpened_.wait(lock, [&] { return phase_ != phase; });
}
