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
//   unstick ID                     the bit free again
//   quit
// Log lines: "NANOSECONDS EVENT key=value...", CLOCK_MONOTONIC.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "lab/remote_memory.h"
#include "lab/remote_watchpoints.h"

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
  banks->start[0] = mapping.start;
  banks->start[1] = mapping.start + (size / 2 & ~uint64_t{3});
  banks->words = (size / 8) & ~uint64_t{1};
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

struct StuckBit {
  std::string id;
  uint64_t address = 0;
  uint32_t setMask = 0;
  uint32_t keepMask = ~0u;
  int slot = -1;
  uint64_t traps = 0;
  uint64_t forced = 0;  // stores whose bit the fault changed
};

class Injector {
 public:
  Injector(pid_t pid, const Banks& banks)
      : memory_(pid),
        banks_(banks),
        watchpoints_(pid, [this](unsigned slots) { onStore(slots); }) {}

  // False on "quit".
  bool execute(const std::string& line);
  bool handleStops() { return watchpoints_.handleStops(); }

 private:
  bool address(const std::string& bank, uint64_t word, uint64_t* out) const;
  void flip(std::istringstream& args, bool burst);
  void stick(std::istringstream& args);
  void unstick(std::istringstream& args);
  void force(StuckBit& bit, bool fromStore);
  void onStore(unsigned slots);

  RemoteMemory memory_;
  Banks banks_;
  RemoteWatchpoints watchpoints_;
  std::map<std::string, StuckBit> stuck_;
};

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
  if (!memory_.writeWords(addresses, changed)) {
    logLine("error id=" + id + " cannot write");
    return;
  }
  for (size_t i = 0; i < words.size(); ++i) {
    logLine(std::string(burst ? "burst" : "flip") + " id=" + id +
            " bank=" + bank + " word=" + std::to_string(words[i]) +
            " bit=" + std::to_string(bits[i]) + " addr=" + hex(addresses[i]) +
            " old=" + hex(old[i]) + " new=" + hex(changed[i]));
  }
}

void Injector::force(StuckBit& bit, bool fromStore) {
  std::vector<uint32_t> value;
  if (!memory_.readWords({bit.address}, &value)) return;
  const uint32_t forced = (value[0] | bit.setMask) & bit.keepMask;
  if (forced == value[0]) return;
  memory_.writeWords({bit.address}, {forced});
  if (fromStore) {
    ++bit.forced;
    logLine("force id=" + bit.id + " stored=" + hex(value[0]) +
            " now=" + hex(forced));
  }
}

// One wide store may touch two watched words and name only one slot, so
// every stuck bit is forced again; forcing a bit that holds its stuck value
// already changes nothing.
void Injector::onStore(unsigned slots) {
  for (auto& entry : stuck_) {
    StuckBit& bit = entry.second;
    if (bit.slot >= 0 && (slots >> bit.slot & 1)) ++bit.traps;
    force(bit, true);
  }
}

void Injector::stick(std::istringstream& args) {
  std::string id, bank;
  uint64_t word = 0;
  int bit = -1, level = -1;
  args >> id >> bank >> word >> bit >> level;
  StuckBit stuck;
  if (bit < 0 || bit > 31 || (level != 0 && level != 1) ||
      !address(bank, word, &stuck.address) || stuck_.count(id) != 0) {
    logLine("error id=" + id + " bad stuck bit");
    return;
  }
  stuck.id = id;
  stuck.setMask = level == 1 ? 1u << bit : 0;
  stuck.keepMask = level == 1 ? ~0u : ~(1u << bit);
  std::vector<uint32_t> before;
  memory_.readWords({stuck.address}, &before);
  StuckBit& entry = stuck_[id] = stuck;
  entry.slot = watchpoints_.add(entry.address, [&] { force(entry, false); });
  if (entry.slot < 0) {
    stuck_.erase(id);
    logLine("error id=" + id + " no watchpoint (all in use, or no ptrace)");
    return;
  }
  std::vector<uint32_t> after;
  memory_.readWords({entry.address}, &after);
  logLine("stick id=" + id + " bank=" + bank + " word=" + std::to_string(word) +
          " bit=" + std::to_string(bit) + " level=" + std::to_string(level) +
          " addr=" + hex(entry.address) + " old=" + hex(before.at(0)) +
          " new=" + hex(after.at(0)));
}

void Injector::unstick(std::istringstream& args) {
  std::string id;
  args >> id;
  auto found = stuck_.find(id);
  if (found == stuck_.end()) {
    logLine("error id=" + id + " not stuck");
    return;
  }
  watchpoints_.remove(found->second.slot);
  logLine("unstick id=" + id + " traps=" + std::to_string(found->second.traps) +
          " forced=" + std::to_string(found->second.forced));
  stuck_.erase(found);
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
  } else if (command == "unstick") {
    unstick(args);
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
  // the injector clear its watchpoints first, so it comes the same way.
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
