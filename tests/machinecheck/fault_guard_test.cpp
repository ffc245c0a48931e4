#include "machinecheck/fault_guard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "base/stop_message.h"
#include "tests/support/blocked_console.h"
#include "tests/support/fake_kernel.h"
#include "tests/support/stopped_child.h"

namespace {

constexpr u64 kPage = FakeKernel::kPageBytes;
constexpr int kAreaPages = 4;

// Sends this thread the signal the kernel sends for an error in memory
// (or any other code): the same siginfo, delivered before the call returns.
// Nothing is poisoned.
void sendToSelf(int signal, int code, const void* address, int lsb) {
  siginfo_t info = {};
  info.si_signo = signal;
  info.si_code = code;
  info.si_addr = const_cast<void*>(address);
  info.si_addr_lsb = static_cast<short>(lsb);
  ASSERT_EQ(syscall(SYS_rt_tgsigqueueinfo, getpid(), gettid(), signal, &info),
            0)
      << strerror(errno);
}

class FaultGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    area = static_cast<char*>(mmap(nullptr, kAreaPages * kPage,
                                   PROT_READ | PROT_WRITE,
                                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(area, MAP_FAILED);
    memset(area, 0x5a, kAreaPages * kPage);
  }
  void TearDown() override { munmap(area, kAreaPages * kPage); }

  // Whether byte i of the area still holds what SetUp wrote.
  bool untouched(u64 i) const { return area[i] == 0x5a; }

  FakeKernel kernel;
  MemoryFaultLog log;
  char* area = nullptr;
};

TEST_F(FaultGuardTest, ReplacesThePageOfAnUncorrectedErrorAndLogsIt) {
  struct Case {
    const char* what;
    int code;
    u64 page;    // of the area
    u64 offset;  // where in the page the signal points
    u64 frame;   // what the kernel's marker names; 0: nothing
    bool foundEarly;
  };
  for (Case c : {
           Case{"the program read it", BUS_MCEERR_AR, 1, 0x7a8, 0x6019, false},
           Case{"the hardware found it first", BUS_MCEERR_AO, 3, 0, 0x1f00,
                true},
           Case{"its frame is not known", BUS_MCEERR_AR, 0, 0x10, 0, false},
       }) {
    SCOPED_TRACE(c.what);
    memset(area, 0x5a, kAreaPages * kPage);
    FakeKernel k;
    MemoryFaultLog faults;
    char* const page = area + c.page * kPage;
    if (c.frame != 0)
      k.poisonedFrames[reinterpret_cast<uintptr_t>(page)] = c.frame;
    {
      MemoryFaultGuard guard(k, faults);
      ASSERT_TRUE(guard.install());
      EXPECT_TRUE(k.memoryErrorsEarly);
      guard.guardArea(area, kAreaPages * kPage, true);
      sendToSelf(SIGBUS, c.code, page + c.offset, 12);
    }
    ASSERT_EQ(faults.count(), 1u);
    MemoryFault fault;
    ASSERT_TRUE(faults.copy(0, &fault));
    EXPECT_EQ(fault.page, reinterpret_cast<uintptr_t>(page));
    EXPECT_EQ(fault.bytes, kPage);
    EXPECT_EQ(fault.physical, c.frame == 0 ? kUnknownAddress : c.frame * kPage);
    EXPECT_EQ(fault.foundEarly, c.foundEarly);
    ASSERT_EQ(k.replacementCount, 1);
    EXPECT_EQ(k.replacements[0].page, page);
    EXPECT_EQ(k.replacements[0].bytes, kPage);
    EXPECT_TRUE(k.replacements[0].locked);
    // Only that page is new.
    for (u64 i = 0; i < kAreaPages * kPage; ++i) {
      const bool replaced = i / kPage == c.page;
      ASSERT_EQ(untouched(i), !replaced) << "byte " << i;
    }
    // Errors found later on the fresh page belong to the lost one.
    u64 physical = 0;
    ASSERT_TRUE(faults.standsFor(page + 8, &physical));
    EXPECT_EQ(physical, c.frame == 0 ? kUnknownAddress : c.frame * kPage + 8);
    EXPECT_FALSE(faults.standsFor(area + ((c.page + 1) % kAreaPages) * kPage,
                                  &physical));
  }
}

// Linux signals every thread that touches a lost page before it is
// replaced, and the scrubber's report of it may come after the read's: the
// first entry replaces the page (the kernel drops its marker with it), the
// others find it replaced and leave it, and what the test wrote there.
TEST_F(FaultGuardTest, ALostPageMetTwiceIsReplacedAndLoggedOnce) {
  static char* lost;
  struct Case {
    const char* what;
    // The second entry, after the first and after the test wrote to the
    // fresh page; none: the scrubber's report comes during the first.
    void (*second)();
  };
  for (const Case& c : {
           Case{"a worker read it too",
                [] {
                  std::thread([] {
                    sendToSelf(SIGBUS, BUS_MCEERR_AR, lost + 0x80, 12);
                  }).join();
                }},
           Case{"the scrubber's report came after the read's",
                [] { sendToSelf(SIGBUS, BUS_MCEERR_AO, lost, 12); }},
           Case{"the scrubber's report came while the handler ran", nullptr},
       }) {
    SCOPED_TRACE(c.what);
    memset(area, 0x5a, kAreaPages * kPage);
    lost = area + 2 * kPage;
    FakeKernel k;
    MemoryFaultLog faults;
    k.poisonedFrames[reinterpret_cast<uintptr_t>(lost)] = 0x6019;
    if (c.second == nullptr) {
      k.inFrameLookup = [] {
        static bool sent;
        sent = !sent;
        if (sent) sendToSelf(SIGBUS, BUS_MCEERR_AO, lost + 0x10, 12);
      };
    }
    {
      MemoryFaultGuard guard(k, faults);
      ASSERT_TRUE(guard.install());
      guard.guardArea(area, kAreaPages * kPage, true);
      sendToSelf(SIGBUS, BUS_MCEERR_AR, lost + 0x40, 12);
      if (c.second != nullptr) {
        memset(lost, 0x33, kPage);
        c.second();
      }
    }
    EXPECT_EQ(k.replacementCount, 1);
    ASSERT_EQ(faults.count(), 1u);
    MemoryFault fault;
    ASSERT_TRUE(faults.copy(0, &fault));
    EXPECT_EQ(fault.physical, 0x6019 * kPage);
    u64 physical = 0;
    ASSERT_TRUE(faults.standsFor(lost + 8, &physical));
    EXPECT_EQ(physical, 0x6019 * kPage + 8);
    if (c.second != nullptr) {
      for (u64 i = 0; i < kPage; ++i) ASSERT_EQ(lost[i], 0x33) << "byte " << i;
    }
  }
}

// A page left alone as replaced already that brings its thread back at
// once, with nothing logged since, was lost still (its marker there but
// not readable): it is replaced, rather than met for ever.
TEST_F(FaultGuardTest, APageLeftAloneThatFaultsAgainIsReplaced) {
  MemoryFaultGuard guard(kernel, log);
  ASSERT_TRUE(guard.install());
  guard.guardArea(area, kAreaPages * kPage, true);
  char* const lost = area + kPage;
  kernel.poisonedFrames[reinterpret_cast<uintptr_t>(lost)] = 0x6019;
  for (int entry = 0; entry < 3; ++entry) {
    sendToSelf(SIGBUS, BUS_MCEERR_AR, lost + 0x40, 12);
  }
  EXPECT_EQ(kernel.replacementCount, 2);
  ASSERT_EQ(log.count(), 2u);
  MemoryFault fault;
  ASSERT_TRUE(log.copy(1, &fault));
  EXPECT_EQ(fault.physical, kUnknownAddress);
}

// The handler interrupts code that may be about to read errno; what the
// handler's own calls leave there must not reach it.
TEST_F(FaultGuardTest, TheInterruptedCodeFindsErrnoAsItLeftIt) {
  MemoryFaultGuard guard(kernel, log);
  ASSERT_TRUE(guard.install());
  guard.guardArea(area, kAreaPages * kPage, true);
  errno = EDOM;
  // A page whose frame the page map does not name: the lookup fails.
  sendToSelf(SIGBUS, BUS_MCEERR_AR, area + kPage, 12);
  EXPECT_EQ(errno, EDOM);
  EXPECT_EQ(log.count(), 1u) << "the page was still replaced";
}

int faultSignalsTaken = 0;
void takeFaultSignal(int, siginfo_t*, void*) { ++faultSignalsTaken; }

// The memory scrubber's report (BUS_MCEERR_AO) comes whenever the hardware
// finds an error, also while a line waits on a full serial console: the
// handler's signal must let the write go on afterwards, as every other
// system call of the program, rather than fail it (EINTR) and lose the
// line.
TEST(FaultActionTest, AWriteThatWaitsOnTheConsoleGoesOnAfterTheHandler) {
  FakeKernel kernel;
  ASSERT_TRUE(kernel.trapFaults(takeFaultSignal));
  const std::string line =
      "Keep Linux off them, on its kernel command line (in GRUB's config "
      "write each $ as \\$): memmap=4K$0x19fd1000\n\r";
  siginfo_t info = {};
  info.si_signo = SIGBUS;
  info.si_code = SI_QUEUE;
  const int taken = faultSignalsTaken;
  ssize_t written = 0;
  std::string arrived;
  {
    BlockedConsole console;
    arrived = console.run(
        [&] { written = write(STDOUT_FILENO, line.data(), line.size()); },
        info);
    EXPECT_TRUE(console.interrupted());
  }
  kernel.releaseFaults();
  EXPECT_EQ(faultSignalsTaken, taken + 1);
  EXPECT_EQ(written, static_cast<ssize_t>(line.size())) << strerror(errno);
  EXPECT_EQ(arrived, line);
}

TEST(MemoryFaultLogTest, KeepsTheLastFaultsAndCountsThemAll) {
  MemoryFaultLog faults;
  const u64 total = MemoryFaultLog::kKept + 3;
  for (u64 n = 0; n < total; ++n) {
    faults.add(MemoryFault{0x10000 + n * kPage, kPage, n * kPage, false});
  }
  EXPECT_EQ(faults.count(), total);
  MemoryFault fault;
  EXPECT_FALSE(faults.copy(2, &fault));
  ASSERT_TRUE(faults.copy(3, &fault));
  EXPECT_EQ(fault.physical, 3 * kPage);
  ASSERT_TRUE(faults.copy(total - 1, &fault));
  EXPECT_FALSE(faults.copy(total, &fault));
  // A page lost again stands for its latest frame.
  faults.add(MemoryFault{0x10000, kPage, 0x777000, false});
  u64 physical = 0;
  ASSERT_TRUE(
      faults.standsFor(reinterpret_cast<const void*>(0x10004), &physical));
  EXPECT_EQ(physical, 0x777004u);
}

// A reader on another thread may come in at any point of a write: here it
// interrupts the writer (a timer's signal), which freezes the writer
// mid-write wherever it lands. Every copy the log hands out must be one
// fault, whole. (worker_tests has the two threads at once, for
// ThreadSanitizer.)
struct InterruptedWrite {
  static MemoryFault faultNumber(u64 n) {
    return MemoryFault{0x7f0000000000 + n * kPage, kPage << (n % 3),
                       0x100000000 + n * 2 * kPage, n % 2 == 1};
  }
  static bool whole(u64 n, const MemoryFault& fault) {
    const MemoryFault want = faultNumber(n);
    return fault.page == want.page && fault.bytes == want.bytes &&
           fault.physical == want.physical &&
           fault.foundEarly == want.foundEarly;
  }
  // The reader, in the handler: the oldest fault kept is the one whose slot
  // the writer fills next.
  static void look(int) {
    const u64 count = log->count();
    const u64 n =
        count > MemoryFaultLog::kKept ? count - MemoryFaultLog::kKept : 0;
    MemoryFault fault;
    if (log->copy(n, &fault) && !whole(n, fault)) wrong.fetch_add(1);
    looks.fetch_add(1);
  }
  static MemoryFaultLog* log;
  static std::atomic<u64> looks;
  static std::atomic<u64> wrong;
};
MemoryFaultLog* InterruptedWrite::log = nullptr;
std::atomic<u64> InterruptedWrite::looks{0};
std::atomic<u64> InterruptedWrite::wrong{0};

TEST(MemoryFaultLogTest, AReaderThatComesInMidWriteGetsWholeFaultsOnly) {
  constexpr u64 kLooks = 2000;
  MemoryFaultLog faults;
  InterruptedWrite::log = &faults;
  struct sigaction action = {};
  struct sigaction before = {};
  action.sa_handler = InterruptedWrite::look;
  ASSERT_EQ(sigaction(SIGALRM, &action, &before), 0);
  itimerval every = {};
  every.it_interval.tv_usec = 20;
  every.it_value.tv_usec = 20;
  ASSERT_EQ(setitimer(ITIMER_REAL, &every, nullptr), 0);
  for (u64 n = 0; InterruptedWrite::looks.load() < kLooks; ++n) {
    faults.add(InterruptedWrite::faultNumber(n));
  }
  const itimerval off = {};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &before, nullptr);
  EXPECT_EQ(InterruptedWrite::wrong.load(), 0u);
}

