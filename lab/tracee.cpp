#include "lab/tracee.h"

#include <dirent.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

// mov [reg], eax is 89 with a ModRM byte of mod 00, reg eax and rm the
// address register; these rm values name a plain register (no SIB, no RIP).
constexpr unsigned char kStoreModRm[] = {7, 6, 2, 1, 3};  // rdi rsi rdx rcx rbx

unsigned long long& registerByRm(user_regs_struct& regs, int rm) {
  switch (rm) {
    case 1:
      return regs.rcx;
    case 2:
      return regs.rdx;
    case 3:
      return regs.rbx;
    case 6:
      return regs.rsi;
    default:
      return regs.rdi;
  }
}

bool readRemote(pid_t pid, uint64_t address, std::vector<unsigned char>* out) {
  iovec local = {out->data(), out->size()};
  iovec remote = {reinterpret_cast<void*>(address), out->size()};
  return process_vm_readv(pid, &local, 1, &remote, 1, 0) ==
         static_cast<ssize_t>(out->size());
}

std::vector<pid_t> threadsOf(pid_t pid) {
  std::vector<pid_t> tids;
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
  if (dir == nullptr) return tids;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') tids.push_back(atoi(entry->d_name));
  }
  closedir(dir);
  return tids;
}

bool tracedByUs(pid_t tid) {
  std::ifstream status("/proc/" + std::to_string(tid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 10, "TracerPid:") == 0) {
      return atoi(line.c_str() + 10) == getpid();
    }
  }
  return false;
}

}  // namespace

Tracee::~Tracee() {
  if (!attached_ || gone_) return;
  std::vector<Stop> met;
  if (!stopAll(&met)) return;
  for (const Stop& stop : met) keepSignal(stop.tid, stop.signal);
  detach();
}

bool Tracee::attach(std::string* why) {
  // Attached before: good only once the instructions are found.
  if (attached_) {
    return (syscallAt_ != 0 && storeAt_ != 0) || findInstructions(why);
  }
  // Threads may start while the list is read. Each round seizes the threads
  // the list newly names and stops every thread seized: one inside clone()
  // finishes it first, so the next list names the threads it started (those
  // started later are traced from their start). The lab holds no page yet:
  // the signals met on the way are the threads' own, given on their resume.
  std::vector<pid_t> tried;
  std::vector<Stop> met;
  for (bool more = true; more;) {
    more = false;
    for (pid_t tid : threadsOf(pid_)) {
      if (std::find(tried.begin(), tried.end(), tid) != tried.end()) continue;
      tried.push_back(tid);
      more = true;
      if (!seize(tid, why)) return false;
    }
    if (attached_ && !stopAll(&met)) break;
  }
  if (threads_.empty() || gone_) {
    *why = "cannot trace the process: it is gone";
    return false;
  }
  for (const Stop& stop : met) keepSignal(stop.tid, stop.signal);
  resumeAll();
  return findInstructions(why);
}

bool Tracee::seize(pid_t tid, std::string* why) {
  // Seizing does not stop a thread: it stops only when asked to, and at its
  // signals and clone() calls.
  if (ptrace(PTRACE_SEIZE, tid, nullptr, PTRACE_O_TRACECLONE) == 0) {
    add(tid);
    attached_ = true;
    return true;
  }
  const int error = errno;
  if (error == ESRCH) return true;  // it ended meanwhile
  if (tracedByUs(tid)) {
    add(tid);  // started by a thread seized before: traced from its start
    return true;
  }
  *why = std::string("cannot trace the process: ") + strerror(error);
  return false;
}

// Any place where the two bytes stand will do: run from its first byte, the
// pair is that instruction, whatever it was part of.
bool Tracee::findInstructions(std::string* why) {
  std::ifstream maps("/proc/" + std::to_string(pid_) + "/maps");
  std::string line;
  while (std::getline(maps, line) && (syscallAt_ == 0 || storeAt_ == 0)) {
    std::istringstream fields(line);
    std::string range, perms;
    fields >> range >> perms;
    if (perms.compare(0, 3, "r-x") != 0) continue;
    const size_t dash = range.find('-');
    const uint64_t start = std::stoull(range.substr(0, dash), nullptr, 16);
    const uint64_t end = std::stoull(range.substr(dash + 1), nullptr, 16);
    std::vector<unsigned char> code(end - start);
    if (!readRemote(pid_, start, &code)) continue;
    for (size_t i = 0; i + 1 < code.size(); ++i) {
      if (syscallAt_ == 0 && code[i] == 0x0F && code[i + 1] == 0x05) {
        syscallAt_ = start + i;
      }
    }
    for (unsigned char rm : kStoreModRm) {
      for (size_t i = 0; storeAt_ == 0 && i + 1 < code.size(); ++i) {
        if (code[i] == 0x89 && code[i + 1] == rm) {
          storeAt_ = start + i;
          storeAddressRegister_ = rm;
        }
      }
    }
  }
  if (syscallAt_ == 0 || storeAt_ == 0) {
    *why = "no system call or 32-bit store instruction in the process's code";
    return false;
  }
  return true;
}

