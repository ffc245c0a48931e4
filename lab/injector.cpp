// The fault injector: finds the test area of a running tester (by its maps)
// and corrupts it from outside, one command from stdin at a time, logging
// every change it makes to stdout with the time it was made.
//
//   lab_injector PID cellcheck [AREA_MIB]
//   lab_injector PID split OFFSET BANK_BYTES
//
// "cellcheck": the area is the largest anonymous stretch of the process, bank
// A its first half, bank B from its middle (AREA_MIB: the size the tester
// printed, checked). "split": bank A at OFFSET bytes into that stretch, bank
// B BANK_BYTES after it. Words are 32-bit, indexed from the start of their
// bank.
//
// Commands (ID names the fault in the log):
//   flip ID BANK WORD BIT          one bit of one word inverted, once
//   burst ID BANK WORD:BIT...      several words inverted in one write
//   stick ID BANK WORD BIT LEVEL   the bit held at LEVEL after every store
//   line ID WORD COUNT BIT LEVEL   a stuck data line: the bit held at LEVEL
//                                  in COUNT words from WORD, in both banks
//   unstick ID                     the bit (or line) free again
//   quit
// Log lines: "NANOSECONDS EVENT key=value...", CLOCK_MONOTONIC. A stuck bit
// logs "stick" once a probe store has proven it held, "force" for each store
// whose bit it changed, and "unstick ... stores=N forced=M threads=T" when
// freed (or when the injector ends): N stores wrote its word while it was
// held, made by T of the tester's threads. A line logs "line" per bank once
// made (changed=K: words whose bit making it changed) and "unstick" per bank
// with bank=; its stores are counted, not logged one by one.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "base/bank_split.h"
#include "lab/remote_memory.h"
#include "lab/remote_stuck_bits.h"

namespace {

struct Banks {
  uint64_t start[2] = {};  // bank A, bank B
  uint64_t words = 0;      // 32-bit words in each
};

// The tester maps its area in one piece; its size is a whole number of
// 64 KiB blocks (the memory it measured, less whole MiB), and the tester says
// it in whole MiB, which the caller may pass on to be checked.
bool cellcheckBanks(const Mapping& mapping, const char* statedMiB, Banks* banks,
                    std::string* why) {
  const uint64_t size = mapping.end - mapping.start;
  if (size % 65536 != 0 ||
      (statedMiB != nullptr && size >> 20 != std::stoull(statedMiB))) {
    *why = "the largest anonymous stretch (" + std::to_string(size) +
           " bytes) is not the test area";
    return false;
  }
  const BankSplit split = bankSplitOf(size);
  banks->start[0] = mapping.start;
  banks->start[1] = mapping.start + split.bankBOffset;
  banks->words = split.wordsPerBank;
  return true;
}

uint64_t now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + t.tv_nsec;
}

void logLine(const std::string& text) {
  printf("%" PRIu64 " %s\n", now(), text.c_str());
  fflush(stdout);
}

std::string hex(uint64_t value) {
  char text[24];
  snprintf(text, sizeof text, "0x%" PRIx64, value);
  return text;
}

class Injector {
 public:
  Injector(pid_t pid, const Banks& banks)
      : memory_(pid), banks_(banks), stuck_(pid, logLine) {}
  // Every bit still held is freed, and its counts logged.
  ~Injector();

  // False on "quit".
  bool execute(const std::string& line);
  bool handleStops() { return stuck_.handleStops(); }

 private:
  bool address(const std::string& bank, uint64_t word, uint64_t* out) const;
  void flip(std::istringstream& args, bool burst);
  void stick(std::istringstream& args);
  void stickLine(std::istringstream& args);
  void unstick(const std::string& id);

  RemoteMemory memory_;
  Banks banks_;
  RemoteStuckBits stuck_;
};

// A line holds one stretch per bank, each named by the line's id and its
// bank.
std::string stretchId(const std::string& id, char bank) {
  return id + "/" + bank;
}

Injector::~Injector() {
  std::vector<std::string> ids;
  for (const std::string& id : stuck_.ids()) {
    const std::string fault = id.substr(0, id.find('/'));
    if (std::find(ids.begin(), ids.end(), fault) == ids.end()) {
      ids.push_back(fault);
    }
  }
  for (const std::string& id : ids) unstick(id);
}

