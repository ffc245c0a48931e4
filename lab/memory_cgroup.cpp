#include "lab/memory_cgroup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

const char kMemoryRoot[] = "/sys/fs/cgroup/memory";

// The v1 memory cgroup of this process, relative to the controller's root.
bool ownCgroup(std::string* path) {
  std::ifstream in("/proc/self/cgroup");
  std::string line;
  while (std::getline(in, line)) {
    const size_t first = line.find(':');
    const size_t second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    if (line.compare(first + 1, second - first - 1, "memory") == 0) {
      *path = line.substr(second + 1);
      return true;
    }
  }
  return false;
}

bool writeValue(const std::string& path, const std::string& value) {
  std::ofstream out(path);
  out << value;
  out.close();
  return static_cast<bool>(out);
}

unsigned long long readNumber(const std::string& path, const std::string& key) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string name;
    unsigned long long value = 0;
    if (key.empty()) {
      fields >> value;
      return value;
    }
    if (fields >> name >> value && name == key) return value;
  }
  return 0;
}

}  // namespace

MemoryCgroup::MemoryCgroup(unsigned long long limitBytes, std::string* error) {
  std::string parent;
  if (!ownCgroup(&parent)) {
    *error = "no cgroup v1 memory controller on this machine";
    return;
  }
  if (parent == "/") parent.clear();
  const std::string dir = std::string(kMemoryRoot) + parent +
                          "/cellcheck-lab-" + std::to_string(getpid());
  if (mkdir(dir.c_str(), 0755) != 0) {
    *error = "cannot make the cgroup " + dir;
    return;
  }
  dir_ = dir;
  const std::string limit = std::to_string(limitBytes);
  if (!writeValue(dir_ + "/memory.limit_in_bytes", limit)) {
    *error = "cannot set the memory limit of " + dir_;
    return;
  }
  // Memory and swap together: without it the limit would push pages to swap
  // instead of stopping the program.
  if (access((dir_ + "/memory.memsw.limit_in_bytes").c_str(), F_OK) == 0 &&
      !writeValue(dir_ + "/memory.memsw.limit_in_bytes", limit)) {
    *error = "cannot set the swap limit of " + dir_;
  }
}

MemoryCgroup::~MemoryCgroup() {
  if (dir_.empty()) return;
  // The processes of a PID namespace die after its PID 1, not with it.
  for (int tries = 0; tries < 500; ++tries) {
    if (rmdir(dir_.c_str()) == 0) return;
    usleep(10000);
  }
}

bool MemoryCgroup::adopt(pid_t pid) {
  return writeValue(dir_ + "/cgroup.procs", std::to_string(pid));
}

unsigned long long MemoryCgroup::peakBytes() const {
  return readNumber(dir_ + "/memory.max_usage_in_bytes", "");
}

unsigned long long MemoryCgroup::oomKills() const {
  return readNumber(dir_ + "/memory.oom_control", "oom_kill");
}
