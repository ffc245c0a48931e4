#include "badmem/bad_memory.h"

#include <cstdio>
#include <cstring>

namespace {

u64 pageOf(u64 address) { return address & ~(BadMemory::kPageBytes - 1); }

u64 pageEndOf(u64 address) {
  return pageOf(address + BadMemory::kPageBytes - 1);
}

}  // namespace

void BadMemory::recordPair(const ReportedPair& pair) {
  keptPairs_[errors_ % kKeptPairs] = pair;
  // The first error, and a bit that never differed before, are news even
  // where no address is known.
  bool grew = errors_++ == 0;
  const u32 differing = pair.valueA ^ pair.valueB;
  if ((differing & ~bitsDiffered_) != 0) grew = true;
  bitsDiffered_ |= differing;
  for (int bit = 0; bit < 32; ++bit) {
    if ((differing >> bit) & 1) ++bitCounts_[bit];
  }
  if (pair.suspect == ReportedPair::Suspect::kWordA) {
    if (nameWord(pair.addressA)) grew = true;
  } else if (pair.suspect == ReportedPair::Suspect::kWordB) {
    if (nameWord(pair.addressB)) grew = true;
  } else {
    if (nameWord(pair.addressA)) grew = true;
    // A pair within one page (never the case for the two banks, which lie
    // half the area apart) names that page once.
    if (pair.addressB == kUnknownAddress || pair.addressA == kUnknownAddress ||
        pageOf(pair.addressB) != pageOf(pair.addressA)) {
      if (nameWord(pair.addressB)) grew = true;
    }
  }
  if (grew) ++growth_;
}

const ReportedPair* BadMemory::pairNumber(u64 n) const {
  if (n >= errors_ || errors_ - n > static_cast<u64>(kKeptPairs)) {
    return nullptr;
  }
  return &keptPairs_[n % kKeptPairs];
}

bool BadMemory::nameWord(u64 address) {
  if (address == kUnknownAddress) {
    ++unknownAddresses_;
    return false;
  }
  const u64 page = pageOf(address);
  // The first slot at or above the page.
  int low = 0;
  int high = pageCount_;
  while (low < high) {
    const int middle = (low + high) / 2;
    if (pages_[middle].address < page) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  bool grew = false;
  if (low < pageCount_ && pages_[low].address == page) {
    ++pages_[low].timesNamed;
  } else if (pageCount_ < kMaxPages) {
    memmove(&pages_[low + 1], &pages_[low],
            sizeof(SuspectPage) * static_cast<size_t>(pageCount_ - low));
    pages_[low] = SuspectPage{page, 1};
    ++pageCount_;
    grew = true;
  } else {
    ++pageNamesNotKept_;
  }
  // A page the table cannot keep still joins the ranges.
  if (addRange(PhysicalRange{page, page + kPageBytes})) grew = true;
  return grew;
}

void BadMemory::recordExternalRange(PhysicalRange range) {
  if (range.end <= range.begin) return;
  ++externalRanges_;
  addRange(PhysicalRange{pageOf(range.begin), pageEndOf(range.end)});
  // A range the tests had already named is still news: it was found twice.
  ++growth_;
}

void BadMemory::countPretestMismatch() {
  if (pretestMismatches_++ == 0) ++growth_;
}

void BadMemory::recordMachineCheck(u64 address) {
  ++machineChecks_;
  nameWord(address);
  // Always news: the hardware itself reported it.
  ++growth_;
}

void BadMemory::recordMachineChecksUnknown(u64 count) {
  if (count == 0) return;
  machineChecks_ += count;
  unknownAddresses_ += count;
  ++growth_;
}

void BadMemory::recordEccErrors(const char* module, u64 corrected,
                                u64 uncorrected) {
  if (corrected == 0 && uncorrected == 0) return;
  eccCorrected_ += corrected;
  eccUncorrected_ += uncorrected;
  ++growth_;
  for (EccModuleErrors& known : eccModules_) {
    if (strcmp(known.module, module) == 0) {
      known.corrected += corrected;
      known.uncorrected += uncorrected;
      return;
    }
  }
  EccModuleErrors added{};
  snprintf(added.module, sizeof added.module, "%s", module);
  added.corrected = corrected;
  added.uncorrected = uncorrected;
  eccModules_.add(added);
}

bool BadMemory::addRange(PhysicalRange range) {
  // The ranges that overlap or touch the new one: [first, last).
  int first = 0;
  while (first < rangeCount_ && ranges_[first].end < range.begin) ++first;
  int last = first;
  while (last < rangeCount_ && ranges_[last].begin <= range.end) ++last;

  if (last - first == 1 && ranges_[first].begin <= range.begin &&
      range.end <= ranges_[first].end) {
    return false;  // nothing new
  }
  PhysicalRange merged = range;
  if (last > first) {
    if (ranges_[first].begin < merged.begin)
      merged.begin = ranges_[first].begin;
    if (ranges_[last - 1].end > merged.end) merged.end = ranges_[last - 1].end;
  }
  // Replace [first, last) by the one merged range.
  const int removed = last - first;
  memmove(&ranges_[first + 1], &ranges_[last],
          sizeof(PhysicalRange) * static_cast<size_t>(rangeCount_ - last));
  ranges_[first] = merged;
  rangeCount_ += 1 - removed;

  if (rangeCount_ > kMaxRanges) {
    // One too many: bridge the smallest gap. The memory in between becomes
    // suspect too; leaving a bad page out would be worse.
    int nearest = 0;
    for (int i = 1; i + 1 < rangeCount_; ++i) {
      if (ranges_[i + 1].begin - ranges_[i].end <
          ranges_[nearest + 1].begin - ranges_[nearest].end) {
        nearest = i;
      }
    }
    ranges_[nearest].end = ranges_[nearest + 1].end;
    memmove(
        &ranges_[nearest + 1], &ranges_[nearest + 2],
        sizeof(PhysicalRange) * static_cast<size_t>(rangeCount_ - nearest - 2));
    --rangeCount_;
    ++rangesWidened_;
  }
  return true;
}

BadMemoryTotals BadMemory::totals() const {
  BadMemoryTotals totals;
  totals.errors = errors_;
  totals.suspectPages = static_cast<u64>(pageCount_);
  totals.pageNamesNotKept = pageNamesNotKept_;
  totals.unknownAddresses = unknownAddresses_;
  totals.pretestMismatches = pretestMismatches_;
  totals.externalRanges = externalRanges_;
  totals.rangesWidened = rangesWidened_;
  totals.bitsDiffered = bitsDiffered_;
  totals.machineChecks = machineChecks_;
  totals.eccCorrected = eccCorrected_;
  totals.eccUncorrected = eccUncorrected_;
  return totals;
}
