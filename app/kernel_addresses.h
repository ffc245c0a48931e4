// The physical addresses of the program's memory, learnt through the kernel
// seam: what app hands the console front-end so that it can say where an
// error is. A page that replaced one lost to an uncorrected memory error
// answers for the lost page: the errors found on it are that page's.
#ifndef CELLCHECK_APP_KERNEL_ADDRESSES_H_
#define CELLCHECK_APP_KERNEL_ADDRESSES_H_

#include <cstdint>

#include "badmem/physical_addresses.h"
#include "machinecheck/memory_faults.h"
#include "sysmem/kernel.h"

class KernelAddresses : public PhysicalAddresses {
 public:
  explicit KernelAddresses(Kernel& kernel,
                           const MemoryFaultLog* faults = nullptr)
      : kernel_(kernel), faults_(faults) {}

  u64 of(const void* address) override {
    u64 lost;
    if (faults_ != nullptr && faults_->standsFor(address, &lost)) return lost;
    const u64 frame = kernel_.pageFrame(address);
    if (frame == 0) return kUnknownAddress;
    const u64 pageBytes = kernel_.pageSize();
    return frame * pageBytes + reinterpret_cast<uintptr_t>(address) % pageBytes;
  }

 private:
  Kernel& kernel_;
  const MemoryFaultLog* faults_;
};

#endif  // CELLCHECK_APP_KERNEL_ADDRESSES_H_
