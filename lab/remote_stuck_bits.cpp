#include "lab/remote_stuck_bits.h"

#include <sys/mman.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

constexpr uint64_t kPageBytes = 4096;
// The widest store of x86-64 (AVX-512): a store that starts this many bytes
// below a word or fewer may reach into it.
constexpr uint64_t kWidestStore = 64;

uint64_t pageOf(uint64_t address) { return address & ~(kPageBytes - 1); }

uint64_t pageAfter(uint64_t end) { return pageOf(end + kPageBytes - 1); }

// Whether the bit's word, or any word of its stretch, lies on the page.
template <typename HeldBit>
bool onPage(const HeldBit& bit, uint64_t page) {
  return bit.address < page + kPageBytes && bit.end() > page;
}

std::string hex(uint64_t value) {
  char text[24];
  snprintf(text, sizeof text, "0x%" PRIx64, value);
  return text;
}

}  // namespace

RemoteStuckBits::~RemoteStuckBits() {
  if (!tracee_.attached() || tracee_.gone() || !stopAll()) return;
  for (const Bit& bit : bits_) openPagesOf(bit);
  bits_.clear();
  tracee_.detach();
}

void RemoteStuckBits::openPagesOf(const Bit& bit) {
  std::string why;
  for (uint64_t page = pageOf(bit.address); page < pageAfter(bit.end());
       page += kPageBytes) {
    protect(page, true, &why);
  }
}

bool RemoteStuckBits::held(uint64_t page) const {
  for (const Bit& bit : bits_) {
    if (onPage(bit, page)) return true;
  }
  return false;
}

RemoteStuckBits::Bit* RemoteStuckBits::find(const std::string& id) {
  for (Bit& bit : bits_) {
    if (bit.id == id) return &bit;
  }
  return nullptr;
}

std::vector<std::string> RemoteStuckBits::ids() const {
  std::vector<std::string> ids;
  for (const Bit& bit : bits_) ids.push_back(bit.id);
  return ids;
}

bool RemoteStuckBits::readWord(uint64_t address, uint32_t* value) {
  std::vector<uint32_t> values;
  if (!memory_.readWords({address}, &values)) return false;
  *value = values[0];
  return true;
}

bool RemoteStuckBits::writeWord(uint64_t address, uint32_t value) {
  return memory_.writeWords({address}, {value});
}

bool RemoteStuckBits::protect(uint64_t page, bool writable, std::string* why) {
  long result = 0;
  const long prot = writable ? PROT_READ | PROT_WRITE : PROT_READ;
  if (!tracee_.systemCall(SYS_mprotect, static_cast<long>(page), kPageBytes,
                          prot, &result)) {
    *why = tracee_.gone() ? "the process is gone"
                          : "mprotect did not run in the process";
    return false;
  }
  if (result != 0) {
    *why = "mprotect in the process failed: " + std::string(strerror(-result));
    return false;
  }
  return true;
}

// The held page a faulting store reached and that is not open yet: the page
// of its address, or, for a store that begins just below a held page, the
// next page.
uint64_t RemoteStuckBits::heldPageFor(uint64_t address,
                                      const std::vector<uint64_t>& open) const {
  for (uint64_t page : {pageOf(address), pageOf(address + kWidestStore - 1)}) {
    if (held(page) && std::find(open.begin(), open.end(), page) == open.end()) {
      return page;
    }
  }
  return 0;
}

// Stops every thread with no fault of its own waiting in any. Stores to held
// pages met on the way (`first`, the stop that asked for this, among them)
// are run one after another, each with only its own pages opened. A store
// that faulted just as its thread was asked to stop is run too: its signal
// would otherwise meet the lab's next instruction in that thread.
bool RemoteStuckBits::stopAll(const Tracee::Stop* first) {
  std::vector<Tracee::Stop> met;
  if (first != nullptr) met.push_back(*first);
  if (!tracee_.stopAll(&met)) return false;
  for (const Tracee::Stop& stop : met) {
    if (!handleStopped(stop)) return false;
  }
  for (pid_t tid : tracee_.threads()) {
    while (tracee_.faultWaiting(tid)) {
      if (!handleStopped(tracee_.takeFault(tid))) return false;
    }
  }
  return true;
}

