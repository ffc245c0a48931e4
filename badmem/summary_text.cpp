#include "badmem/summary_text.h"

#include <cstdio>

#include "base/fixed_text.h"
#include "base/wording.h"

namespace {

// Suspect pages and ranges listed by address at most; the rest are counted.
constexpr int kListed = 8;

int bitsIn(u32 mask) { return __builtin_popcount(mask); }

// The index of the most named page not yet listed: below `bound` times (or
// equal to it at an index after `after`). Pages named equally often come in
// address order.
int nextMostNamed(const BadMemory& record, u64 bound, int after) {
  int best = -1;
  for (int i = 0; i < record.pageCount(); ++i) {
    const u64 times = record.page(i).timesNamed;
    const bool unlisted = times < bound || (times == bound && i > after);
    if (unlisted && (best < 0 || times > record.page(best).timesNamed)) {
      best = i;
    }
  }
  return best;
}

void addCounts(FixedText& line, const BadMemoryTotals& totals) {
  line.add("Bad memory: %llu %s named %llu suspect %s; %llu pre-test %s; ",
           ull(totals.errors), plural(totals.errors, "error", "errors"),
           ull(totals.suspectPages),
           plural(totals.suspectPages, "page", "pages"),
           ull(totals.pretestMismatches),
           plural(totals.pretestMismatches, "mismatch", "mismatches"));
  line.add("%llu %s from the kernel's early check", ull(totals.externalRanges),
           plural(totals.externalRanges, "range", "ranges"));
  if (totals.unknownAddresses != 0) {
    line.add("; %llu %s without a physical address",
             ull(totals.unknownAddresses),
             plural(totals.unknownAddresses, "word", "words"));
  }
  if (totals.pageNamesNotKept != 0) {
    line.add("; %llu more %s past the table of %d pages (in the ranges)",
             ull(totals.pageNamesNotKept),
             plural(totals.pageNamesNotKept, "naming", "namings"),
             BadMemory::kMaxPages);
  }
  if (totals.machineChecks != 0) {
    line.add("; %llu uncorrected %s caught by %s", ull(totals.machineChecks),
             plural(totals.machineChecks, "error", "errors"),
             plural(totals.machineChecks, "a machine check", "machine checks"));
  }
  if (totals.eccCorrected != 0 || totals.eccUncorrected != 0) {
    line.add(
        "; %llu corrected and %llu uncorrected errors counted by the memory "
        "controllers (ECC)",
        ull(totals.eccCorrected), ull(totals.eccUncorrected));
  }
}

void addEccModules(FixedText& line, const BadMemory& record) {
  line.add("ECC errors by memory module:");
  for (int i = 0; i < record.eccModuleCount() && i < kListed; ++i) {
    const EccModuleErrors& module = record.eccModule(i);
    line.add("%s %s: %llu corrected, %llu uncorrected", i == 0 ? "" : ";",
             module.module, ull(module.corrected), ull(module.uncorrected));
  }
  if (record.eccModuleCount() > kListed) {
    line.add("; and %d more modules", record.eccModuleCount() - kListed);
  }
}

void addPages(FixedText& line, const BadMemory& record) {
  line.add("Suspect pages, most named first:");
  u64 bound = ~u64{0};
  int after = -1;
  for (int listed = 0; listed < kListed; ++listed) {
    const int i = nextMostNamed(record, bound, after);
    if (i < 0) break;
    const SuspectPage& page = record.page(i);
    line.add("%s 0x%llx (%llu %s)", listed == 0 ? "" : ",", ull(page.address),
             ull(page.timesNamed), plural(page.timesNamed, "time", "times"));
    bound = page.timesNamed;
    after = i;
  }
  if (record.pageCount() > kListed) {
    line.add(", and %d more", record.pageCount() - kListed);
  }
}

void addRanges(FixedText& line, const BadMemory& record,
               const BadMemoryTotals& totals) {
  line.add("Suspect ranges:");
  for (int i = 0; i < record.rangeCount() && i < kListed; ++i) {
    line.add("%s 0x%llx-0x%llx", i == 0 ? "" : ",", ull(record.range(i).begin),
             ull(record.range(i).end - 1));
  }
  if (record.rangeCount() > kListed) {
    line.add(", and %d more", record.rangeCount() - kListed);
  }
  if (totals.rangesWidened != 0) {
    line.add(" (near ones merged to fit the table of %d ranges)",
             BadMemory::kMaxRanges);
  }
}

// What the differing bits and the pages they were found in suggest.
const char* likelyCause(const BadMemory& record,
                        const BadMemoryTotals& totals) {
  const bool oneBit = bitsIn(totals.bitsDiffered) == 1;
  if (record.pageCount() == 0) {
    return oneBit ? "always the same bit" : "several bits";
  }
  const int top = nextMostNamed(record, ~u64{0}, -1);
  // A machine check names its page once, as an error names each of its two.
  const bool onePage =
      totals.unknownAddresses == 0 && totals.pageNamesNotKept == 0 &&
      record.page(top).timesNamed == totals.errors + totals.machineChecks;
  if (onePage) {
    return oneBit ? "one bit in one page: likely a single weak cell"
                  : "several bits in one page: likely a row or a chip";
  }
  return oneBit ? "the same bit in many pages: likely a data line"
                : "several bits in several pages: likely a module, its "
                  "seating or its settings";
}

void addBits(FixedText& line, const BadMemory& record,
             const BadMemoryTotals& totals) {
  line.add("Bits that differed: 0x%08x =", totals.bitsDiffered);
  bool first = true;
  for (int bit = 31; bit >= 0; --bit) {
    const u64 times = record.bitCount(bit);
    if (times == 0) continue;
    line.add("%s bit %d (%llu %s)", first ? "" : ",", bit, ull(times),
             plural(times, "time", "times"));
    first = false;
  }
  line.add("; %s", likelyCause(record, totals));
}

void addSize(FixedText& text, u64 bytes) {
  constexpr u64 kKiB = 1024;
  constexpr u64 kGiB = kMiB * 1024;
  if (bytes % kGiB == 0) {
    text.add("%lluG", ull(bytes / kGiB));
  } else if (bytes % kMiB == 0) {
    text.add("%lluM", ull(bytes / kMiB));
  } else {
    text.add("%lluK", ull(bytes / kKiB));
  }
}

}  // namespace

