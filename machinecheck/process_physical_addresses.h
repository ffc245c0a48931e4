// The physical addresses of the program's memory, learnt through the kernel
// seam: what the console front-end is handed so that it can say where an
// error is. A page that replaced one lost to an uncorrected memory error
// answers for the lost page: the errors found on it are that page's.
#ifndef CELLCHECK_MACHINECHECK_PROCESS_PHYSICAL_ADDRESSES_H_
#define CELLCHECK_MACHINECHECK_PROCESS_PHYSICAL_ADDRESSES_H_

#include "badmem/physical_addresses.h"
#include "machinecheck/memory_faults.h"
#include "seam/test_area.h"

class ProcessPhysicalAddresses : public PhysicalAddresses {
 public:
  explicit ProcessPhysicalAddresses(TestAreaMemory& memory,
                                    const MemoryFaultLog* faults = nullptr)
      : memory_(memory), faults_(faults) {}

  u64 of(const void* address) override {
    u64 lost;
    if (faults_ != nullptr && faults_->standsFor(address, &lost)) return lost;
    return memory_.physicalAddress(address);
  }

 private:
  TestAreaMemory& memory_;
  const MemoryFaultLog* faults_;
};

#endif  // CELLCHECK_MACHINECHECK_PROCESS_PHYSICAL_ADDRESSES_H_