// A stop met with every thread stopped: a store to a held page is run, and
// any other signal is kept for the thread's resume.
bool RemoteStuckBits::handleStopped(const Tracee::Stop& stop) {
  if (stop.kind == Tracee::Stop::kGone) return false;
  if (stop.kind != Tracee::Stop::kSignal) return true;
  if (stop.signal != SIGSEGV) {
    tracee_.keepSignal(stop.tid, stop.signal);
    return true;
  }
  switch (stepStore(stop.tid, stop.info)) {
    case StepEnd::kDone:
      return true;
    case StepEnd::kNotOurs:
      tracee_.keepSignal(stop.tid, SIGSEGV);
      return true;
    case StepEnd::kGone:
      break;
  }
  return false;
}

// A stop of the running process. A page's protection is the whole
// process's, so a store to a held page runs with every thread stopped: any
// other would store to the open page unseen. Anything else goes on as it
// would have.
bool RemoteStuckBits::dispatch(const Tracee::Stop& stop) {
  switch (stop.kind) {
    case Tracee::Stop::kNone:
    case Tracee::Stop::kExited:
      return true;
    case Tracee::Stop::kGone:
      return false;
    case Tracee::Stop::kInterrupt:
    case Tracee::Stop::kClone:
      tracee_.resume(stop.tid);
      return true;
    case Tracee::Stop::kSignal:
      break;
  }
  if (stop.signal != SIGSEGV) {
    tracee_.keepSignal(stop.tid, stop.signal);
    tracee_.resume(stop.tid);
    return true;
  }
  if (!stopAll(&stop)) return false;
  tracee_.resumeAll();
  return true;
}

bool RemoteStuckBits::handleStops() {
  if (!tracee_.attached()) return true;
  // A bounded number: threads that store to a held page without pause would
  // otherwise keep the caller from its commands. The caller comes back for
  // those left (the injector at least every 100 ms).
  for (int n = 0; n < kStopsPerCall; ++n) {
    const Tracee::Stop stop = tracee_.nextStop(false);
    if (stop.kind == Tracee::Stop::kNone) return true;
    if (!dispatch(stop)) return false;
  }
  return true;
}

// With every thread stopped, `tid` at a faulting store: opens the held pages
// the store reaches, runs it, settles each bit there and closes the pages.
RemoteStuckBits::StepEnd RemoteStuckBits::stepStore(pid_t tid,
                                                    siginfo_t fault) {
  std::vector<uint64_t> open;
  std::string why;
  bool ran = false;
  const uint64_t storeAt = reinterpret_cast<uint64_t>(fault.si_addr);
  while (!ran) {
    const uint64_t address = reinterpret_cast<uint64_t>(fault.si_addr);
    const uint64_t page =
        fault.si_code == SEGV_ACCERR ? heldPageFor(address, open) : 0;
    if (page == 0) break;  // not ours; the pages opened so far are closed
    for (Bit& bit : bits_) {
      // A stretch is settled whole once the store has run.
      if (bit.words != 1 || pageOf(bit.address) != page) continue;
      if (!readWord(bit.address, &bit.before)) bit.before = 0;
      if (address >= bit.address && address < bit.address + 4) {
        bit.hit = Bit::Hit::kYes;
      } else if (address < bit.address &&
                 bit.address - address < kWidestStore) {
        bit.hit = Bit::Hit::kMaybe;
        do {
          canaryState_ ^= canaryState_ << 13;
          canaryState_ ^= canaryState_ >> 17;
          canaryState_ ^= canaryState_ << 5;
        } while (canaryState_ == bit.before);
        bit.canary = canaryState_;
      } else {
        bit.hit = Bit::Hit::kNo;
      }
    }
    if (!protect(page, true, &why)) {
      log_("error cannot open a held page " + hex(page) + ": " + why);
      break;
    }
    open.push_back(page);
    for (Bit& bit : bits_) {
      if (bit.words == 1 && pageOf(bit.address) == page &&
          bit.hit == Bit::Hit::kMaybe) {
        writeWord(bit.address, bit.canary);
      }
    }
    const Tracee::Stop stop = tracee_.step(tid);
    if (stop.kind == Tracee::Stop::kGone) return StepEnd::kGone;
    ran = stop.signal == SIGTRAP;
    fault = stop.info;  // a fault on a further page, when it did not run
  }
  for (Bit& bit : bits_) {
    if (bit.words != 1) {
      if (ran) settleStretch(bit, tid, storeAt, open);
      continue;
    }
    if (std::find(open.begin(), open.end(), pageOf(bit.address)) ==
        open.end()) {
      continue;
    }
    if (ran) {
      settle(bit, tid);
    } else if (bit.hit == Bit::Hit::kMaybe) {
      writeWord(bit.address, bit.before);  // the canary goes again
    }
  }
  for (uint64_t page : open) {
    if (!protect(page, false, &why)) {
      log_("error cannot close a held page " + hex(page) + ": " + why);
    }
  }
  return ran ? StepEnd::kDone : StepEnd::kNotOurs;
}

