// A stand-in tester for the lab's own tests: it takes its area the way the
// program does (the real kernel seam's allocation, handed to the console
// tester, which splits it into bank A and bank B), then does what its input
// says, one line at a time, and says when it is done. It runs in lock-step
// with the test that drives it, so a fault injected between a fill and a
// check shows in that round, however slow the machine.
//
// THREADS threads store (1 by default: the main thread itself). With more,
// that many workers start before "ready" and live for the whole run, as the
// program's do; each fills its own share of both banks.
//
//   fill         both banks filled alike ("filled ROUND")
//   check        every word pair that differs reported through the console
//                tester's messages ("checked ROUND"); the next round begins
//   expect       every word of either bank that holds other than the round's
//                fill wrote, "word K bank X value V expected E" (a fault alike
//                in both banks passes "check"); then "expected ROUND"
//   hammer WORD  each thread stores to its own word of bank A (thread i:
//                WORD + i) without a pause ("hammering"); then "join" starts
//                one more thread that does the same with the next word
//                ("joined I"), and any other line ends it: each thread says
//                "hammered I STORES value VALUE"
//
//   area_target MIB [THREADS]      (ends at the end of its input)
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <thread>
#include <vector>

#include "base/cprintf.h"
#include "console/cellchecker_dos.h"
#include "platform/linux_kernel.h"

namespace {

CellcheckerDos tester;

// Threads that wait for a task, run it with their index, and wait again.
// Never destroyed: they wait until the process ends.
class Workers {
 public:
  explicit Workers(int count) : count_(count) {
    for (int i = 0; i < count; ++i)
      std::thread([this, i] { loop(i); }).detach();
  }
  int count() const { return count_; }
  void start(std::function<void(int)> task) {
    std::lock_guard<std::mutex> lock(mutex_);
    task_ = std::move(task);
    busy_ = count_;
    ++generation_;
    wake_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return busy_ == 0; });
  }

 private:
  void loop(int index) {
    u64 seen = 0;
    for (;;) {
      std::function<void(int)> task;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return generation_ != seen; });
        seen = generation_;
        task = task_;
      }
      task(index);
      std::lock_guard<std::mutex> lock(mutex_);
      if (--busy_ == 0) done_.notify_all();
    }
  }

  const int count_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::function<void(int)> task_;
  int busy_ = 0;
  u64 generation_ = 0;
};

Workers* workers = nullptr;  // none: the main thread stores

void onEveryThread(const std::function<void(int)>& task) {
  if (workers == nullptr) return task(0);
  workers->start(task);
  workers->wait();
}

int storingThreads() { return workers == nullptr ? 1 : workers->count(); }

// Word k of round r: bit 16 is the round's lowest bit, so it alternates from
// round to round.
u32 valueOf(u64 k, u32 round) {
  return static_cast<u32>((k + 1) * 2654435761u) ^ (round << 16);
}

void fill(u32 round) {
  onEveryThread([round](int i) {
    const u64 n = static_cast<u64>(storingThreads());
    for (u64 k = tester.wordsPerBank * i / n;
         k < tester.wordsPerBank * (i + 1) / n; ++k) {
      const u32 value = valueOf(k, round);
      tester.bankA[k] = value;
      tester.bankB[k] = value;
    }
  });
}

void expect(u32 round) {
  for (u64 k = 0; k < tester.wordsPerBank; ++k) {
    const u32 expected = valueOf(k, round);
    for (const u32* bank : {tester.bankA, tester.bankB}) {
      if (bank[k] == expected) continue;
      cprintf("\n\rword %llu bank %c value %u expected %u\n\r",
              static_cast<unsigned long long>(k),
              bank == tester.bankA ? 'A' : 'B', bank[k], expected);
    }
  }
}

void check() {
  for (u64 k = 0; k < tester.wordsPerBank; ++k) {
    if (tester.bankA[k] != tester.bankB[k]) tester.report(k);
  }
}

constexpr int kMostHammering = 64;
std::atomic<bool> hammering{false};
u64 hammered[kMostHammering];  // each thread's stores

// Stores (n << 8) to the word, n counting this thread's stores, until
// `more` says stop.
template <typename More>
void storeWhile(int thread, u64 word, More more) {
  volatile u32* const target = &tester.bankA[word + thread];
  u64 stores = 0;
  do {
    for (int i = 0; i < 256; ++i) *target = static_cast<u32>(++stores) << 8;
  } while (more());
  hammered[thread] = stores;
}

void storeWhileHammering(int thread, u64 word) {
  storeWhile(thread, word, [] { return hammering.load(); });
}

// Each store to a word whose page the lab holds stops the thread: the lab's
// own requests to stop then meet those stops, in every thread at once.
void hammer(u64 word) {
  hammering = true;
  if (workers != nullptr) {
    workers->start([word](int i) { storeWhileHammering(i, word); });
  }
  cprintf("\n\rhammering\n\r");
  std::vector<std::thread> joined;
  pollfd input = {STDIN_FILENO, POLLIN, 0};
  // False at the line that ends it; "join" starts one more thread.
  auto nextLine = [&] {
    char line[64];
    if (fgets(line, sizeof line, stdin) == nullptr) return false;
    const int thread = storingThreads() + static_cast<int>(joined.size());
    if (strncmp(line, "join", 4) != 0 || thread == kMostHammering ||
        word + thread >= tester.wordsPerBank) {
      return false;
    }
    joined.emplace_back(storeWhileHammering, thread, word);
    cprintf("\n\rjoined %d\n\r", thread);
    return true;
  };
  if (workers == nullptr) {
    storeWhile(0, word, [&] { return poll(&input, 1, 0) == 0 || nextLine(); });
  } else {
    while (poll(&input, 1, -1) > 0 && nextLine()) {
    }
  }
  hammering = false;
  if (workers != nullptr) workers->wait();
  for (std::thread& thread : joined) thread.join();
  const int threads = storingThreads() + static_cast<int>(joined.size());
  for (int i = 0; i < threads; ++i) {
    cprintf("\n\rhammered %d %llu value %u\n\r", i,
            static_cast<unsigned long long>(hammered[i]),
            tester.bankA[word + i]);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) return 2;
  const u64 size = strtoull(argv[1], nullptr, 10) << 20;
  const int threads = argc == 3 ? atoi(argv[2]) : 1;
  if (threads < 1 || threads > kMostHammering) return 2;
  if (threads > 1) workers = new Workers(threads);
  LinuxKernel kernel;
  char* area = kernel.allocateArea(size);
  if (area == nullptr || tester.initNoAlloc(size, area) != kInitOk) return 1;
  cprintf("\n\rready\n\r");
  u32 round = 0;
  char line[64];
  while (fgets(line, sizeof line, stdin) != nullptr) {
    if (strncmp(line, "fill", 4) == 0) {
      fill(round);
      cprintf("\n\rfilled %u\n\r", round);
    } else if (strncmp(line, "expect", 6) == 0) {
      expect(round);
      cprintf("\n\rexpected %u\n\r", round);
    } else if (strncmp(line, "check", 5) == 0) {
      check();
      cprintf("\n\rchecked %u\n\r", round++);
    } else if (strncmp(line, "hammer ", 7) == 0) {
      const u64 word = strtoull(line + 7, nullptr, 10);
      if (word + storingThreads() <= tester.wordsPerBank) hammer(word);
    }
  }
  return 0;
}