bool Injector::address(const std::string& bank, uint64_t word,
                       uint64_t* out) const {
  if ((bank != "A" && bank != "B") || word >= banks_.words) return false;
  *out = banks_.start[bank == "A" ? 0 : 1] + 4 * word;
  return true;
}

void Injector::flip(std::istringstream& args, bool burst) {
  std::string id, bank, item;
  args >> id >> bank;
  std::vector<uint64_t> words, addresses;
  std::vector<int> bits;
  while (args >> item) {
    uint64_t word = 0;
    int bit = -1;
    if (!burst) {
      word = std::stoull(item);
      args >> bit;
    } else if (sscanf(item.c_str(), "%" SCNu64 ":%d", &word, &bit) != 2) {
      bit = -1;
    }
    uint64_t at = 0;
    if (bit < 0 || bit > 31 || !address(bank, word, &at)) {
      logLine("error id=" + id + " bad word or bit " + item);
      return;
    }
    words.push_back(word);
    addresses.push_back(at);
    bits.push_back(bit);
    if (!burst) break;
  }
  std::vector<uint32_t> old, changed;
  if (addresses.empty() || !memory_.readWords(addresses, &old)) {
    logLine("error id=" + id + " cannot read");
    return;
  }
  changed = old;
  for (size_t i = 0; i < changed.size(); ++i) changed[i] ^= 1u << bits[i];
  std::string why;
  if (!stuck_.write(addresses, changed, &why)) {
    logLine("error id=" + id + " cannot write: " + why);
    return;
  }
  for (size_t i = 0; i < words.size(); ++i) {
    logLine(std::string(burst ? "burst" : "flip") + " id=" + id +
            " bank=" + bank + " word=" + std::to_string(words[i]) +
            " bit=" + std::to_string(bits[i]) + " addr=" + hex(addresses[i]) +
            " old=" + hex(old[i]) + " new=" + hex(changed[i]));
  }
}

void Injector::stick(std::istringstream& args) {
  std::string id, bank;
  uint64_t word = 0;
  int bit = -1, level = -1;
  args >> id >> bank >> word >> bit >> level;
  uint64_t at = 0;
  const std::vector<std::string> held = stuck_.ids();
  if (bit < 0 || bit > 31 || (level != 0 && level != 1) ||
      !address(bank, word, &at) ||
      std::find(held.begin(), held.end(), id) != held.end()) {
    logLine("error id=" + id + " bad stuck bit");
    return;
  }
  std::vector<uint32_t> before, after;
  memory_.readWords({at}, &before);
  std::string why;
  if (!stuck_.add(id, at, bit, level, &why)) {
    logLine("error id=" + id + " cannot hold the bit: " + why);
    return;
  }
  memory_.readWords({at}, &after);
  logLine("stick id=" + id + " bank=" + bank + " word=" + std::to_string(word) +
          " bit=" + std::to_string(bit) + " level=" + std::to_string(level) +
          " addr=" + hex(at) + " old=" + hex(before.at(0)) +
          " new=" + hex(after.at(0)) + " probe=forced");
}

void Injector::stickLine(std::istringstream& args) {
  std::string id;
  uint64_t word = 0, count = 0;
  int bit = -1, level = -1;
  args >> id >> word >> count >> bit >> level;
  uint64_t first = 0, last = 0;
  const std::vector<std::string> held = stuck_.ids();
  if (bit < 0 || bit > 31 || (level != 0 && level != 1) || count == 0 ||
      id.find('/') != std::string::npos || !address("A", word, &first) ||
      !address("A", word + count - 1, &last) ||
      std::find(held.begin(), held.end(), stretchId(id, 'A')) != held.end()) {
    logLine("error id=" + id + " bad stuck line");
    return;
  }
  std::vector<RemoteStuckBits::Stretch> stretches;
  for (char bank : {'A', 'B'}) {
    address(std::string(1, bank), word, &first);
    stretches.push_back({stretchId(id, bank), first, count});
  }
  std::vector<uint64_t> changed;
  std::string why;
  if (!stuck_.addStretches(stretches, bit, level, &changed, &why)) {
    logLine("error id=" + id + " cannot hold the line: " + why);
    return;
  }
  for (size_t i = 0; i < stretches.size(); ++i) {
    logLine("line id=" + id + " bank=" + std::string(1, "AB"[i]) + " word=" +
            std::to_string(word) + " words=" + std::to_string(count) +
            " bit=" + std::to_string(bit) + " level=" + std::to_string(level) +
            " addr=" + hex(stretches[i].address) +
            " changed=" + std::to_string(changed[i]) + " probe=forced");
  }
}

