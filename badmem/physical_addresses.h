// Where this process's memory lies in physical memory: what the console
// front-end asks when an error is found, so that it can name the bad words
// by address. The program answers it through the kernel seam; tests answer
// it with chosen addresses.
#ifndef CELLCHECK_BADMEM_PHYSICAL_ADDRESSES_H_
#define CELLCHECK_BADMEM_PHYSICAL_ADDRESSES_H_

#include "base/types.h"
#include "base/unknown_address.h"

class PhysicalAddresses {
 public:
  virtual ~PhysicalAddresses() = default;
  // The physical address of the byte at `address` of this process, or
  // kUnknownAddress when it cannot be known. Never a guess, and never an
  // allocation: it is asked on the error path.
  virtual u64 of(const void* address) = 0;
};

#endif  // CELLCHECK_BADMEM_PHYSICAL_ADDRESSES_H_
