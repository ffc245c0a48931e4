// Stuck-at bits in another process, from outside, through ptrace: how the
// lab makes a bit of a running tester's memory stay at 0 or 1 whatever the
// tester stores there, without changing the tester. It needs no debug
// registers, so it holds on any x86-64 host.
//
// The page of a held word is read-only inside the process (the lab runs
// mprotect there, as a system call of the process's own). Each store to the
// page, from any thread, stops that thread with SIGSEGV; the lab stops every
// other thread too (the page's protection is the whole process's), makes the
// page writable, runs the one store, forces the bit if the store wrote the
// word, makes the page read-only again and lets every thread go on, the one
// that stored without the signal. Stores to the other words of the page run
// the same way and are left alone.
#ifndef CELLCHECK_LAB_REMOTE_STUCK_BITS_H_
#define CELLCHECK_LAB_REMOTE_STUCK_BITS_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "lab/remote_memory.h"
#include "lab/tracee.h"

class RemoteStuckBits {
 public:
  struct Counts {
    uint64_t stores = 0;   // stores that wrote the word
    uint64_t forced = 0;   // of those, the ones whose bit the fault changed
    uint64_t threads = 0;  // how many threads made those stores (on remove)
  };
  // Receives a line for each forced store ("force id=ID stored=0x.. now=0x..")
  // and for each thing that went wrong ("error id=ID ...").
  using Log = std::function<void(const std::string& line)>;

  RemoteStuckBits(pid_t pid, Log log)
      : tracee_(pid), memory_(pid), log_(std::move(log)) {}
  // Frees every page before it lets the process go: a page left read-only
  // would kill it at its next store there.
  ~RemoteStuckBits();
  RemoteStuckBits(const RemoteStuckBits&) = delete;
  RemoteStuckBits& operator=(const RemoteStuckBits&) = delete;

  // Holds `bit` of the 32-bit word at `address` at `level`. The process
  // itself makes a probe store there (the word with the bit at the other
  // level), which must be caught and forced before the bit counts as held;
  // the word then holds its old value with the bit forced. False with the
  // reason when it cannot be made or proven.
  bool add(const std::string& id, uint64_t address, int bit, int level,
           std::string* why);
  // A data line stuck over stretches of memory: `bit` of every one of
  // `words` consecutive words from `address` held at `level`, in each
  // stretch. All are made with the process stopped throughout (a line in two
  // banks is never half made): each word's bit is forced first (`changed`
  // gets how many words that changed, per stretch), then a probe store to
  // each stretch's first word must be caught and forced, as for one bit. A
  // store to a stretch counts once however many of its words it wrote, and
  // is not logged by itself. False with the reason; none is then held.
  struct Stretch {
    std::string id;
    uint64_t address;
    uint64_t words;
  };
  bool addStretches(const std::vector<Stretch>& stretches, int bit, int level,
                    std::vector<uint64_t>* changed, std::string* why);
  // Frees the bit (or stretch); false for an unknown id.
  bool remove(const std::string& id, Counts* counts);
  std::vector<std::string> ids() const;

  // Writes words of the process, those on held pages too (with the process
  // stopped, the page writable for the moment). False with the reason.
  bool write(const std::vector<uint64_t>& addresses,
             const std::vector<uint32_t>& values, std::string* why);

  // Handles the stops of the process since the last call, without waiting
  // (a bounded number: call again soon, as every SIGCHLD and a short poll
  // timeout do). False once the process has ended.
  bool handleStops();

 private:
  struct Bit {
    std::string id;
    uint64_t address;
    uint32_t setMask;
    uint32_t keepMask;
    Counts counts;
    // While a store to its page runs: whether it wrote the word (kMaybe: the
    // canary tells), and what the word held before.
    enum class Hit { kNo, kYes, kMaybe } hit = Hit::kNo;
    uint32_t before = 0;
    uint32_t canary = 0;
    std::vector<pid_t> storers = {};  // the threads that stored to the word
    uint64_t words = 1;               // more than one: a stretch
    uint64_t end() const { return address + 4 * words; }
  };
  enum class StepEnd { kDone, kNotOurs, kGone };

  // Stops handled by one handleStops() call.
  static constexpr int kStopsPerCall = 64;

  bool stopAll(const Tracee::Stop* first = nullptr);
  bool handleStopped(const Tracee::Stop& stop);
  bool dispatch(const Tracee::Stop& stop);
  StepEnd stepStore(pid_t tid, siginfo_t fault);
  void settle(Bit& bit, pid_t tid);
  void settleStretch(Bit& bit, pid_t tid, uint64_t storeAt,
                     const std::vector<uint64_t>& open);
  int64_t forceOnPage(const Bit& bit, uint64_t page);
  bool prove(const std::string& id, uint64_t address, uint32_t value,
             uint32_t mask, int level, std::string* why);
  void openPagesOf(const Bit& bit);
  uint64_t heldPageFor(uint64_t address,
                       const std::vector<uint64_t>& open) const;
  bool held(uint64_t page) const;
  bool protect(uint64_t page, bool writable, std::string* why);
  bool readWord(uint64_t address, uint32_t* value);
  bool writeWord(uint64_t address, uint32_t value);
  Bit* find(const std::string& id);

  Tracee tracee_;
  RemoteMemory memory_;
  Log log_;
  std::vector<Bit> bits_;
  bool probing_ = false;  // the probe's forcing is not logged as a store
  uint32_t canaryState_ = 0x9E3779B9u;
};

#endif  // CELLCHECK_LAB_REMOTE_STUCK_BITS_H_