Tracee::Thread* Tracee::find(pid_t tid) {
  for (Thread& thread : threads_) {
    if (thread.tid == tid) return &thread;
  }
  return nullptr;
}

Tracee::Thread& Tracee::add(pid_t tid) {
  Thread* known = find(tid);
  if (known != nullptr) return *known;
  threads_.push_back(Thread{tid});
  return threads_.back();
}

void Tracee::drop(pid_t tid) {
  threads_.erase(
      std::remove_if(threads_.begin(), threads_.end(),
                     [tid](const Thread& t) { return t.tid == tid; }),
      threads_.end());
  if (threads_.empty()) gone_ = true;
}

void Tracee::end() {
  gone_ = true;
  threads_.clear();
}

std::vector<pid_t> Tracee::threads() const {
  std::vector<pid_t> tids;
  for (const Thread& thread : threads_) tids.push_back(thread.tid);
  return tids;
}

Tracee::Stop Tracee::nextStop(bool wait) {
  Stop stop;
  int status = 0;
  pid_t got;
  do {
    got = waitpid(-1, &status, __WALL | (wait ? 0 : WNOHANG));
  } while (got < 0 && errno == EINTR);
  if (got == 0) return stop;
  if (got < 0) {  // nothing traced is left
    end();
    stop.kind = Stop::kGone;
    return stop;
  }
  stop.tid = got;
  if (WIFEXITED(status) || WIFSIGNALED(status)) {
    // The first thread's end is told only once it is the last thread.
    if (got == pid_) {
      end();
      stop.kind = Stop::kGone;
    } else {
      drop(got);
      stop.kind = Stop::kExited;
    }
    return stop;
  }
  if (!WIFSTOPPED(status)) return stop;
  const int event = status >> 16;
  Thread& thread = add(got);  // a new thread's stop may beat its clone event
  thread.stopped = true;
  thread.atSignal = event == 0;
  if (event == 0) {
    stop.kind = Stop::kSignal;
    stop.signal = WSTOPSIG(status);
    ptrace(PTRACE_GETSIGINFO, got, nullptr, &stop.info);
    return stop;
  }
  stop.kind = Stop::kInterrupt;
  unsigned long child = 0;
  if (event == PTRACE_EVENT_CLONE) {
    stop.kind = Stop::kClone;
    // Traced from its start: its first stop is on its way.
    if (ptrace(PTRACE_GETEVENTMSG, got, nullptr, &child) == 0) {
      add(static_cast<pid_t>(child));
    }
  }
  return stop;
}

// A stop asked for is taken at the thread's next stop of any kind, so a
// thread that stopped just before it was asked to takes it after its resume:
// a stop of no use then, which the caller lets go on.
bool Tracee::stopAll(std::vector<Stop>* met) {
  if (gone_) return false;
  std::vector<pid_t> ended;
  for (const Thread& thread : threads_) {
    if (!thread.stopped &&
        ptrace(PTRACE_INTERRUPT, thread.tid, nullptr, nullptr) != 0) {
      ended.push_back(thread.tid);  // no longer traced: it has ended
    }
  }
  for (pid_t tid : ended) drop(tid);
  // Threads that start meanwhile join the set, and are waited for too.
  while (!gone_) {
    const bool running =
        std::any_of(threads_.begin(), threads_.end(),
                    [](const Thread& thread) { return !thread.stopped; });
    if (!running) return true;
    const Stop stop = nextStop(true);
    if (stop.kind == Stop::kGone) return false;
    if (stop.kind == Stop::kSignal) met->push_back(stop);
    if (stop.kind == Stop::kClone) {
      // Stopped inside clone(), whose result is written only on the way
      // out: no instruction of the lab's may run there. The thread finishes
      // the call and stops again.
      resume(stop.tid);
      ptrace(PTRACE_INTERRUPT, stop.tid, nullptr, nullptr);
    }
  }
  return false;
}

// Every thread is waited for at once, never one alone: an ending thread is
// told only once the threads that ended before it are gone (the first thread
// waits for the others, PID 1 of a namespace for everything in it), and only
// the lab's waits let them go.
Tracee::Stop Tracee::nextStopOf(pid_t tid) {
  for (;;) {
    const Stop stop = nextStop(true);
    if (stop.kind == Stop::kGone || stop.tid == tid) return stop;
    // Any other thread is stopped: only its end can come, or a signal.
    if (stop.kind == Stop::kSignal) keepSignal(stop.tid, stop.signal);
  }
}

