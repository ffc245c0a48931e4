// Memory with an address-decoder fault: two pages of an area that share one
// physical page, so a write through one address changes the word at the
// other. Built from a memfd mapped page by page.
#ifndef CELLCHECK_TESTS_SUPPORT_ALIASED_AREA_H_
#define CELLCHECK_TESTS_SUPPORT_ALIASED_AREA_H_

#include <cstddef>
#include <cstdint>

class AliasedArea {
 public:
  static constexpr size_t kPageBytes = 4096;

  // An area of `pages` pages, each its own physical page to begin with.
  explicit AliasedArea(size_t pages);
  ~AliasedArea();
  AliasedArea(const AliasedArea&) = delete;
  AliasedArea& operator=(const AliasedArea&) = delete;

  // From now on page `page` is the same physical page as page `target`: it
  // shows target's contents, and writes to either show in both.
  void alias(size_t page, size_t target);

  char* bytes() const { return base_; }
  uint32_t* words() const { return reinterpret_cast<uint32_t*>(base_); }
  size_t size() const { return pages_ * kPageBytes; }

 private:
  int fd_;
  size_t pages_;
  char* base_;
};

#endif  // CELLCHECK_TESTS_SUPPORT_ALIASED_AREA_H_
