// Another process under ptrace, for the fault lab: it runs at full speed
// until the lab stops it, and then the lab can run single instructions in it,
// system calls (mprotect) among them, on the process's own behalf. x86-64.
#ifndef CELLCHECK_LAB_TRACEE_H_
#define CELLCHECK_LAB_TRACEE_H_

#include <signal.h>
#include <sys/types.h>
#include <sys/user.h>

#include <cstdint>
#include <string>

class Tracee {
 public:
  explicit Tracee(pid_t pid) : pid_(pid) {}
  // Lets a process that is still traced go on where it is.
  ~Tracee();
  Tracee(const Tracee&) = delete;
  Tracee& operator=(const Tracee&) = delete;

  // Seizes the process without stopping it, and finds in its code the two
  // instructions the lab runs there: a system call and a 32-bit store. False
  // with the reason where either fails.
  bool attach(std::string* why);
  bool attached() const { return attached_; }
  bool gone() const { return gone_; }

  struct Stop {
    enum Kind { kNone, kGone, kInterrupt, kSignal } kind = kNone;
    int signal = 0;
    siginfo_t info = {};  // for kSignal
  };

  // The next stop of the process: waits for it, or returns kNone at once
  // when `wait` is false and there is none.
  Stop nextStop(bool wait);
  // Asks the running process to stop; its kInterrupt stop follows (after
  // any stops that were on their way).
  bool requestStop();
  // With the process stopped: true when a SIGSEGV of its own waits to be
  // delivered (a fault it met just as it was asked to stop: the stop comes
  // first). Any instruction the lab ran next would meet that signal instead.
  bool faultWaiting();
  // Lets the stopped process go on, with `signal` (0: none, or the one held
  // back while the lab was stepping).
  void resume(int signal);
  // Ends tracing; the process goes on.
  void detach();

  // The rest needs the process stopped, and leaves it stopped.
  //
  // Runs one instruction. Returns the stop after it: SIGTRAP when it ran,
  // SIGSEGV when it faulted (it has not run then). Other signals that arrive
  // meanwhile are held back for the next resume(0).
  Stop step();
  // Runs one system call in the process and puts its registers back, so that
  // whatever it was doing (a system call too) goes on unchanged. Returns the
  // call's result (-errno on failure); false when the call did not run (the
  // process is gone, or a fault of its own came first).
  bool systemCall(long number, long arg0, long arg1, long arg2, long* result);
  bool registers(user_regs_struct* regs);
  bool setRegisters(const user_regs_struct& regs);
  // Registers that make the next instruction a store of `value` to the
  // 32-bit word at `address`.
  user_regs_struct storeRegisters(const user_regs_struct& now, uint64_t address,
                                  uint32_t value) const;

 private:
  bool findInstructions(std::string* why);

  pid_t pid_;
  bool attached_ = false;
  bool gone_ = false;
  int heldSignal_ = 0;
  uint64_t syscallAt_ = 0;         // the bytes 0F 05: syscall
  uint64_t storeAt_ = 0;           // the bytes 89 0x: mov [reg], eax
  int storeAddressRegister_ = -1;  // which reg of mov [reg], eax
};

#endif  // CELLCHECK_LAB_TRACEE_H_