// After a store to its page by thread `tid`: counts the store if it wrote
// the word and forces the bit.
void RemoteStuckBits::settle(Bit& bit, pid_t tid) {
  uint32_t stored = 0;
  if (!readWord(bit.address, &stored)) {
    log_("error id=" + bit.id + " cannot read the word: " + strerror(errno));
    return;
  }
  bool wrote = bit.hit == Bit::Hit::kYes;
  if (bit.hit == Bit::Hit::kMaybe) {
    wrote = stored != bit.canary;
    if (!wrote && !writeWord(bit.address, bit.before)) {
      log_("error id=" + bit.id +
           " cannot restore the word: " + strerror(errno));
    }
  }
  if (!wrote) return;
  ++bit.counts.stores;
  if (std::find(bit.storers.begin(), bit.storers.end(), tid) ==
      bit.storers.end()) {
    bit.storers.push_back(tid);
  }
  const uint32_t forced = (stored | bit.setMask) & bit.keepMask;
  if (forced == stored) return;
  if (!writeWord(bit.address, forced)) {
    log_("error id=" + bit.id + " cannot force the bit: " + strerror(errno));
    return;
  }
  ++bit.counts.forced;
  if (!probing_) {
    log_("force id=" + bit.id + " stored=" + hex(stored) +
         " now=" + hex(forced));
  }
}

// Forces the bit in the stretch's words on an open page: how many words it
// changed, -1 if they could not be read or written.
int64_t RemoteStuckBits::forceOnPage(const Bit& bit, uint64_t page) {
  const uint64_t from = std::max(page, bit.address);
  const uint64_t to = std::min(page + kPageBytes, bit.end());
  std::vector<uint32_t> words;
  if (!memory_.readSpan(from, (to - from) / 4, &words)) return -1;
  int64_t changed = 0;
  for (uint32_t& word : words) {
    const uint32_t forced = (word | bit.setMask) & bit.keepMask;
    changed += forced != word;
    word = forced;
  }
  if (changed > 0 && !memory_.writeSpan(from, words)) return -1;
  return changed;
}

