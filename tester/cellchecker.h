// The test engine: owns the two banks of the test area, the pass and error
// counters and every memory test. It never prints; a front-end derives from it
// and supplies the status and error hooks.
#ifndef CELLCHECK_TESTER_CELLCHECKER_H_
#define CELLCHECK_TESTER_CELLCHECKER_H_

#include <mutex>
#include <vector>

#include "base/types.h"
#include "tester/bank_slices.h"
#include "tester/pattern_generator.h"
#include "tester/worker_pool.h"

// Results of init and initNoAlloc.
enum InitResult : int {
  kInitOk = 0,
  kInitNoBankA = 1,  // init: the first bank could not be obtained
  kInitNoBankB = 2,  // init: the second bank could not be obtained
  // A bank would hold fewer than kMinWordsPerBank words: the area is refused
  // and the tester keeps no bank.
  kInitAreaTooSmall = 3,
};

// The smallest bank the tests can run on: the copy tests move a bank less up
// to 1024 words, and the repeating-pattern test writes a 1023-word block.
constexpr u64 kMinWordsPerBank = 1024;

class Cellchecker {
 public:
  Cellchecker();

  // Obtains one bank (malloc by default; null on failure).
  virtual u32* allocate(u64 bytes);
  // Gives back one bank (free by default).
  virtual void releaseMemory(u32* p);
  // Word pair `index` differs.
  virtual void report(u64 index);
  // Word indexA of bank A differs from word indexB of bank B, which should
  // hold the same value; either may be the faulty one.
  virtual void report(u64 indexA, u64 indexB);
  // The words at a and b should hold the same value but do not.
  virtual void report(u32* a, u32* b);
  // Word `index` of bank A (of bank B when inBankB) read `read` where it
  // should hold `expected`, which the test can recompute: this word alone is
  // suspect.
  virtual void reportWord(u64 index, bool inBankB, u32 read, u32 expected);
  virtual void logOut(const char* text);
  // Does not release the banks.
  virtual ~Cellchecker();
  virtual void statusMessage(const char* text) = 0;

  // Hands over an area the caller obtained: bank A is its first half, bank B
  // starts at its middle (rounded down to a whole word). Then pre-tests both
  // banks. Returns kInitOk, or kInitAreaTooSmall without touching the area.
  int initNoAlloc(u64 sizeBytes, char* area);
  // The same, with the banks obtained through allocate(). Returns kInitOk,
  // kInitNoBankA, kInitNoBankB or kInitAreaTooSmall; on failure the tester
  // holds no bank.
  int init(u64 sizeBytes);
  // Releases the banks and returns to the empty state.
  void cleanup();

  // Both banks together, in MiB.
  u64 MB() const { return wordsPerBank >> 17; }
  float percentCoverage() const;
  // Reports every pair bankA[startA + k], bankB[startB + k] that differs, in
  // ascending order of k, through report(indexA, indexB).
  void findAndReportErrors(u64 startA, u64 startB, u64 count);

  // Seeds every worker's generator: worker 0's, the only one of a
  // one-worker run, is randTable, seeded as seedRandNumber seeds it.
  void seedRand(unsigned seed);

  // From now on every test but the write-speed test runs on all of the
  // pool's workers at once, each on its own slice of both banks, and
  // returns when all have finished; the pre-test too when this comes before
  // initNoAlloc. Without a pool, or with a pool of one worker, every test
  // runs on the calling thread exactly as with one thread. Worker k draws
  // from a generator of its own, seeded from the last seed and k. The pool
  // must outlive its use here.
  void useWorkers(WorkerPool* pool);
  unsigned workers() const { return pool_ != nullptr ? pool_->size() : 1; }
  // Worker `worker`'s generator table (randTable for worker 0).
  uint32_t* generatorOf(unsigned worker) { return generators_.table(worker); }

