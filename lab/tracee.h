// Another process under ptrace, every thread of it, for the fault lab: it
// runs at full speed until the lab stops it, and then the lab can run single
// instructions in it, system calls (mprotect) among them, on the process's
// own behalf. x86-64.
//
// A page's protection is the whole process's, so whatever the lab does to one
// thread it does with every thread stopped: stopAll() before, resumeAll()
// after. Threads the process starts later are traced from their start.
#ifndef CELLCHECK_LAB_TRACEE_H_
#define CELLCHECK_LAB_TRACEE_H_

#include <signal.h>
#include <sys/types.h>
#include <sys/user.h>

#include <cstdint>
#include <string>
#include <vector>

class Tracee {
 public:
  explicit Tracee(pid_t pid) : pid_(pid) {}
  // Lets a process that is still traced go on where it is.
  ~Tracee();
  Tracee(const Tracee&) = delete;
  Tracee& operator=(const Tracee&) = delete;

  // Seizes every thread of the process, and finds in its code the two
  // instructions the lab runs there: a system call and a 32-bit store. The
  // process runs on afterwards. False with the reason where either fails.
  bool attach(std::string* why);
  bool attached() const { return attached_; }
  bool gone() const { return gone_; }

  struct Stop {
    // kInterrupt: asked for, or a new thread's first stop; kClone: a thread
    // started another; neither has a signal to deliver. kExited: one thread
    // ended, others go on. kGone: the whole process ended.
    enum Kind { kNone, kGone, kExited, kInterrupt, kClone, kSignal };
    Kind kind = kNone;
    pid_t tid = 0;
    int signal = 0;
    siginfo_t info = {};  // for kSignal
  };

  // The next stop of any thread: waits for it, or returns kNone at once when
  // `wait` is false and there is none.
  Stop nextStop(bool wait);
  // Stops every running thread and waits until each has stopped. The signal
  // stops met on the way (a thread's own fault among them) are appended to
  // `met`, in the order they came, for the caller to handle. False when the
  // process is gone.
  bool stopAll(std::vector<Stop>* met);
  std::vector<pid_t> threads() const;
  // With the thread stopped: true when a fault of its own (a SIGSEGV) waits
  // to be delivered; it met it just as it was asked to stop, and the stop
  // came first. Any instruction the lab ran there next would meet that
  // signal instead.
  bool faultWaiting(pid_t tid);
  // Lets that one thread take its waiting fault (a fault's signal cannot be
  // blocked, so it comes before any instruction). Returns its stop.
  Stop takeFault(pid_t tid);
  // The signal the stopped thread gets when it goes on (0: none).
  void keepSignal(pid_t tid, int signal);
  // Lets a stopped thread go on, with its kept signal.
  void resume(pid_t tid);
  void resumeAll();
  // Ends tracing of every thread, all stopped; the process goes on.
  void detach();

  // The rest needs every thread stopped, and leaves them stopped.
  //
  // Runs one instruction in the thread. Returns the stop after it: SIGTRAP
  // when it ran, SIGSEGV when it faulted (it has not run then). Other signals
  // that arrive meanwhile are kept for the thread's resume.
  Stop step(pid_t tid);
  // Runs one system call in one of the threads (any will do) and puts its
  // registers back, so that whatever it was doing (a system call too) goes on
  // unchanged. Returns the call's result (-errno on failure); false when the
  // call did not run (the process is gone, or a fault of its own came first).
  bool systemCall(long number, long arg0, long arg1, long arg2, long* result);
  bool registers(pid_t tid, user_regs_struct* regs);
  bool setRegisters(pid_t tid, const user_regs_struct& regs);
  // Registers that make the next instruction a store of `value` to the
  // 32-bit word at `address`.
  user_regs_struct storeRegisters(const user_regs_struct& now, uint64_t address,
                                  uint32_t value) const;

 private:
  struct Thread {
    pid_t tid;
    bool stopped = false;   // in a stop seen here, not ended since
    bool atSignal = false;  // stopped at a signal: one can be given on resume
    int signal = 0;         // to give it on resume
  };

  bool seize(pid_t tid, std::string* why);
  bool findInstructions(std::string* why);
  Thread* find(pid_t tid);
  Thread& add(pid_t tid);
  void drop(pid_t tid);
  void end();
  Stop nextStopOf(pid_t tid);
  long handOverSignal(Thread& thread);

  pid_t pid_;
  bool attached_ = false;
  bool gone_ = false;
  std::vector<Thread> threads_;
  uint64_t syscallAt_ = 0;         // the bytes 0F 05: syscall
  uint64_t storeAt_ = 0;           // the bytes 89 0x: mov [reg], eax
  int storeAddressRegister_ = -1;  // which reg of mov [reg], eax
};

#endif  // CELLCHECK_LAB_TRACEE_H_
