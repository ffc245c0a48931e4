#include "tester/cellchecker.h"

#include <cstdlib>
#include <ctime>

#include "base/bank_split.h"
#include "tester/pattern_generator.h"

Cellchecker::Cellchecker()
    : errorCount(0),
      bankA(nullptr),
      bankB(nullptr),
      wordsPerBank(0),
      passCount(0),
      shares_(1) {
  seedRand(static_cast<unsigned>(time(nullptr)));
}

Cellchecker::~Cellchecker() = default;

u32* Cellchecker::allocate(u64 bytes) {
  return static_cast<u32*>(malloc(bytes));
}

void Cellchecker::releaseMemory(u32* p) { free(p); }

void Cellchecker::report(u64) {}
void Cellchecker::report(u64, u64) {}
void Cellchecker::report(u32*, u32*) {}
void Cellchecker::reportWord(u64, bool, u32, u32) {}
void Cellchecker::logOut(const char*) {}

int Cellchecker::initNoAlloc(u64 sizeBytes, char* area) {
  const BankSplit split = bankSplitOf(sizeBytes);
  if (split.wordsPerBank < kMinWordsPerBank) return kInitAreaTooSmall;

  wordsPerBank = split.wordsPerBank;
  bankA = reinterpret_cast<u32*>(area);
  errorCount = 0;
  bankB = reinterpret_cast<u32*>(area + split.bankBOffset);
  preTest();
  return kInitOk;
}

int Cellchecker::init(u64 sizeBytes) {
  if (sizeBytes / 8 < kMinWordsPerBank) return kInitAreaTooSmall;

  wordsPerBank = sizeBytes / 8;
  bankA = allocate(sizeBytes / 2);
  bankB = allocate(sizeBytes / 2);
  if (bankA == nullptr || bankB == nullptr) {
    const int result = bankA == nullptr ? kInitNoBankA : kInitNoBankB;
    if (bankA != nullptr) releaseMemory(bankA);
    if (bankB != nullptr) releaseMemory(bankB);
    bankA = nullptr;
    bankB = nullptr;
    wordsPerBank = 0;
    return result;
  }
  errorCount = 0;
  preTest();
  return kInitOk;
}

void Cellchecker::preTest() {
  statusMessage("Preparing and pre-testing memory...");
  runTestBanksRepRand(2);
}

void Cellchecker::cleanup() {
  wordsPerBank = 0;
  releaseMemory(bankA);
  releaseMemory(bankB);
  bankB = nullptr;
  bankA = nullptr;
  passCount = 0;
  errorCount = 0;
}

float coverageOf(u64 passCount) {
  return static_cast<float>(static_cast<double>(passCount * 100) / 2000.0);
}

float Cellchecker::percentCoverage() const { return coverageOf(passCount); }

void Cellchecker::findAndReportErrors(u64 startA, u64 startB, u64 count) {
  for (u64 k = 0; k < count; ++k) {
    const u32 b = bankB[startB + k];
    const u32 a = bankA[startA + k];
    if (a != b) report(startA + k, startB + k);
  }
}

void Cellchecker::seedRand(unsigned seed) {
  generators_.seed(seed);
  dataSeed_ = seed;
  dataRuns_ = 0;
}

void Cellchecker::useWorkers(WorkerPool* pool) {
  pool_ = pool;
  generators_.resize(workers());
  shares_.assign(workers(), Share{});
}

void Cellchecker::sliceBanks() {
  const unsigned count = workers();
  for (unsigned worker = 0; worker < count; ++worker) {
    shares_[worker].slice = bankSlice(bankA, wordsPerBank, count, worker);
  }
}