  // The tests. None may run before initNoAlloc or init succeeded.
  // Fills both banks with one stream of draws, then reports every pair that
  // differs, in ascending order.
  void runTestBanksAllRand();
  int runTestBanksRepRand(int banks);
  int runTestBanksRepRandWorker(u64 blockWords, u64 words, u32* bank);
  // Copy bank B into bank A (A) or bank A into bank B (B) at a random
  // displacement, then report each differing pair by both indices. 1 when
  // the blocks differed, else 0.
  int runCopyTest();
  int runCopyTestB();
  // Probes 1024 x 1024 random pairs, each compared before it is rewritten.
  void runDecayTest();
  // Writes 1024 random pairs and compares each `lag` writes later; a lag
  // above 1024 acts as 1024.
  void testWriteSpeed(u64 lag);
  // The tests that compare memory with what it should hold. Their data
  // comes from each word's index and a seed made from the last seedRand
  // seed and the number of such runs since: they take no draw of any
  // generator and count no pass. Both report each wrong word through
  // reportWord and return how many they reported.
  // A march over both banks as one address space (bank A below bank B):
  // up: write d; up: read d, write ~d; up: read ~d, write d; down: read d,
  // write ~d; down: read ~d, write d; down: read d. Ten accesses of each
  // word. Leaves the banks unequal.
  u64 runMarchSweep();
  // Fills bank B with the complement of bank A from the top down, each pair
  // bank B first, then checks every pair as A == ~B (memory with memory),
  // and only after a difference names the wrong words. Leaves the banks
  // unequal.
  u64 runComplementTest();
  // Runs the next test of a fixed 41-call rotation.
  void multiTestDispatch();

  u32 errorCount;
  u32* bankA;
  u32* bankB;
  u64 wordsPerBank;
  u64 passCount;

 private:
  // What one worker does in a test, in a cache line of its own.
  struct alignas(64) Share {
    WordRange slice;  // its slice of both banks
    WordRange block;  // the positions of a copy test's block it moves
    u64 sweeps;       // the decay test's sweeps it makes
    bool differs;     // its fast check found a difference
    bool differsB;    // the same, for bank B of the repeating-pattern test
    u64 found;        // words the march sweep reported
  };

  void preTest();
  // reportWord from inside a test's job, on any worker: one at a time.
  void reportWordAnyWorker(u64 index, bool inBankB, u32 read, u32 expected) {
    if (workers() == 1) {
      reportWord(index, inBankB, read, expected);
      return;
    }
    std::lock_guard<std::mutex> lock(errorPath_);
    reportWord(index, inBankB, read, expected);
  }
  int copyTest(bool intoBankA);
  bool repeatedBlockDiffers(u32* table, u64 blockWords, u64 words, u32* bank);
  void reportRepeatMismatches(u64 blockWords, u64 words, u32* bank);
  void runTestBanksRepRandSplit(int banks);
  // Notes every worker's slice of the banks as they are now.
  void sliceBanks();
  // Runs job(worker) on every worker, on the calling thread when there is
  // one; returns when all have finished.
  template <class Job>
  void onEveryWorker(Job& job) {
    if (workers() > 1) {
      pool_->run(job);
    } else {
      job(0u);
    }
  }
  // Inside a job: returns once every worker has come here.
  void workersMeet() {
    if (workers() > 1) pool_->meet();
  }

  WorkerPool* pool_ = nullptr;
  WorkerGenerators generators_;
  std::vector<Share> shares_;
  // Taken by a worker that reports while the others go on testing (only
  // on the error path): one error's lines at a time, numbered in the order
  // they are printed.
  std::mutex errorPath_;
  // The seed of the tests that recompute their data, and their runs since
  // it was given.
  unsigned dataSeed_ = 0;
  u64 dataRuns_ = 0;
};

// Coverage in percent: 2000 passes are 100 %. Computed in double, narrowed to
// float; the progress line and the error messages use the same value.
float coverageOf(u64 passCount);

// The block length of the repeating-pattern test for a bank of this size.
u64 repeatingBlockWords(u64 wordsPerBank);

// The pair the decay test probes for one nextRand64 value. Banks of up to
// 2^32 words use only its low half; larger banks use all 64 bits, so that
// every word of them is probed.
u64 decayProbePosition(u64 draw, u64 wordsPerBank);

#endif  // CELLCHECK_TESTER_CELLCHECKER_H_
