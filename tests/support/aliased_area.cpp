#include "tests/support/aliased_area.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

AliasedArea::AliasedArea(size_t pages) : fd_(-1), pages_(pages) {
  fd_ = memfd_create("aliased-area", 0);
  if (fd_ < 0 || ftruncate(fd_, static_cast<off_t>(size())) != 0) abort();
  void* p = mmap(nullptr, size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (p == MAP_FAILED) abort();
  base_ = static_cast<char*>(p);
}

AliasedArea::~AliasedArea() {
  munmap(base_, size());
  close(fd_);
}

void AliasedArea::alias(size_t page, size_t target) {
  void* p = mmap(base_ + page * kPageBytes, kPageBytes, PROT_READ | PROT_WRITE,
                 MAP_SHARED | MAP_FIXED, fd_,
                 static_cast<off_t>(target * kPageBytes));
  if (p == MAP_FAILED) abort();
}
