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
  // Bridged lines: the two bits from bridgeLow up both take their AND (-1:
  // none).
  int bridgeLow = -1;
  // Coupling: a store that raises the word's bits in raiseMask from 0 to 1
  // sets the victim's victimMask bits to victimValue (null: none).
  volatile uint32_t* victim = nullptr;
  uint32_t raiseMask = 0;
  uint32_t victimMask = 0;
  bool victimValue = false;
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
  value = (value | f.setMask) & f.keepMask;
  if (f.bridgeLow >= 0) {
    const uint32_t both = 3u << f.bridgeLow;
    if ((value & both) != both) value &= ~both;
  }
  return value;
}

// The coupling's effect of a store that changed the word from `before` to
// `value`: true when it changed the victim.
bool coupleVictim(const HeldBit& f, uint32_t before, uint32_t value) {
  if (f.victim == nullptr) return false;
  if ((before & f.raiseMask) != 0 || (value & f.raiseMask) == 0) return false;
  const uint32_t old = *f.victim;
  const uint32_t coupled =
      f.victimValue ? old | f.victimMask : old & ~f.victimMask;
  *f.victim = coupled;
  return coupled != old;
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
    bool changed = coupleVictim(*f, f->before, value);
    if (forcedValue(*f, value) != value) {
      *f->word = forcedValue(*f, value);
      changed = true;
    }
    if (changed) f->forced = f->forced + 1;
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

// Holds the word's page from now on (the fault is made; not yet probed).
HeldBit* arm(HeldBit* f) {
  if (faults.empty()) install();
  f->stores = 0;
  f->forced = 0;
  const bool pageHeld = held(pageOf(f->word));
  faults.push_back(f);
  if (!pageHeld && mprotect(reinterpret_cast<void*>(pageOf(f->word)),
                            kPageBytes, PROT_READ) != 0) {
    notArmed(*f, "its page cannot be made read-only");
  }
  return f;
}

void disarm(HeldBit* f) {
  faults.erase(std::find(faults.begin(), faults.end(), f));
  const uintptr_t page = pageOf(f->word);
  if (!held(page)) {
    mprotect(reinterpret_cast<void*>(page), kPageBytes, PROT_READ | PROT_WRITE);
  }
  if (faults.empty()) uninstall();
  delete f;
}

void probed(HeldBit& f, int stores, bool done) {
  if (f.stores != stores || f.forced != 1 || !done) {
    notArmed(f, "the probe store was not forced");
  }
  f.stores = 0;
  f.forced = 0;
}

HeldBit* stuckAt(uint32_t* word, int bit, bool level) {
  HeldBit* f = new HeldBit;
  f->word = word;
  f->setMask = level ? 1u << bit : 0;
  f->keepMask = level ? ~0u : ~(1u << bit);
  arm(f);
  // The probe stores the word's value with the bit at the other level; the
  // trap must count it and force the bit back.
  const uint32_t mask = 1u << bit;
  const uint32_t probe = level ? *word & ~mask : *word | mask;
  f->word[0] = probe;
  probed(*f, 1, f->word[0] == (probe ^ mask));
  return f;
}

HeldBit* bridged(uint32_t* word, int low) {
  HeldBit* f = new HeldBit;
  f->word = word;
  f->setMask = 0;
  f->keepMask = ~0u;
  f->bridgeLow = low;
  arm(f);
  // The probe drives the two lines apart; both must read 0.
  const uint32_t both = 3u << low;
  const uint32_t probe = (*word & ~both) | 1u << low;
  f->word[0] = probe;
  probed(*f, 1, f->word[0] == (probe & ~both));
  return f;
}

HeldBit* coupled(uint32_t* aggressor, uint32_t* victim, int bit,
                 bool victimValue) {
  HeldBit* f = new HeldBit;
  f->word = aggressor;
  f->setMask = 0;
  f->keepMask = ~0u;
  f->victim = victim;
  f->raiseMask = 1u << bit;
  f->victimMask = 1u << bit;
  f->victimValue = victimValue;
  // The probe: the aggressor's bit low (no rise), the victim's bit at the
  // other level, then the rise, which must set it.
  const uint32_t mask = 1u << bit;
  const uint32_t victimBefore = *victim;
  const uint32_t aggressorBefore = *aggressor;
  *aggressor &= ~mask;
  *victim = victimValue ? victimBefore & ~mask : victimBefore | mask;
  arm(f);
  f->word[0] = aggressorBefore | mask;
  const bool set = ((*victim & mask) != 0) == victimValue;
  probed(*f, 1, set);
  // Both words as they were (a fall: the victim is left alone).
  f->word[0] = aggressorBefore;
  *victim = victimBefore;
  f->stores = 0;
  f->forced = 0;
  return f;
}

}  // namespace

StuckBit::StuckBit(uint32_t* word, int bit, bool level)
    : held_(stuckAt(word, bit, level)) {}
StuckBit::~StuckBit() { disarm(held_); }
int StuckBit::stores() const { return held_->stores; }
int StuckBit::forced() const { return held_->forced; }

BridgedBits::BridgedBits(uint32_t* word, int low) : held_(bridged(word, low)) {}
BridgedBits::~BridgedBits() { disarm(held_); }
int BridgedBits::stores() const { return held_->stores; }

CoupledBit::CoupledBit(uint32_t* aggressor, uint32_t* victim, int bit,
                       bool victimValue)
    : held_(coupled(aggressor, victim, bit, victimValue)) {}
CoupledBit::~CoupledBit() { disarm(held_); }
int CoupledBit::stores() const { return held_->stores; }
int CoupledBit::forced() const { return held_->forced; }
