// The pattern generator: a subtractive lagged-Fibonacci generator (lags 24
// and 55) on 32-bit words whose output passes through a 42-word shuffle
// table. Every test takes its data and its random positions from it; the same
// seed always yields the same sequence of draws.
#ifndef CELLCHECK_TESTER_PATTERN_GENERATOR_H_
#define CELLCHECK_TESTER_PATTERN_GENERATOR_H_

#include <cstdint>

// The whole generator state. Invariants:
//   [1..55]   lagged table, the last 55 values of the recurrence
//   [56..97]  shuffle table
//   [98]      leading cursor (1..55): the lagged word the next draw replaces
//   [99]      trailing cursor (1..55), always 31 places behind the leading one
//   [100]     selector: the last result; it picks the next draw's shuffle slot
//   [0], [101..999] unused, zero
// Seeding writes entries 1 to 100 and nothing else.
extern uint32_t randTable[1000];

constexpr uint32_t kLeadCursor = 98;
constexpr uint32_t kTrailCursor = 99;
constexpr uint32_t kSelector = 100;
constexpr uint32_t kShuffleFirst = 56;
constexpr uint32_t kShuffleSize = 42;

// Seeds from a NUL-terminated text. A text longer than 85 bytes is ignored:
// the state, and so the sequence, is left as it was.
void init_rand(const char* text);

// The two halves of seeding from a text, for init_rand and its tests:
// entries 1 to 97 from the bytes of "aEbFcGdHeI" + text + 'Q' padding (false,
// and nothing written, for a text that is too long), then the warm-up that
// mixes them.
bool spreadSeedText(const char* text);
void warmUpRandTable();

// Seeds from a number, through the text "Nasty<seed>boy".
void seedRandNumber(unsigned seed);

// Draws with the cursors and the selector held in registers. A test's loop
// draws through one of these; the table entries 98 to 100 are brought up to
// date when it goes out of scope, so no other draw may be made from the table
// while one is alive. (Writing the three words back at every draw would chain
// each draw's load of the selector to the previous draw's store.)
//
// Each draw's shuffle slot comes from the previous result, so draws cannot
// overlap: the slot chain bounds the speed. To keep the remainder by 42 off
// that chain, the object holds the remainder of every shuffle word beside the
// table and computes it when a word is stored, while the chain waits on other
// loads; a draw then finds its successor's slot with one load.
//
// The chain must stay that one load and the loop narrow, on every maker's
// cores:
// - nextSlot_ is the first member, so a slot indexes it with no offset of its
//   own. Further back, the compiler adds a constant to the slot on the chain;
//   recent Intel cores drop such an add at renaming, AMD's Zen cores spend a
//   cycle on it, a fifth of a 4-cycle load.
// - The cursors and the slot are 64-bit: as 32-bit values each indexed load
//   would first need a zero-extending move. Moves cost no execution, but
//   they take issue slots, and a test's loop around the draw (two streaming
//   stores in the random bank test) must still fit beside it in the cycles
//   the chain takes.
class RandDraws {
 public:
  RandDraws()
      : lead_(randTable[kLeadCursor]),
        trail_(randTable[kTrailCursor]),
        slot_(randTable[kSelector] % kShuffleSize),
        selector_(randTable[kSelector]) {
    for (uint32_t i = 0; i < kShuffleSize; ++i) {
      nextSlot_[i] = randTable[kShuffleFirst + i] % kShuffleSize;
    }
  }
  ~RandDraws() {
    randTable[kLeadCursor] = static_cast<uint32_t>(lead_);
    randTable[kTrailCursor] = static_cast<uint32_t>(trail_);
    randTable[kSelector] = selector_;
  }
  RandDraws(const RandDraws&) = delete;
  RandDraws& operator=(const RandDraws&) = delete;

  // One draw: v(n) = v(n-55) - v(n-24) replaces the lagged word; the result
  // is the shuffle word picked by the previous result, which v(n) replaces.
  uint32_t nextRand() {
    const uint32_t v = randTable[lead_] - randTable[trail_];
    randTable[lead_] = v;
    lead_ = lead_ == 1 ? 55 : lead_ - 1;
    trail_ = trail_ == 1 ? 55 : trail_ - 1;
    uint32_t* const shuffle = randTable + kShuffleFirst;
    selector_ = shuffle[slot_];
    shuffle[slot_] = v;
    const uint64_t next = nextSlot_[slot_];
    nextSlot_[slot_] = v % kShuffleSize;
    slot_ = next;
    return selector_;
  }

  // Two draws, the first one giving the high half.
  uint64_t nextRand64() {
    const uint64_t high = nextRand();
    return high << 32 | nextRand();
  }

 private:
  // Invariant: slot_ = selector_ % 42, and nextSlot_[i] = randTable[56 + i]
  // % 42 for every shuffle word i.
  uint32_t nextSlot_[kShuffleSize];
  uint64_t lead_;
  uint64_t trail_;
  uint64_t slot_;
  uint32_t selector_;
};

// Single draws straight from the table, for code outside a test's loop.
inline uint32_t nextRand() { return RandDraws().nextRand(); }
inline uint64_t nextRand64() { return RandDraws().nextRand64(); }

#endif  // CELLCHECK_TESTER_PATTERN_GENERATOR_H_
