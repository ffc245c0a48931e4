// The pattern generator: a subtractive lagged-Fibonacci generator (lags 24
// and 55) on 32-bit words whose output passes through a 42-word shuffle
// table. Every test takes its data and its random positions from it; the same
// seed always yields the same sequence of draws.
#ifndef CELLCHECK_TESTER_PATTERN_GENERATOR_H_
#define CELLCHECK_TESTER_PATTERN_GENERATOR_H_

#include <cstdint>
#include <utility>
#include <vector>

// The generator state of a one-thread run, and of worker 0 of a run on
// several workers: the free draws (nextRand, nextRand64) and the seeding
// functions act on it. Invariants:
//   [1..55]   lagged table, the last 55 values of the recurrence
//   [56..97]  shuffle table
//   [98]      leading cursor (1..55): the lagged word the next draw replaces
//   [99]      trailing cursor (1..55), always 31 places behind the leading one
//   [100]     selector: the last result; it picks the next draw's shuffle slot
//   [0], [101..999] unused, zero
// Seeding writes entries 1 to 100 and nothing else.
extern uint32_t randTable[1000];

// A generator's whole state is the first 101 words of a table laid out as
// randTable: every other worker's table holds just those.
constexpr uint32_t kGeneratorWords = 101;
using GeneratorTable = uint32_t[kGeneratorWords];

constexpr uint32_t kLeadCursor = 98;
constexpr uint32_t kTrailCursor = 99;
constexpr uint32_t kSelector = 100;
constexpr uint32_t kShuffleFirst = 56;
constexpr uint32_t kShuffleSize = 42;

// Seeds randTable from a NUL-terminated text. A text longer than 85 bytes is
// ignored: the state, and so the sequence, is left as it was.
void init_rand(const char* text);
// The same for any generator's table.
void seedTable(uint32_t* table, const char* text);

// The two halves of seeding from a text, for seedTable and its tests:
// entries 1 to 97 from the bytes of "aEbFcGdHeI" + text + 'Q' padding (false,
// and nothing written, for a text that is too long), then the warm-up that
// mixes them.
bool spreadSeedText(const char* text, uint32_t* table = randTable);
void warmUpRandTable(uint32_t* table = randTable);

// Seeds randTable from a number, through the text "Nasty<seed>boy".
void seedRandNumber(unsigned seed);

// Seeds worker `worker`'s table for a run seeded with `seed`: worker 0, the
// only one of a one-worker run, exactly as seedRandNumber; worker k >= 1
// through a text of its own made from the seed and k, so its sequence
// depends on nothing else and shares no draws with another worker's.
void seedWorkerTable(uint32_t* table, unsigned seed, unsigned worker);

// Draws from one generator's table (randTable unless given another) with the
// cursors and the selector held in registers. A test's loop draws through one
// of these; the table entries 98 to 100 are brought up to date when it goes
// out of scope, so no other draw may be made from the table while one is
// alive. (Writing the three words back at every draw would chain
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
// The cursor before each cursor, 55 after 1: a load instead of a compare,
// a decrement and a conditional move. Zen cores have four integer ALUs and
// the draw needs most of them in the four cycles its chain takes; they have
// three load ports, of which the draw uses fewer.
struct PreviousCursors {
  uint64_t at[56];
  constexpr PreviousCursors() : at() {
    for (uint64_t c = 1; c <= 55; ++c) at[c] = c == 1 ? 55 : c - 1;
  }
  constexpr uint64_t operator[](uint64_t cursor) const { return at[cursor]; }
};
inline constexpr PreviousCursors kPreviousCursor{};

class RandDraws {
 public:
  explicit RandDraws(uint32_t* table = randTable)
      : table_(*reinterpret_cast<GeneratorTable*>(table)),
        lead_(table[kLeadCursor]),
        trail_(table[kTrailCursor]),
        slot_(table[kSelector] % kShuffleSize),
        selector_(table[kSelector]) {
    for (uint32_t i = 0; i < kShuffleSize; ++i) {
      nextSlot_[i] = table[kShuffleFirst + i] % kShuffleSize;
    }
  }
  ~RandDraws() {
    table_[kLeadCursor] = static_cast<uint32_t>(lead_);
    table_[kTrailCursor] = static_cast<uint32_t>(trail_);
    table_[kSelector] = selector_;
  }
  RandDraws(const RandDraws&) = delete;
  RandDraws& operator=(const RandDraws&) = delete;

