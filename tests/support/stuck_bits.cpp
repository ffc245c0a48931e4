#include "tests/support/stuck_bits.h"

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <vector>

struct HeldBit {
  volatile uint32_t* word;
  uint32_t setMask;
  uint32_t keepMask;
  volatile int stores;
  volatile int forced;
  // While a store to the word's page is stepped: whether it wrote the word
  // (kMaybe: the canary tells), and what the word held before.
  enum class Hit { kNo, kYes, kMaybe } hit;
  uint32_t before;
  uint32_t canary;
};

namespace {

constexpr uintptr_t kPageBytes = 4096;
constexpr greg_t kTrapFlag = 0x100;  // EFLAGS.TF: trap after one instruction
// The widest store of x86-64 (AVX-512): a store that starts this many bytes
// below a word or fewer may reach into it.
constexpr uintptr_t kWidestStore = 64;
// One instruction may store to several pages (a scatter); each one faults
// in turn and is opened for the same step.
constexpr int kMaxOpenPages = 16;

std::vector<HeldBit*> faults;  // every bit held now

struct Step {
  uintptr_t pages[kMaxOpenPages];
  int count = 0;  // 0: no store is being stepped
};
Step step;

struct sigaction previousSegv;
struct sigaction previousTrap;

uintptr_t pageOf(uintptr_t address) { return address & ~(kPageBytes - 1); }
uintptr_t pageOf(const volatile uint32_t* word) {
  return pageOf(reinterpret_cast<uintptr_t>(word));
}

bool held(uintptr_t page) {
  for (const HeldBit* f : faults) {
    if (pageOf(f->word) == page) return true;
  }
  return false;
}

bool openForStep(uintptr_t page) {
  for (int i = 0; i < step.count; ++i) {
    if (step.pages[i] == page) return true;
  }
  return false;
}

uint32_t forcedValue(const HeldBit& f, uint32_t value) {
  return (value | f.setMask) & f.keepMask;
}

// Canaries tell whether a store that began just below a word reached it:
// the word holds one while the store runs, and still holds it afterwards
// only if the store did not write there. Any value but the word's own will
// do; these change from store to store, so that no data a test writes
// matches them but by a 1 in 2^32 chance. (An instruction that also reads
// memory from below the word into it, a wide read-modify-write, would read
// the canary; the code under test makes none.)
uint32_t nextCanary() {
  static uint32_t state = 0x9E3779B9u;
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

// Hands a signal that is not ours to the handler that was there before; with
// none, the default action happens as if we had never been here.
void passOn(const struct sigaction& previous, int sig, siginfo_t* info,
            void* context) {
  if ((previous.sa_flags & SA_SIGINFO) != 0) {
    previous.sa_sigaction(sig, info, context);
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(sig);
  } else {
    // A fault comes back when its instruction runs again; a trap has to be
    // raised anew.
    sigaction(sig, &previous, nullptr);
    if (sig == SIGTRAP) raise(SIGTRAP);
  }
}

// The page a faulting store reached: the page of its address, or, for a
// store that begins just below a held page, the next page.
uintptr_t heldPageFor(uintptr_t address) {
  for (uintptr_t page : {pageOf(address), pageOf(address + kWidestStore - 1)}) {
    if (held(page) && !openForStep(page)) return page;
  }
  return 0;
}

void onFault(int sig, siginfo_t* info, void* context) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
  const uintptr_t page =
      info->si_code == SEGV_ACCERR ? heldPageFor(address) : 0;
  if (page == 0 || step.count == kMaxOpenPages) {
    passOn(previousSegv, sig, info, context);
    return;
  }
  step.pages[step.count++] = page;
  for (HeldBit* f : faults) {
    if (pageOf(f->word) != page) continue;
    const uintptr_t word = reinterpret_cast<uintptr_t>(f->word);
    f->before = *f->word;
    if (address >= word && address < word + sizeof(uint32_t)) {
      f->hit = HeldBit::Hit::kYes;
    } else if (address < word && word - address < kWidestStore) {
      f->hit = HeldBit::Hit::kMaybe;
      do {
        f->canary = nextCanary();
      } while (f->canary == f->before);
    } else {
      f->hit = HeldBit::Hit::kNo;
    }
  }
  mprotect(reinterpret_cast<void*>(page), kPageBytes, PROT_READ | PROT_WRITE);
  for (HeldBit* f : faults) {
    if (pageOf(f->word) == page && f->hit == HeldBit::Hit::kMaybe) {
      *f->word = f->canary;
    }
  }
  static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_EFL] |= kTrapFlag;
}