// After a store that began at `storeAt` ran with the pages `open`: every word
// of the stretch there had its bit forced before, so forcing them all again
// undoes exactly what the store did, however wide it was. The store counts if
// it reached the stretch.
void RemoteStuckBits::settleStretch(Bit& bit, pid_t tid, uint64_t storeAt,
                                    const std::vector<uint64_t>& open) {
  bool forced = false;
  bool reached = storeAt < bit.end() && storeAt + kWidestStore > bit.address;
  for (uint64_t page : open) {
    if (!onPage(bit, page)) continue;
    const int64_t changed = forceOnPage(bit, page);
    if (changed < 0) {
      log_("error id=" + bit.id +
           " cannot force the stretch: " + strerror(errno));
    }
    forced = forced || changed > 0;
  }
  if (!reached && !forced) return;
  ++bit.counts.stores;
  bit.counts.forced += forced;
  if (std::find(bit.storers.begin(), bit.storers.end(), tid) ==
      bit.storers.end()) {
    bit.storers.push_back(tid);
  }
}

// The probe of a bit just added: one thread of the process (any: all are
// stopped) stores the word at `address` (now `value`) with the bit at the
// other level, through the same path as any store of its own. It must be
// caught and forced; the counts then start from nothing.
bool RemoteStuckBits::prove(const std::string& id, uint64_t address,
                            uint32_t value, uint32_t mask, int level,
                            std::string* why) {
  const pid_t prober = tracee_.threads().front();
  user_regs_struct saved;
  const uint32_t probe = level == 1 ? value & ~mask : value | mask;
  bool proven = false;
  if (tracee_.registers(prober, &saved) &&
      tracee_.setRegisters(prober,
                           tracee_.storeRegisters(saved, address, probe))) {
    probing_ = true;
    const Tracee::Stop stop = tracee_.step(prober);
    proven = stop.kind == Tracee::Stop::kSignal && stop.signal == SIGSEGV &&
             stepStore(prober, stop.info) == StepEnd::kDone;
    probing_ = false;
    if (!tracee_.gone()) tracee_.setRegisters(prober, saved);
  }
  Bit& made = *find(id);
  uint32_t now = 0;
  proven = proven && made.counts.stores == 1 && made.counts.forced == 1 &&
           readWord(address, &now) && now == (probe ^ mask);
  if (!proven) {
    *why = "the probe store was not caught and forced (stores " +
           std::to_string(made.counts.stores) + ", forced " +
           std::to_string(made.counts.forced) + ")";
    return false;
  }
  made.counts = Counts();
  made.storers.clear();
  return true;
}

bool RemoteStuckBits::add(const std::string& id, uint64_t address, int bit,
                          int level, std::string* why) {
  if (!tracee_.attach(why)) return false;
  if (!stopAll()) {
    *why = "the process is gone";
    return false;
  }
  const uint32_t mask = 1u << bit;
  const uint64_t page = pageOf(address);
  const bool pageHeld = held(page);
  uint32_t value = 0;
  if (!readWord(address, &value)) {
    *why = std::string("cannot read the word: ") + strerror(errno);
    tracee_.resumeAll();
    return false;
  }
  if (!pageHeld && !protect(page, false, why)) {
    tracee_.resumeAll();
    return false;
  }
  bits_.push_back(Bit{id, address, level == 1 ? mask : 0,
                      level == 1 ? ~0u : ~mask, Counts(), Bit::Hit::kNo, 0, 0});
  if (!prove(id, address, value, mask, level, why)) {
    bits_.erase(bits_.begin() + (find(id) - bits_.data()));
    std::string ignored;
    if (!pageHeld && !tracee_.gone()) protect(page, true, &ignored);
    if (!tracee_.gone()) tracee_.resumeAll();
    return false;
  }
  tracee_.resumeAll();
  return true;
}