bool Tracee::faultWaiting(pid_t tid) {
  // The thread's own queue, where a fault's signal goes; one sent from
  // outside (si_code <= 0) is not a fault.
  __ptrace_peeksiginfo_args args = {0, 0, 8};
  siginfo_t waiting[8];
  const long n = ptrace(PTRACE_PEEKSIGINFO, tid, &args, waiting);
  for (long i = 0; i < n; ++i) {
    if (waiting[i].si_signo == SIGSEGV && waiting[i].si_code > 0) return true;
  }
  return false;
}

Tracee::Stop Tracee::takeFault(pid_t tid) {
  for (;;) {
    Thread* thread = find(tid);
    if (thread == nullptr || ptrace(PTRACE_CONT, tid, nullptr, nullptr) != 0) {
      Stop stop;
      stop.kind = gone_ ? Stop::kGone : Stop::kExited;
      return stop;
    }
    thread->stopped = false;
    const Stop stop = nextStopOf(tid);
    // A stop asked for earlier comes before the signal.
    if (stop.kind != Stop::kInterrupt) return stop;
  }
}

void Tracee::keepSignal(pid_t tid, int signal) {
  Thread* thread = find(tid);
  if (thread != nullptr) thread->signal = signal;
}

// Only a thread stopped at a signal takes one with its resume (or detach);
// any other is sent it. Returns what the resume is to deliver.
long Tracee::handOverSignal(Thread& thread) {
  const int signal = thread.signal;
  thread.signal = 0;
  if (signal != 0 && !thread.atSignal) {
    syscall(SYS_tgkill, pid_, thread.tid, signal);
  }
  return thread.atSignal ? signal : 0;
}

void Tracee::resume(pid_t tid) {
  Thread* thread = find(tid);
  if (thread == nullptr || !thread->stopped) return;
  const long deliver = handOverSignal(*thread);
  ptrace(PTRACE_CONT, tid, nullptr, reinterpret_cast<void*>(deliver));
  thread->stopped = false;
}

void Tracee::resumeAll() {
  for (pid_t tid : threads()) resume(tid);
}

void Tracee::detach() {
  for (Thread& thread : threads_) {
    const long deliver = handOverSignal(thread);
    ptrace(PTRACE_DETACH, thread.tid, nullptr,
           reinterpret_cast<void*>(deliver));
  }
  threads_.clear();
  attached_ = false;
}

Tracee::Stop Tracee::step(pid_t tid) {
  for (;;) {
    Thread* thread = find(tid);
    if (thread == nullptr ||
        ptrace(PTRACE_SINGLESTEP, tid, nullptr, nullptr) != 0) {
      end();
      Stop stop;
      stop.kind = Stop::kGone;
      return stop;
    }
    thread->stopped = false;
    Stop stop = nextStopOf(tid);
    // No thread ends on its own within one instruction the lab runs: the
    // process was killed.
    if (stop.kind == Stop::kGone || stop.kind == Stop::kExited) {
      end();
      stop.kind = Stop::kGone;
      return stop;
    }
    // A stop asked for earlier comes before the instruction: step again.
    if (stop.kind == Stop::kInterrupt) continue;
    if (stop.signal == SIGTRAP || stop.signal == SIGSEGV) return stop;
    keepSignal(tid, stop.signal);
  }
}

bool Tracee::registers(pid_t tid, user_regs_struct* regs) {
  return ptrace(PTRACE_GETREGS, tid, nullptr, regs) == 0;
}

bool Tracee::setRegisters(pid_t tid, const user_regs_struct& regs) {
  return ptrace(PTRACE_SETREGS, tid, nullptr, &regs) == 0;
}

bool Tracee::systemCall(long number, long arg0, long arg1, long arg2,
                        long* result) {
  if (threads_.empty()) return false;
  const pid_t tid = threads_.front().tid;  // any: all are stopped
  user_regs_struct saved;
  if (!registers(tid, &saved)) return false;
  user_regs_struct call = saved;
  call.rip = syscallAt_;
  call.rax = static_cast<unsigned long long>(number);
  call.rdi = static_cast<unsigned long long>(arg0);
  call.rsi = static_cast<unsigned long long>(arg1);
  call.rdx = static_cast<unsigned long long>(arg2);
  // Not in a system call: the kernel must not restart one on the way out.
  // The saved registers keep the interrupted call, which then restarts as
  // it would have.
  call.orig_rax = ~0ull;
  if (!setRegisters(tid, call)) return false;
  const Stop stop = step(tid);
  if (stop.kind == Stop::kGone) return false;
  user_regs_struct after;
  const bool ran = stop.signal == SIGTRAP && registers(tid, &after);
  if (ran) *result = static_cast<long>(after.rax);
  return setRegisters(tid, saved) && ran;
}

user_regs_struct Tracee::storeRegisters(const user_regs_struct& now,
                                        uint64_t address,
                                        uint32_t value) const {
  user_regs_struct regs = now;
  regs.rip = storeAt_;
  regs.orig_rax = ~0ull;
  regs.rax = value;
  registerByRm(regs, storeAddressRegister_) = address;
  return regs;
}
