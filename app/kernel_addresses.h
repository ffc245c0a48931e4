// The physical addresses of the program's memory, learnt through the kernel
// seam: what app hands the console front-end so that it can say where an
// error is.
#ifndef CELLCHECK_APP_KERNEL_ADDRESSES_H_
#define CELLCHECK_APP_KERNEL_ADDRESSES_H_

#include <cstdint>

#include "badmem/physical_addresses.h"
#include "sysmem/kernel.h"

class KernelAddresses : public PhysicalAddresses {
 public:
  explicit KernelAddresses(Kernel& kernel) : kernel_(kernel) {}

  u64 of(const void* address) override {
    const u64 frame = kernel_.pageFrame(address);
    if (frame == 0) return kUnknownAddress;
    const u64 pageBytes = kernel_.pageSize();
    return frame * pageBytes + reinterpret_cast<uintptr_t>(address) % pageBytes;
  }

 private:
  Kernel& kernel_;
};

#endif  // CELLCHECK_APP_KERNEL_ADDRESSES_H_
