// The processors role on Linux: the CPUs this process may run on, a thread
// kept on one, and the memory node of a stretch of memory (mbind and
// move_pages, without libnuma).
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux_calls.h"
#include "platform/linux_kernel.h"

std::vector<unsigned> LinuxKernel::allowedCpus() {
  std::vector<unsigned> cpus;
  // Room for far more CPUs than any machine has.
  constexpr size_t kMaxCpus = 8192;
  cpu_set_t* set = CPU_ALLOC(kMaxCpus);
  if (set == nullptr) return cpus;
  const size_t bytes = CPU_ALLOC_SIZE(kMaxCpus);
  if (sched_getaffinity(0, bytes, set) == 0) {
    for (unsigned cpu = 0; cpu < kMaxCpus; ++cpu) {
      if (CPU_ISSET_S(cpu, bytes, set)) cpus.push_back(cpu);
    }
  }
  CPU_FREE(set);
  return cpus;
}

int LinuxKernel::pinThread(unsigned cpu) {
  const size_t count = cpu + 1;
  cpu_set_t* set = CPU_ALLOC(count);
  if (set == nullptr) return ENOMEM;
  const size_t bytes = CPU_ALLOC_SIZE(count);
  CPU_ZERO_S(bytes, set);
  CPU_SET_S(cpu, bytes, set);
  // The thread's own id: 0 would be the same thread, but says it plainly.
  const int result = errorOf(
      sched_setaffinity(static_cast<pid_t>(syscall(SYS_gettid)), bytes, set));
  CPU_FREE(set);
  return result;
}

namespace {

// The memory policies of mbind, from the kernel's uapi (the C library has
// no wrapper without libnuma).
constexpr int kPolicyPreferred = 1;
constexpr unsigned kMaxNodes = 1024;

}  // namespace

int LinuxKernel::placeOnNode(void* begin, u64 bytes, unsigned node) {
  if (node >= kMaxNodes) return EINVAL;
  unsigned long mask[kMaxNodes / (8 * sizeof(unsigned long))] = {};
  mask[node / (8 * sizeof(unsigned long))] =
      1UL << (node % (8 * sizeof(unsigned long)));
  return errorOf(static_cast<int>(syscall(
      SYS_mbind, begin, bytes, kPolicyPreferred, mask, kMaxNodes + 1, 0)));
}

int LinuxKernel::nodeOfPage(const void* address) {
  // move_pages with no nodes given only asks where each page is.
  void* pages[1] = {reinterpret_cast<void*>(
      reinterpret_cast<uintptr_t>(address) & ~(pageBytes_ - 1))};
  int status[1] = {-1};
  if (syscall(SYS_move_pages, 0, 1, pages, nullptr, status, 0) != 0) {
    return -1;
  }
  return status[0] < 0 ? -1 : status[0];
}