  // One draw: v(n) = v(n-55) - v(n-24) replaces the lagged word; the result
  // is the shuffle word picked by the previous result, which v(n) replaces.
  uint32_t nextRand() {
    const uint32_t result = drawWith(lead_, trail_);
    lead_ = kPreviousCursor[lead_];
    trail_ = kPreviousCursor[trail_];
    return result;
  }

  // The next `count` draws into out[0..count): the same draws as `count`
  // calls of nextRand, faster. The leading cursor runs down from 55 to 1
  // and starts again, and the trailing one follows 31 places behind, so
  // a loop unrolled over one turn of 55 draws knows both as constants: the
  // lagged words are found with no cursor arithmetic, which leaves the
  // integer units to the rest of the draw within the slot chain's cycles.
  void fill(uint32_t* out, uint64_t count);

  // Two draws, the first one giving the high half.
  uint64_t nextRand64() {
    const uint64_t high = nextRand();
    return high << 32 | nextRand();
  }

 private:
  // The draw with its cursors given: the members' for a single draw,
  // constants for a turn of fill().
  uint32_t drawWith(uint64_t lead, uint64_t trail) {
    GeneratorTable& table = table_;
    const uint32_t v = table[lead] - table[trail];
    table[lead] = v;
    selector_ = table[kShuffleFirst + slot_];
    table[kShuffleFirst + slot_] = v;
    const uint64_t next = nextSlot_[slot_];
    nextSlot_[slot_] = v % kShuffleSize;
    slot_ = next;
    return selector_;
  }
  template <uint64_t kLead>
  uint32_t drawAt();
  template <uint64_t... kTurn>
  void turn(uint32_t* out, std::integer_sequence<uint64_t, kTurn...>);

  // Invariant: slot_ = selector_ % 42, and nextSlot_[i] = table_[56 + i]
  // % 42 for every shuffle word i.
  uint32_t nextSlot_[kShuffleSize];
  // Indexed as an array, not through a plain pointer: the compiler then
  // addresses a lagged word with its index alone, as it does for a global
  // table, where a pointer made it add an address computation to the loop
  // (28 instructions a draw instead of 27 in a loop of its own).
  GeneratorTable& table_;
  uint64_t lead_;
  uint64_t trail_;
  uint64_t slot_;
  uint32_t selector_;
};

template <uint64_t kLead>
inline uint32_t RandDraws::drawAt() {
  return drawWith(kLead, kLead > 31 ? kLead - 31 : kLead + 24);
}

// One whole turn: leading cursor 55, 54, ..., 1.
template <uint64_t... kTurn>
inline void RandDraws::turn(uint32_t* out,
                            std::integer_sequence<uint64_t, kTurn...>) {
  ((out[kTurn] = drawAt<55 - kTurn>()), ...);
}

inline void RandDraws::fill(uint32_t* out, uint64_t count) {
  // Single draws up to the start of a turn, whole turns (each leaves both
  // cursors where it found them), single draws for the rest.
  for (; count > 0 && lead_ != 55; --count) *out++ = nextRand();
  for (; count >= 55; count -= 55, out += 55) {
    turn(out, std::make_integer_sequence<uint64_t, 55>());
  }
  for (; count > 0; --count) *out++ = nextRand();
}

// Single draws straight from the table, for code outside a test's loop.
inline uint32_t nextRand() { return RandDraws().nextRand(); }
inline uint64_t nextRand64() { return RandDraws().nextRand64(); }

// The generators of a run's workers, one state each, so that no two threads
// ever draw from one table. Worker 0's is randTable: a one-worker run draws
// exactly the one sequence the free draws and seedRandNumber act on. Every
// other worker's table is an object of its own on cache lines of its own.
class WorkerGenerators {
 public:
  WorkerGenerators() = default;
  WorkerGenerators(const WorkerGenerators&) = delete;
  WorkerGenerators& operator=(const WorkerGenerators&) = delete;

  // Seeds every worker's table for a run seeded with `seed`.
  void seed(unsigned seed);
  // From now on there are `workers` (at least one); the tables added are
  // seeded from the last seed given.
  void resize(unsigned workers);

  unsigned size() const { return static_cast<unsigned>(others_.size()) + 1; }
  uint32_t* table(unsigned worker) {
    return worker == 0 ? randTable : others_[worker - 1].words;
  }

 private:
  struct alignas(64) Table {
    uint32_t words[kGeneratorWords];
  };
  std::vector<Table> others_;  // worker k's at k - 1
  unsigned seed_ = 0;
};

#endif  // CELLCHECK_TESTER_PATTERN_GENERATOR_H_