void onTrap(int sig, siginfo_t* info, void* context) {
  if (step.count == 0) {
    passOn(previousTrap, sig, info, context);
    return;
  }
  static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_EFL] &= ~kTrapFlag;
  for (HeldBit* f : faults) {
    if (!openForStep(pageOf(f->word))) continue;
    bool wrote = f->hit == HeldBit::Hit::kYes;
    if (f->hit == HeldBit::Hit::kMaybe) {
      wrote = *f->word != f->canary;
      if (!wrote) *f->word = f->before;
    }
    if (!wrote) continue;
    f->stores = f->stores + 1;
    const uint32_t value = *f->word;
    if (forcedValue(*f, value) != value) {
      *f->word = forcedValue(*f, value);
      f->forced = f->forced + 1;
    }
  }
  for (int i = 0; i < step.count; ++i) {
    mprotect(reinterpret_cast<void*>(step.pages[i]), kPageBytes, PROT_READ);
  }
  step.count = 0;
}

void install() {
  struct sigaction action = {};
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  action.sa_sigaction = onFault;
  sigaction(SIGSEGV, &action, &previousSegv);
  action.sa_sigaction = onTrap;
  sigaction(SIGTRAP, &action, &previousTrap);
}

void uninstall() {
  sigaction(SIGSEGV, &previousSegv, nullptr);
  sigaction(SIGTRAP, &previousTrap, nullptr);
}

[[noreturn]] void notArmed(const HeldBit& f, const char* why) {
  fprintf(stderr,
          "StuckBit at %p: %s (probe: %d stores seen, %d forced); page "
          "protection with single-stepping does not work on this host\n",
          static_cast<const void*>(const_cast<uint32_t*>(f.word)), why,
          f.stores, f.forced);
  abort();
}

}  // namespace

StuckBit::StuckBit(uint32_t* word, int bit, bool stuckAt) : held_(new HeldBit) {
  if (faults.empty()) install();
  HeldBit& f = *held_;
  f.word = word;
  f.setMask = stuckAt ? 1u << bit : 0;
  f.keepMask = stuckAt ? ~0u : ~(1u << bit);
  f.stores = 0;
  f.forced = 0;
  const bool pageHeld = held(pageOf(word));
  faults.push_back(held_);
  if (!pageHeld && mprotect(reinterpret_cast<void*>(pageOf(word)), kPageBytes,
                            PROT_READ) != 0) {
    notArmed(f, "its page cannot be made read-only");
  }
  // The probe stores the word's value with the bit at the other level; the
  // trap must count it and force the bit back.
  const uint32_t mask = 1u << bit;
  const uint32_t probe = stuckAt ? *word & ~mask : *word | mask;
  *f.word = probe;
  if (f.stores != 1 || f.forced != 1 || *f.word != (probe ^ mask)) {
    notArmed(f, "the probe store was not forced");
  }
  f.stores = 0;
  f.forced = 0;
}

StuckBit::~StuckBit() {
  faults.erase(std::find(faults.begin(), faults.end(), held_));
  const uintptr_t page = pageOf(held_->word);
  if (!held(page)) {
    mprotect(reinterpret_cast<void*>(page), kPageBytes, PROT_READ | PROT_WRITE);
  }
  if (faults.empty()) uninstall();
  delete held_;
}

int StuckBit::stores() const { return held_->stores; }

int StuckBit::forced() const { return held_->forced; }
