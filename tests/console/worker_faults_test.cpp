// Faults met by the worker threads that run the tests: the guard's handler
// runs on whichever thread faulted, on that thread's own signal stack.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <ctime>
#include <string>

#include "base/cprintf.h"
#include "base/stop_message.h"
#include "machinecheck/fault_guard.h"
#include "tester/worker_pool.h"
#include "tests/support/fake_kernel.h"
#include "tests/support/stopped_child.h"

namespace {

constexpr u64 kPage = FakeKernel::kPageBytes;
constexpr int kAreaPages = 4;

// The signal the kernel sends for an uncorrected error, to this thread.
void sendToSelf(int signal, int code, const void* address) {
  siginfo_t info = {};
  info.si_signo = signal;
  info.si_code = code;
  info.si_addr = const_cast<void*>(address);
  info.si_addr_lsb = 12;
  syscall(SYS_rt_tgsigqueueinfo, getpid(), gettid(), signal, &info);
}

// Runs past the end of the worker's stack: only a handler on a stack of
// its own can say so.
// (A limit the compiler cannot see past, far beyond any stack.)
volatile int overflowLimit = 1 << 30;
int overflowStack(int depth) {
  volatile char frame[4096];
  frame[0] = static_cast<char>(depth);
  if (depth == overflowLimit) return frame[0];
  return overflowStack(depth + 1) + frame[0];
}

TEST(WorkerFaultsTest, ErrorsMetByEveryWorkerAtOnceAreAllSurvived) {
  FakeKernel kernel;
  MemoryFaultLog faults;
  char* area = static_cast<char*>(mmap(nullptr, kAreaPages * kPage,
                                       PROT_READ | PROT_WRITE,
                                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(area, MAP_FAILED);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    MemoryFaultGuard guard(kernel, faults);
    ASSERT_TRUE(guard.install());
    guard.guardArea(area, kAreaPages * kPage, true);
    WorkerPool pool(
        {0, 1}, [](unsigned) { return 0; },
        [&guard](unsigned) { guard.guardThisThread(); });
    const u64 before = faults.count();
    // Both pages are lost anew each round: the kernel's markers name them.
    for (u64 page = 1; page <= 2; ++page) {
      kernel.poisonedFrames[reinterpret_cast<uintptr_t>(area + page * kPage)] =
          0x1000 + page;
    }
    auto job = [&](unsigned worker) {
      pool.meet();  // both signals at once, as near as can be
      sendToSelf(SIGBUS, BUS_MCEERR_AR, area + (worker + 1) * kPage + 8);
    };
    pool.run(job);
    ASSERT_EQ(faults.count(), before + 2);
  }
  EXPECT_EQ(kernel.threadStacks(), 40);
  munmap(area, kAreaPages * kPage);
}

TEST(WorkerFaultsTest, AProgramFaultInAWorkerStopsTheRunOnce) {
  struct Case {
    const char* what;
    void (*act)();
  };
  const Case cases[] = {
    {"a store to a read-only page", storeToReadOnlyPage},
#if !defined(__SANITIZE_ADDRESS__)
    // (AddressSanitizer takes the overflow for its own report.)
    {"a worker's stack overflowing", [] { overflowStack(0); }},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Stopped stopped = runChild([&] {
      FakeKernel kernel;
      MemoryFaultLog faults;
      MemoryFaultGuard guard(kernel, faults);
      guard.install();
      WorkerPool pool(
          {0, 1}, [](unsigned) { return 0; },
          [&guard](unsigned) { guard.guardThisThread(); });
      // Both workers fault: the stop is said once.
      auto job = [&](unsigned) { c.act(); };
      pool.run(job);
    });
    EXPECT_NE(stopped.output.find("Program fault: SIGSEGV (code "),
              std::string::npos)
        << stopped.output;
    EXPECT_EQ(stopped.output.find("Program fault"),
              stopped.output.rfind("Program fault"))
        << stopped.output;
    const std::string end = std::string("\n\r") + kStopMessage;
    ASSERT_GE(stopped.output.size(), end.size()) << stopped.output;
    EXPECT_EQ(stopped.output.substr(stopped.output.size() - end.size()), end);
    EXPECT_TRUE(stopped.stillThere);
  }
}

// One worker's error arrives while another's is still being handled: each
// thread's handler is on its own, so neither takes the other's for a fault
// inside the handler (which would stop the run).
TEST(WorkerFaultsTest, AnErrorWhileAnotherWorkersIsHandledIsSurvived) {
  const Stopped ended = runChild([] {
    FakeKernel kernel;
    // The first replacement lingers, long enough for the second signal.
    kernel.inFrameLookup = [] { usleep(100000); };
    MemoryFaultLog faults;
    char* area = static_cast<char*>(mmap(nullptr, kAreaPages * kPage,
                                         PROT_READ | PROT_WRITE,
                                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    MemoryFaultGuard guard(kernel, faults);
    guard.install();
    guard.guardArea(area, kAreaPages * kPage, true);
    WorkerPool pool(
        {0, 1}, [](unsigned) { return 0; },
        [&guard](unsigned) { guard.guardThisThread(); });
    auto job = [&](unsigned worker) {
      pool.meet();
      if (worker == 1) usleep(20000);
      sendToSelf(SIGBUS, BUS_MCEERR_AR, area + (worker + 1) * kPage + 8);
    };
    pool.run(job);
    const std::string said =
        "survived " + std::to_string(faults.count()) + "\n";
    writeConsole(said.data(), said.size());
  });
  EXPECT_EQ(ended.output, "survived 2\n");
}

}  // namespace