TEST_F(FaultGuardTest, StopsWithTheAddressWhereItCannotGoOn) {
  struct Case {
    const char* what;
    void (*act)(char* guarded, FakeKernel& fake);
    const char* says;
  };
  const Case cases[] = {
      {"a program fault: a store to a read-only page",
       [](char*, FakeKernel&) { storeToReadOnlyPage(); },
       "Program fault: SIGSEGV (code 2) at address 0x"},
      {"an uncorrected error in the program's own memory",
       [](char*, FakeKernel& fake) {
         static int own;
         fake.poisonedFrames[reinterpret_cast<uintptr_t>(&own) & ~(kPage - 1)] =
             0x4242;
         sendToSelf(SIGBUS, BUS_MCEERR_AR, &own, 12);
       },
       "Uncorrected memory error (machine check) at virtual address 0x"},
      {"a page of the area that cannot be replaced",
       [](char* guarded, FakeKernel& fake) {
         fake.replaceRefused = true;
         sendToSelf(SIGBUS, BUS_MCEERR_AR, guarded + 2 * kPage + 0x40, 12);
       },
       ", physical address unknown: its page could not be replaced, so "
       "testing cannot go on."},
      {"the kernel's own SIGBUS after a machine check it gave no address for",
       [](char*, FakeKernel&) { sendToSelf(SIGBUS, SI_KERNEL, nullptr, 0); },
       "The kernel ended the test with SIGBUS and no address"},
      {"a bus error of the program",
       [](char*, FakeKernel&) {
         sendToSelf(SIGBUS, BUS_ADRERR, reinterpret_cast<void*>(0x1234), 0);
       },
       "Program fault: SIGBUS (code 2) at address 0x1234"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Stopped stopped = runChild([&] {
      MemoryFaultGuard guard(kernel, log);
      guard.install();
      guard.guardArea(area, kAreaPages * kPage, true);
      c.act(area, kernel);
    });
    EXPECT_NE(stopped.output.find(c.says), std::string::npos) << stopped.output;
    const std::string end = std::string("\n\r") + kStopMessage;
    ASSERT_GE(stopped.output.size(), end.size()) << stopped.output;
    EXPECT_EQ(stopped.output.substr(stopped.output.size() - end.size()), end);
    EXPECT_TRUE(stopped.stillThere);
  }
}

// A fault inside the handler comes back to it: the program stops with its
// stop message and waits, never returning into the fault and never leaving
// it to the default action, which would end the first process.
TEST_F(FaultGuardTest, AFaultInsideTheHandlerStopsTheProgram) {
  struct Case {
    const char* what;
    void (*act)(char* guarded, FakeKernel& fake);
    const char* says;    // the fault inside the handler
    const char* before;  // what the handler printed before it, if anything
  };
  const Case cases[] = {
      {"a store to a read-only page while a lost page is replaced",
       [](char* guarded, FakeKernel& fake) {
         fake.inFrameLookup = storeToReadOnlyPage;
         sendToSelf(SIGBUS, BUS_MCEERR_AR, guarded + kPage, 12);
       },
       "Program fault in the fault handler: SIGSEGV (code 2) at address 0x",
       nullptr},
      {"a bus error while an error in the program's own memory is reported",
       [](char*, FakeKernel& fake) {
         static int own;
         fake.inFrameLookup = [] {
           sendToSelf(SIGBUS, BUS_ADRERR, reinterpret_cast<void*>(0x1234), 0);
         };
         sendToSelf(SIGBUS, BUS_MCEERR_AR, &own, 12);
       },
       "Program fault in the fault handler: SIGBUS (code 2) at address 0x1234, "
       "instruction at 0x",
       nullptr},
      {"a fault while it waits for the power switch after a program fault",
       [](char*, FakeKernel& fake) {
         fake.inPowerOffWait = storeToReadOnlyPage;
         storeToReadOnlyPage();
       },
       "Program fault in the fault handler: SIGSEGV (code 2)",
       "Program fault: SIGSEGV (code 2) at address 0x"},
      {"a fault while it stops for a fault inside it",
       [](char* guarded, FakeKernel& fake) {
         fake.inFrameLookup = storeToReadOnlyPage;
         fake.inPowerOffWait = storeToReadOnlyPage;
         sendToSelf(SIGBUS, BUS_MCEERR_AR, guarded + kPage, 12);
       },
       "Program fault in the fault handler: SIGSEGV (code 2) at address 0x",
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Stopped stopped = runChild([&] {
      MemoryFaultGuard guard(kernel, log);
      guard.install();
      guard.guardArea(area, kAreaPages * kPage, true);
      c.act(area, kernel);
    });
    const size_t at = stopped.output.find(c.says);
    EXPECT_NE(at, std::string::npos) << stopped.output;
    if (c.before != nullptr) {
      EXPECT_LT(stopped.output.find(c.before), at) << stopped.output;
    }
    const std::string end = std::string("\n\r") + kStopMessage;
    ASSERT_GE(stopped.output.size(), end.size()) << stopped.output;
    EXPECT_EQ(stopped.output.substr(stopped.output.size() - end.size()), end);
    EXPECT_TRUE(stopped.stillThere);
  }
}

// A scrubber's report that comes while the handler replaces another page is
// no fault of the handler: its page is replaced and logged after the first.
TEST_F(FaultGuardTest, AReportThatComesWhileTheHandlerRunsIsTakenUpAfter) {
  static char* second;
  second = area + 2 * kPage;
  kernel.inFrameLookup = [] {
    static bool sent = false;
    if (sent) return;
    sent = true;
    sendToSelf(SIGBUS, BUS_MCEERR_AO, second + 0x10, 12);
  };
  MemoryFaultGuard guard(kernel, log);
  ASSERT_TRUE(guard.install());
  guard.guardArea(area, kAreaPages * kPage, true);
  sendToSelf(SIGBUS, BUS_MCEERR_AR, area + kPage, 12);
  ASSERT_EQ(log.count(), 2u);
  MemoryFault first;
  MemoryFault then;
  ASSERT_TRUE(log.copy(0, &first));
  ASSERT_TRUE(log.copy(1, &then));
  EXPECT_EQ(first.page, reinterpret_cast<uintptr_t>(area + kPage));
  EXPECT_FALSE(first.foundEarly);
  EXPECT_EQ(then.page, reinterpret_cast<uintptr_t>(second));
  EXPECT_TRUE(then.foundEarly);
}

TEST_F(FaultGuardTest, OneOutsideTheAreaIsNamedWithItsPhysicalAddress) {
  static char own[2 * kPage];
  char* const page = reinterpret_cast<char*>(
      (reinterpret_cast<uintptr_t>(own) + kPage - 1) & ~(kPage - 1));
  const Stopped stopped = runChild([&] {
    kernel.poisonedFrames[reinterpret_cast<uintptr_t>(page)] = 0x4242;
    MemoryFaultGuard guard(kernel, log);
    guard.install();
    guard.guardArea(area, kAreaPages * kPage, true);
    sendToSelf(SIGBUS, BUS_MCEERR_AO, page + 0x10, 12);
  });
  EXPECT_NE(stopped.output.find(", physical address 0x4242010: it is in the "
                                "program's own memory, so testing cannot go "
                                "on.\n\r"),
            std::string::npos)
      << stopped.output;
}

// The memory measurement's child inherits the handler; it must end as it
// would have without it, not wait for ever.
TEST_F(FaultGuardTest, AChildOfTheGuardedProcessEndsOnAFault) {
  MemoryFaultGuard guard(kernel, log);
  ASSERT_TRUE(guard.install());
  fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    storeToReadOnlyPage();
    _exit(0);
  }
  int status = 0;
  pid_t ended = 0;
  for (int tick = 0; tick < 100 && ended == 0; ++tick) {
    ended = waitpid(child, &status, WNOHANG);
    if (ended == 0) usleep(100000);
  }
  if (ended == 0) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    FAIL() << "the child waited instead of ending";
  }
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
}

}  // namespace