int memmapRanges(const BadMemory& record,
                 PhysicalRange (&out)[kMaxMemmapRanges]) {
  int count = 0;
  for (int i = 0; i < record.rangeCount(); ++i) {
    if (count == kMaxMemmapRanges) {
      // Full: merge the two neighbours with the smallest gap, counting the
      // gap from the last kept range to the new one as well.
      int nearest = count - 1;  // the last kept and the new one
      u64 smallest = record.range(i).begin - out[count - 1].end;
      for (int k = 0; k + 1 < count; ++k) {
        if (out[k + 1].begin - out[k].end < smallest) {
          smallest = out[k + 1].begin - out[k].end;
          nearest = k;
        }
      }
      if (nearest == count - 1) {
        out[count - 1].end = record.range(i).end;
        continue;
      }
      out[nearest].end = out[nearest + 1].end;
      for (int k = nearest + 1; k + 1 < count; ++k) out[k] = out[k + 1];
      --count;
    }
    out[count++] = record.range(i);
  }
  return count;
}

void linuxReadyLine(const BadMemory& record, char* out, size_t size) {
  PhysicalRange ranges[kMaxMemmapRanges];
  const int count = memmapRanges(record, ranges);
  FixedText text(out, size);
  for (int i = 0; i < count; ++i) {
    text.add("%smemmap=", i == 0 ? "" : " ");
    addSize(text, ranges[i].end - ranges[i].begin);
    text.add("$0x%llx", ull(ranges[i].begin));
  }
}

u64 windowsReadyLine(const BadMemory& record, char* out, size_t size) {
  FixedText text(out, size);
  u64 pages = 0;
  // Pages are counted range by range and only the listed ones are visited:
  // a range from the early check may span terabytes, and this runs on the
  // error path.
  for (int i = 0; i < record.rangeCount(); ++i) {
    const PhysicalRange& range = record.range(i);
    const u64 first = range.begin / BadMemory::kPageBytes;
    const u64 count = (range.end - range.begin) / BadMemory::kPageBytes;
    if (pages == 0 && count != 0) {
      text.add("bcdedit /set {badmemory} badmemorylist");
    }
    for (u64 k = 0; k < count && pages + k < kMaxWindowsPages; ++k) {
      text.add(" 0x%llx", ull(first + k));
    }
    pages += count;
  }
  return pages;
}

void renderSummary(const BadMemory& record, LineSink& sink) {
  const BadMemoryTotals totals = record.totals();
  char buffer[kSummaryLineBytes];
  if (!totals.anyBad()) {
    sink.line("Bad memory: none found so far.");
    return;
  }
  {
    FixedText line(buffer, sizeof buffer);
    addCounts(line, totals);
    sink.line(line.text());
  }
  if (record.pageCount() != 0) {
    FixedText line(buffer, sizeof buffer);
    addPages(line, record);
    sink.line(line.text());
  }
  if (record.rangeCount() != 0) {
    FixedText line(buffer, sizeof buffer);
    addRanges(line, record, totals);
    sink.line(line.text());
  }
  if (totals.errors != 0) {
    FixedText line(buffer, sizeof buffer);
    addBits(line, record, totals);
    sink.line(line.text());
  }
  if (record.eccModuleCount() != 0) {
    FixedText line(buffer, sizeof buffer);
    addEccModules(line, record);
    sink.line(line.text());
  }
  if (record.rangeCount() == 0) return;
  {
    char ready[kReadyLineBytes];
    linuxReadyLine(record, ready, sizeof ready);
    FixedText line(buffer, sizeof buffer);
    line.add(
        "Keep Linux off them, on its kernel command line (in GRUB's config "
        "write each $ as \\$): %s",
        ready);
    if (record.rangeCount() > kMaxMemmapRanges) {
      line.add(
          " (%d ranges merged into %d: the kernel places itself around "
          "at most %d)",
          record.rangeCount(), kMaxMemmapRanges, kMaxMemmapRanges);
    }
    sink.line(line.text());
  }
  {
    char ready[kReadyLineBytes];
    const u64 pages = windowsReadyLine(record, ready, sizeof ready);
    FixedText line(buffer, sizeof buffer);
    line.add("Keep Windows off them, as administrator: %s", ready);
    if (pages > kMaxWindowsPages) {
      line.add(" (the first %d of %llu pages)", kMaxWindowsPages, ull(pages));
    }
    sink.line(line.text());
  }
}
