#include "tester/worker_pool.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <mutex>
#include <set>
#include <vector>

namespace {

// What each worker thread saw of its own start.
struct Started {
  pthread_t thread;
  unsigned cpu;
  bool startHookAfterPin = false;
};

TEST(WorkerPoolTest,
     EachWorkerIsAThreadOfItsOwnPinnedToItsCpuBeforeItsFirstJob) {
  std::mutex mutex;
  std::vector<Started> pinned;
  std::vector<unsigned> startedWorkers;
  WorkerPool pool(
      {5, 3, 9},
      [&](unsigned cpu) {
        std::lock_guard<std::mutex> lock(mutex);
        pinned.push_back({pthread_self(), cpu});
        return cpu == 3 ? 22 : 0;  // CPU 3 refuses
      },
      [&](unsigned worker) {
        std::lock_guard<std::mutex> lock(mutex);
        startedWorkers.push_back(worker);
        for (Started& s : pinned) {
          if (pthread_equal(s.thread, pthread_self())) {
            s.startHookAfterPin = true;
          }
        }
      });

  ASSERT_EQ(pool.size(), 3u);
  EXPECT_EQ(pool.cpus(), (std::vector<unsigned>{5, 3, 9}));
  EXPECT_EQ(pool.unpinned(), 1u);
  ASSERT_EQ(pinned.size(), 3u);
  EXPECT_EQ(
      std::multiset<unsigned>(startedWorkers.begin(), startedWorkers.end()),
      (std::multiset<unsigned>{0, 1, 2}));

  // Worker k runs on the thread that was pinned to cpus[k].
  std::vector<pthread_t> ranOn(3);
  std::atomic<int> calls{0};
  auto job = [&](unsigned worker) {
    ranOn[worker] = pthread_self();
    ++calls;
  };
  pool.run(job);
  EXPECT_EQ(calls.load(), 3);
  for (unsigned worker = 0; worker < 3; ++worker) {
    EXPECT_FALSE(pthread_equal(ranOn[worker], pthread_self()));
    bool found = false;
    for (const Started& s : pinned) {
      if (pthread_equal(s.thread, ranOn[worker])) {
        EXPECT_EQ(s.cpu, pool.cpus()[worker]);
        EXPECT_TRUE(s.startHookAfterPin);
        found = true;
      }
    }
    EXPECT_TRUE(found) << "worker " << worker;
  }
}

TEST(WorkerPoolTest, RunReturnsOnlyWhenEveryWorkerHasFinished) {
  WorkerPool pool({0, 1, 2, 3}, nullptr);
  for (int round = 0; round < 200; ++round) {
    std::vector<int> done(pool.size(), 0);
    auto job = [&](unsigned worker) {
      // Each worker takes its time; the last finishes well after the first.
      for (volatile unsigned spin = 0; spin < 1000 * worker; ++spin) {
      }
      done[worker] = round + 1;
    };
    pool.run(job);
    for (unsigned worker = 0; worker < pool.size(); ++worker) {
      ASSERT_EQ(done[worker], round + 1) << "worker " << worker;
    }
  }
}

// The barrier: no worker leaves a phase before every worker has reached its
// end, round after round, and what one stored before it is seen by all
// after it.
TEST(WorkerPoolTest, MeetHoldsEveryWorkerUntilAllHaveArrived) {
  WorkerPool pool({0, 1, 2}, nullptr);
  constexpr int kPhases = 500;
  std::atomic<int> arrived{0};
  std::vector<int> stored(pool.size(), -1);
  std::atomic<int> early{0};
  std::atomic<int> unseen{0};
  auto job = [&](unsigned worker) {
    for (int phase = 0; phase < kPhases; ++phase) {
      stored[worker] = phase;
      ++arrived;
      pool.meet();
      if (arrived.load() < static_cast<int>(pool.size()) * (phase + 1)) {
        ++early;
      }
      for (int value : stored) {
        if (value != phase) ++unseen;
      }
      pool.meet();  // nobody stores the next phase while others read
    }
  };
  pool.run(job);
  EXPECT_EQ(early.load(), 0);
  EXPECT_EQ(unseen.load(), 0);
}

TEST(WorkerPoolTest, OneCpuStartsNoThreadAndRunsOnTheCaller) {
  for (const std::vector<unsigned>& cpus :
       {std::vector<unsigned>{7}, std::vector<unsigned>{}}) {
    int pins = 0;
    WorkerPool pool(cpus, [&](unsigned) { return ++pins, 0; });
    EXPECT_EQ(pool.size(), 1u);
    EXPECT_EQ(pins, 0);
    pthread_t ranOn{};
    unsigned ranAs = 99;
    auto job = [&](unsigned worker) {
      ranOn = pthread_self();
      ranAs = worker;
      pool.meet();  // alone: returns at once
    };
    pool.run(job);
    EXPECT_TRUE(pthread_equal(ranOn, pthread_self()));
    EXPECT_EQ(ranAs, 0u);
  }
}

}  // namespace