void Injector::unstick(const std::string& id) {
  const std::vector<std::string> held = stuck_.ids();
  const bool isLine =
      std::find(held.begin(), held.end(), stretchId(id, 'A')) != held.end();
  for (const char bank : std::string(isLine ? "AB" : "-")) {
    RemoteStuckBits::Counts counts;
    if (!stuck_.remove(isLine ? stretchId(id, bank) : id, &counts)) {
      logLine("error id=" + id + " not stuck");
      return;
    }
    logLine("unstick id=" + id +
            (isLine ? std::string(" bank=") + bank : std::string()) +
            " stores=" + std::to_string(counts.stores) +
            " forced=" + std::to_string(counts.forced) +
            " threads=" + std::to_string(counts.threads));
  }
}

bool Injector::execute(const std::string& line) {
  std::istringstream args(line);
  std::string command;
  args >> command;
  if (command == "flip") {
    flip(args, false);
  } else if (command == "burst") {
    flip(args, true);
  } else if (command == "stick") {
    stick(args);
  } else if (command == "line") {
    stickLine(args);
  } else if (command == "unstick") {
    std::string id;
    args >> id;
    unstick(id);
  } else if (command == "quit") {
    return false;
  } else if (!command.empty()) {
    logLine("error unknown command " + command);
  }
  return true;
}

bool locate(pid_t pid, int argc, char** argv, Banks* banks) {
  Mapping mapping;
  if (!largestAnonymousStretch(pid, &mapping)) {
    fprintf(stderr, "lab_injector: no anonymous mapping in %d\n", pid);
    return false;
  }
  const std::string layout = argv[2];
  std::string why = "unknown layout " + layout;
  bool found = false;
  if (layout == "cellcheck" && (argc == 3 || argc == 4)) {
    found = cellcheckBanks(mapping, argc == 4 ? argv[3] : nullptr, banks, &why);
  } else if (layout == "split" && argc == 5) {
    const uint64_t offset = std::stoull(argv[3]);
    const uint64_t bankBytes = std::stoull(argv[4]);
    banks->start[0] = mapping.start + offset;
    banks->start[1] = banks->start[0] + bankBytes;
    banks->words = bankBytes / 4;
    found = banks->start[1] + bankBytes <= mapping.end;
    why = "the banks do not fit in the largest anonymous stretch";
  }
  if (!found) {
    fprintf(stderr, "lab_injector: %s\n", why.c_str());
    return false;
  }
  logLine("area start=" + hex(mapping.start) + " end=" + hex(mapping.end) +
          " bankA=" + hex(banks->start[0]) + " bankB=" + hex(banks->start[1]) +
          " words=" + std::to_string(banks->words));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr,
            "usage: lab_injector PID cellcheck [AREA_MIB] | PID split OFFSET "
            "BANK_BYTES\n");
    return 2;
  }
  const pid_t pid = static_cast<pid_t>(atoi(argv[1]));
  Banks banks;
  if (!locate(pid, argc, argv, &banks)) return 1;

  // Stops of the traced tester arrive as SIGCHLD. A request to end must let
  // the injector free its pages first, so it comes the same way.
  sigset_t signals;
  sigemptyset(&signals);
  for (int sig : {SIGCHLD, SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, sig);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  const int signalFd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);

  Injector injector(pid, banks);
  std::string pending;
  for (;;) {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {signalFd, POLLIN, 0}};
    poll(fds, 2, 100);
    signalfd_siginfo info;
    while (read(signalFd, &info, sizeof info) > 0) {
      if (info.ssi_signo != SIGCHLD) return 0;
    }
    if (!injector.handleStops()) {
      logLine("target-exit");
      return 0;
    }
    if (fds[0].revents == 0) continue;
    char buffer[4096];
    const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
    if (got <= 0) return 0;  // the runner is gone: clean up and leave
    pending.append(buffer, static_cast<size_t>(got));
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!injector.execute(line)) return 0;
    }
  }
}
