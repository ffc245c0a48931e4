// A memory cgroup (v1 controller) of the lab's own, made below the cgroup this
// process runs in and removed again when the object goes: the limit that a
// sandboxed program's memory measurement runs into.
#ifndef CELLCHECK_LAB_MEMORY_CGROUP_H_
#define CELLCHECK_LAB_MEMORY_CGROUP_H_

#include <sys/types.h>

#include <string>

class MemoryCgroup {
 public:
  // On failure *error says why and the object holds no cgroup.
  MemoryCgroup(unsigned long long limitBytes, std::string* error);
  // Waits until the cgroup's processes are gone, then removes it.
  ~MemoryCgroup();
  MemoryCgroup(const MemoryCgroup&) = delete;
  MemoryCgroup& operator=(const MemoryCgroup&) = delete;

  bool adopt(pid_t pid);
  unsigned long long peakBytes() const;
  // Processes the kernel killed because the cgroup reached its limit.
  unsigned long long oomKills() const;

 private:
  std::string dir_;
};

#endif  // CELLCHECK_LAB_MEMORY_CGROUP_H_
