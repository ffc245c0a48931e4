#include "lab/tracee.h"

#include <sys/ptrace.h>
#include <sys/uio.h>
#include <sys/wait.h>

#include <cerrno>
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

}  // namespace

Tracee::~Tracee() {
  if (!attached_ || gone_ || !requestStop()) return;
  for (;;) {
    const Stop stop = nextStop(true);
    if (stop.kind == Stop::kGone) return;
    if (stop.kind == Stop::kInterrupt) break;
    resume(stop.signal);
  }
  detach();
}

bool Tracee::attach(std::string* why) {
  if (attached_) return true;
  // Seizing does not stop the process: it stops only when asked to, and at
  // its signals.
  if (ptrace(PTRACE_SEIZE, pid_, nullptr, nullptr) != 0) {
    *why = std::string("cannot trace the process: ") + strerror(errno);
    return false;
  }
  attached_ = true;
  return findInstructions(why);
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

Tracee::Stop Tracee::nextStop(bool wait) {
  Stop stop;
  int status = 0;
  pid_t got;
  do {
    got = waitpid(pid_, &status, __WALL | (wait ? 0 : WNOHANG));
  } while (got < 0 && errno == EINTR);
  if (got == 0) return stop;
  if (got < 0 || WIFEXITED(status) || WIFSIGNALED(status)) {
    gone_ = true;
    stop.kind = Stop::kGone;
    return stop;
  }
  if (!WIFSTOPPED(status)) return stop;
  if ((status >> 16) == PTRACE_EVENT_STOP) {
    stop.kind = Stop::kInterrupt;  // asked for, or a group stop
    return stop;
  }
  stop.kind = Stop::kSignal;
  stop.signal = WSTOPSIG(status);
  ptrace(PTRACE_GETSIGINFO, pid_, nullptr, &stop.info);
  return stop;
}

bool Tracee::requestStop() {
  return ptrace(PTRACE_INTERRUPT, pid_, nullptr, nullptr) == 0;
}

bool Tracee::faultWaiting() {
  // The process's own queue; a fault's signal is never shared.
  __ptrace_peeksiginfo_args args = {0, 0, 8};
  siginfo_t waiting[8];
  const long n = ptrace(PTRACE_PEEKSIGINFO, pid_, &args, waiting);
  for (long i = 0; i < n; ++i) {
    if (waiting[i].si_signo == SIGSEGV) return true;
  }
  return false;
}

void Tracee::resume(int signal) {
  const int deliver = signal != 0 ? signal : heldSignal_;
  heldSignal_ = 0;
  ptrace(PTRACE_CONT, pid_, nullptr, reinterpret_cast<void*>(deliver));
}

void Tracee::detach() {
  ptrace(PTRACE_DETACH, pid_, nullptr, reinterpret_cast<void*>(heldSignal_));
  heldSignal_ = 0;
  attached_ = false;
}

Tracee::Stop Tracee::step() {
  for (;;) {
    if (ptrace(PTRACE_SINGLESTEP, pid_, nullptr, nullptr) != 0) {
      gone_ = true;
      Stop stop;
      stop.kind = Stop::kGone;
      return stop;
    }
    const Stop stop = nextStop(true);
    if (stop.kind == Stop::kGone) return stop;
    // A stop asked for earlier comes before the instruction: step again.
    if (stop.kind == Stop::kInterrupt) continue;
    if (stop.signal == SIGTRAP || stop.signal == SIGSEGV) return stop;
    heldSignal_ = stop.signal;
  }
}

bool Tracee::registers(user_regs_struct* regs) {
  return ptrace(PTRACE_GETREGS, pid_, nullptr, regs) == 0;
}

bool Tracee::setRegisters(const user_regs_struct& regs) {
  return ptrace(PTRACE_SETREGS, pid_, nullptr, &regs) == 0;
}

bool Tracee::systemCall(long number, long arg0, long arg1, long arg2,
                        long* result) {
  user_regs_struct saved;
  if (!registers(&saved)) return false;
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
  if (!setRegisters(call)) return false;
  const Stop stop = step();
  if (stop.kind == Stop::kGone) return false;
  user_regs_struct after;
  const bool ran = stop.signal == SIGTRAP && registers(&after);
  if (ran) *result = static_cast<long>(after.rax);
  return setRegisters(saved) && ran;
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
