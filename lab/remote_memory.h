// Reads and writes another process's memory from outside, as a fault would:
// the process is not stopped and does not notice.
#ifndef CELLCHECK_LAB_REMOTE_MEMORY_H_
#define CELLCHECK_LAB_REMOTE_MEMORY_H_

#include <sys/types.h>

#include <cstdint>
#include <vector>

struct Mapping {
  uint64_t start = 0;
  uint64_t end = 0;
};

// The largest stretch of private, writable, anonymous memory of the process:
// where a tester's one big test area lies. Mappings that touch are one
// stretch: advice given for part of a mapping (huge pages for its inner
// 2 MiB pages) splits it into several. A thread's malloc arena is none of
// it, even where it touches the area. False if the process has none.
bool largestAnonymousStretch(pid_t pid, Mapping* found);

class RemoteMemory {
 public:
  explicit RemoteMemory(pid_t pid) : pid_(pid) {}

  // Scattered 32-bit words, each read (or written) in one go, all in one call.
  bool readWords(const std::vector<uint64_t>& addresses,
                 std::vector<uint32_t>* values) const;
  bool writeWords(const std::vector<uint64_t>& addresses,
                  const std::vector<uint32_t>& values) const;
  // `count` consecutive words from `address`, in one call.
  bool readSpan(uint64_t address, size_t count,
                std::vector<uint32_t>* values) const;
  bool writeSpan(uint64_t address, const std::vector<uint32_t>& values) const;

 private:
  pid_t pid_;
};

#endif  // CELLCHECK_LAB_REMOTE_MEMORY_H_
