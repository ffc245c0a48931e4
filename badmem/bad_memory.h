// The run's record of bad memory: every suspect page with how often an error
// named it, the bits that differed, the merged physical ranges to keep an
// operating system off, the pre-test's mismatches, the uncorrected errors
// caught by machine checks, and the errors the memory controllers counted
// and corrected (ECC) per module. Everything lives in
// fixed tables inside the object, made before the test area is taken: once
// the area is taken the kernel refuses new memory, and a dead data line
// yields millions of errors, so recording never allocates and counts what no
// longer fits.
//
// Readers: totals() holds what a verdict needs (anyBad() says whether
// anything at all was found); summary_text.h renders the summary lines and
// the two ready lines; growth() tells a printer that there is news.
#ifndef CELLCHECK_BADMEM_BAD_MEMORY_H_
#define CELLCHECK_BADMEM_BAD_MEMORY_H_

#include "badmem/physical_addresses.h"
#include "base/fixed_table.h"
#include "base/types.h"

// Physical bytes [begin, end).
struct PhysicalRange {
  u64 begin;
  u64 end;
};

// One error report: two words that should hold the same value, word indexA
// of bank A and word indexB of bank B, with what they held and where they
// are (kUnknownAddress when that could not be learnt). Either may be the bad
// one.
struct ReportedPair {
  // Which word is suspect: either, or only one, when a test knew what the
  // word should hold. Then that bank's fields hold its index, the value it
  // read and its address; the other bank's value is the value expected, its
  // index the same index and its address kUnknownAddress.
  enum class Suspect : unsigned char { kEither, kWordA, kWordB };

  u64 indexA;
  u64 indexB;
  u32 valueA;
  u32 valueB;
  u64 addressA;
  u64 addressB;
  Suspect suspect = Suspect::kEither;
};

// A page some error named, by its physical address.
struct SuspectPage {
  u64 address;
  u64 timesNamed;
};

struct BadMemoryTotals {
  u64 errors;             // reported pairs
  u64 suspectPages;       // distinct pages in the page table
  u64 pageNamesNotKept;   // namings of pages that found the table full
  u64 unknownAddresses;   // words whose physical address was not known
  u64 pretestMismatches;  // the pre-test's mismatches (never shown one by one)
  u64 externalRanges;     // ranges the kernel's early check found bad
  u64 rangesWidened;      // merges forced by a full range table
  u32 bitsDiffered;       // OR of the differing bits of all pairs
  u64 machineChecks;      // uncorrected errors the hardware signalled
  u64 eccCorrected;       // errors the memory controllers corrected
  u64 eccUncorrected;     // and those they could not correct

  // Everything that points at bad memory, as one figure that grows with any
  // news: the errors, the pre-test's mismatches, the early check's ranges,
  // the machine checks and the memory controllers' counts. Every verdict,
  // report and beep reads this sum.
  u64 findings() const {
    return errors + pretestMismatches + externalRanges + machineChecks +
           eccCorrected + eccUncorrected;
  }
  // Anything at all points at bad memory: no PASS.
  bool anyBad() const { return findings() != 0; }
};

// A memory module whose controller counted errors during the run.
struct EccModuleErrors {
  char module[128];  // its label and where it sits, as the caller named it
  u64 corrected;
  u64 uncorrected;
};

class BadMemory {
 public:
  // Suspects are whole 4 KiB pages: what memmap= and Windows' page list
  // take, and the page size every x86-64 kernel maps RAM in.
  static constexpr u64 kPageBytes = 4096;
  // 64 KiB of pages: far more than one weak cell or row, and a part of a
  // dead data line large enough to see it as one.
  static constexpr int kMaxPages = 4096;
  static constexpr int kMaxRanges = 256;

  BadMemory() = default;
  BadMemory(const BadMemory&) = delete;
  BadMemory& operator=(const BadMemory&) = delete;

  // Both words' pages become suspects (named once more each), their
  // differing bits are counted, and their pages join the ranges; only the
  // suspect word's page when the pair names one.
  void recordPair(const ReportedPair& pair);
  // Bad memory found outside the tests (the kernel's early check): joins the
  // ranges, widened to whole pages.
  void recordExternalRange(PhysicalRange range);
  void countPretestMismatch();
  // An uncorrected error the hardware signalled (a machine check) in the
  // page at physical `address` (kUnknownAddress when not known), which the
  // kernel took out of use. The page becomes a suspect, as an error's do.
  void recordMachineCheck(u64 address);
  // `count` such errors whose addresses are not known (more came at once
  // than the fault log keeps), at once.
  void recordMachineChecksUnknown(u64 count);
  // The memory controller of `module` (named by the caller: label and
  // location) counted this many more corrected and uncorrected errors.
  // Modules past the table still count in the totals.
  void recordEccErrors(const char* module, u64 corrected, u64 uncorrected);

  BadMemoryTotals totals() const;
  // Rises each time the suspect memory grows: the first error, a new page,
  // more of the ranges covered, a bit that never differed before, the first
  // pre-test mismatch. A printer compares it with the value it last showed.
  u64 growth() const { return growth_; }

  // The run's error number `n` (0 for the first), while it is among the
  // last kKeptPairs; null when it is older or not yet found. Reports read
  // the pairs between tests, never on the error path.
  const ReportedPair* pairNumber(u64 n) const;
  static constexpr int kKeptPairs = 32;

  // Suspect pages in ascending address order.
  int pageCount() const { return pageCount_; }
  const SuspectPage& page(int i) const { return pages_[i]; }
  // Merged ranges in ascending order, never touching each other, each whole
  // pages.
  int rangeCount() const { return rangeCount_; }
  const PhysicalRange& range(int i) const { return ranges_[i]; }
  // How many pairs differed in `bit` (0 = least significant).
  u64 bitCount(int bit) const { return bitCounts_[bit]; }
  // Modules whose controllers counted errors, in the order first counted.
  static constexpr int kMaxEccModules = 32;
  int eccModuleCount() const { return eccModules_.size(); }
  const EccModuleErrors& eccModule(int i) const { return eccModules_[i]; }

 private:
  // True when the word's page is news: a new suspect or more ranges.
  bool nameWord(u64 address);
  // True when the range covered memory that was not covered before.
  bool addRange(PhysicalRange range);

  u64 errors_ = 0;
  u64 pageNamesNotKept_ = 0;
  u64 unknownAddresses_ = 0;
  u64 pretestMismatches_ = 0;
  u64 externalRanges_ = 0;
  u64 rangesWidened_ = 0;
  u32 bitsDiffered_ = 0;
  u64 machineChecks_ = 0;
  u64 eccCorrected_ = 0;
  u64 eccUncorrected_ = 0;
  u64 growth_ = 0;

  // Sorted by address, no two alike.
  SuspectPage pages_[kMaxPages] = {};
  int pageCount_ = 0;
  // Sorted, disjoint and not adjacent. One slot more than kept: a range is
  // inserted first, then the two nearest ranges are merged when that made
  // one too many, so that no suspect memory is ever left out.
  PhysicalRange ranges_[kMaxRanges + 1] = {};
  int rangeCount_ = 0;
  u64 bitCounts_[32] = {};
  // The last kKeptPairs pairs, error n in slot n % kKeptPairs.
  ReportedPair keptPairs_[kKeptPairs] = {};
  FixedTable<EccModuleErrors, kMaxEccModules> eccModules_;
};

#endif  // CELLCHECK_BADMEM_BAD_MEMORY_H_
