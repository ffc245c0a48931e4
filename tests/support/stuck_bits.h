// Stuck-at bits for tests: a word of real memory whose bit stays at 1 (or 0)
// whatever is stored to it, as a worn or shorted cell behaves. No code under
// test knows about it.
//
// The word's 4 KiB page is read-only while the bit is held. A store to the
// page faults; the fault handler makes the page writable and sets the trap
// flag, so the store runs and the CPU traps right after it; the trap handler
// forces the bit if the store wrote the word, and makes the page read-only
// again. So every store is caught, whatever its width (streaming and vector
// stores too), on any x86-64 host, with no limit on how many bits are held.
// Stores to the other words of the page are stepped the same way and left
// alone. Faults and traps that are not ours go to the handler that was there
// before (the sanitizers install one).
//
// The page must hold nothing but test data: a system call that writes into it
// (a read() into a buffer there) fails with EFAULT while the bit is held, and
// the fault bookkeeping must not share it. BankPair gives banks pages of
// their own.
#ifndef CELLCHECK_TESTS_SUPPORT_STUCK_BITS_H_
#define CELLCHECK_TESTS_SUPPORT_STUCK_BITS_H_

#include <cstdint>

class StuckBit {
 public:
  // Forces the bit at once and proves the fault armed: one probe store of
  // the other bit value must be caught and forced. Where it is not, the test
  // program stops with a message (abort): a fault that is not there would let
  // a test pass for nothing.
  StuckBit(uint32_t* word, int bit, bool stuckAt);
  // Frees the bit; the page is writable again once no bit holds it.
  ~StuckBit();
  StuckBit(const StuckBit&) = delete;
  StuckBit& operator=(const StuckBit&) = delete;

  // Stores that wrote the word since the fault was made (the probe is not
  // counted): each instruction counts once, whatever its width; a byte
  // store, or each step of a repeated string store, counts on its own.
  int stores() const;
  // Of those, the stores whose value the fault changed.
  int forced() const;

 private:
  struct HeldBit* held_;
};

// Two neighbouring data lines of a word bridged: every store leaves bits
// `low` and `low` + 1 both at the AND of what was stored to them (a short
// that pulls the high line down). Made, probed and stepped as a stuck bit.
class BridgedBits {
 public:
  BridgedBits(uint32_t* word, int low);
  ~BridgedBits();
  BridgedBits(const BridgedBits&) = delete;
  BridgedBits& operator=(const BridgedBits&) = delete;

  int stores() const;

 private:
  struct HeldBit* held_;
};

// A coupling between two words: a store that raises bit `bit` of the
// aggressor from 0 to 1 sets the same bit of the victim to `victimValue`
// (an idempotent coupling fault). Stores to the aggressor's page are stepped
// as a stuck bit's; the victim must lie on a page that no fault holds.
class CoupledBit {
 public:
  CoupledBit(uint32_t* aggressor, uint32_t* victim, int bit, bool victimValue);
  ~CoupledBit();
  CoupledBit(const CoupledBit&) = delete;
  CoupledBit& operator=(const CoupledBit&) = delete;

  int stores() const;
  // Of those, the stores that changed the victim.
  int forced() const;

 private:
  struct HeldBit* held_;
};

#endif  // CELLCHECK_TESTS_SUPPORT_STUCK_BITS_H_