bool RemoteStuckBits::addStretches(const std::vector<Stretch>& stretches,
                                   int bit, int level,
                                   std::vector<uint64_t>* changed,
                                   std::string* why) {
  if (!tracee_.attach(why)) return false;
  if (!stopAll()) {
    *why = "the process is gone";
    return false;
  }
  const uint32_t mask = 1u << bit;
  changed->clear();
  size_t made = 0;
  bool ok = true;
  for (const Stretch& stretch : stretches) {
    Bit line{stretch.id,
             stretch.address,
             level == 1 ? mask : 0,
             level == 1 ? ~0u : ~mask,
             Counts(),
             Bit::Hit::kNo,
             0,
             0};
    line.words = stretch.words;
    // Every word is forced while its page is still open to the lab; only
    // then does the page close.
    uint64_t count = 0;
    for (uint64_t page = pageOf(line.address); page < pageAfter(line.end());
         page += kPageBytes) {
      // A page another bit holds already is read-only: opened for the moment.
      const bool shared = held(page);
      int64_t forced = -1;
      if (!shared || protect(page, true, why)) {
        forced = forceOnPage(line, page);
        if (forced < 0) *why = std::string("cannot force: ") + strerror(errno);
      }
      ok = forced >= 0 && protect(page, false, why);
      if (!ok) break;
      count += static_cast<uint64_t>(forced);
    }
    bits_.push_back(line);
    ++made;
    uint32_t value = 0;
    ok = ok && readWord(line.address, &value) &&
         prove(line.id, line.address, value, mask, level, why);
    if (!ok) break;
    changed->push_back(count);
  }
  if (!ok) {
    for (; made > 0; --made) {
      const Bit line = bits_.back();
      bits_.pop_back();
      for (uint64_t page = pageOf(line.address); page < pageAfter(line.end());
           page += kPageBytes) {
        std::string ignored;
        if (!held(page) && !tracee_.gone()) protect(page, true, &ignored);
      }
    }
  }
  if (!tracee_.gone()) tracee_.resumeAll();
  return ok;
}

bool RemoteStuckBits::remove(const std::string& id, Counts* counts) {
  const auto countsOf = [](const Bit& held) {
    Counts made = held.counts;
    made.threads = held.storers.size();
    return made;
  };
  Bit* bit = find(id);
  if (bit == nullptr) return false;
  *counts = countsOf(*bit);
  if (tracee_.gone() || !stopAll()) {
    bits_.erase(bits_.begin() + (bit - bits_.data()));
    return true;
  }
  bit = find(id);  // stores met on the way may have been counted
  *counts = countsOf(*bit);
  const uint64_t first = pageOf(bit->address), after = pageAfter(bit->end());
  bits_.erase(bits_.begin() + (bit - bits_.data()));
  std::string why;
  for (uint64_t page = first; page < after; page += kPageBytes) {
    if (!held(page) && !protect(page, true, &why)) {
      log_("error id=" + id + " cannot free its page: " + why);
    }
  }
  tracee_.resumeAll();
  return true;
}

bool RemoteStuckBits::write(const std::vector<uint64_t>& addresses,
                            const std::vector<uint32_t>& values,
                            std::string* why) {
  std::vector<uint64_t> pages;
  for (uint64_t address : addresses) {
    if (held(pageOf(address)) &&
        std::find(pages.begin(), pages.end(), pageOf(address)) == pages.end()) {
      pages.push_back(pageOf(address));
    }
  }
  if (pages.empty()) {
    if (memory_.writeWords(addresses, values)) return true;
    *why = strerror(errno);
    return false;
  }
  // A held page is read-only, to the kernel's writes too: it is opened for
  // the moment, with the process stopped.
  if (!stopAll()) {
    *why = "the process is gone";
    return false;
  }
  bool ok = true;
  size_t opened = 0;
  for (; opened < pages.size() && ok; ++opened) {
    ok = protect(pages[opened], true, why);
  }
  if (ok && !memory_.writeWords(addresses, values)) {
    *why = strerror(errno);
    ok = false;
  }
  // A stuck line holds its bit against the lab's own writes too.
  for (const Bit& bit : bits_) {
    for (uint64_t page : pages) {
      if (ok && bit.words != 1 && onPage(bit, page)) forceOnPage(bit, page);
    }
  }
  std::string closing;
  for (size_t i = 0; i < opened; ++i) {
    if (!protect(pages[i], false, &closing)) {
      log_("error cannot close a held page " + hex(pages[i]) + ": " + closing);
    }
  }
  tracee_.resumeAll();
  return ok;
}
