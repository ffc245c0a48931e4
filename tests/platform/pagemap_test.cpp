#include "platform/pagemap.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr u64 kPage = 4096;
constexpr u64 kPresent = u64{1} << 63;
constexpr u64 kSwapped = u64{1} << 62;
// Flags the kernel keeps above the frame: soft-dirty, exclusive, file.
constexpr u64 kOtherFlags = (u64{1} << 55) | (u64{1} << 56) | (u64{1} << 61);

// A pagemap file with these entries for pages 0, 1, 2, ...
class PagemapFile {
 public:
  explicit PagemapFile(const std::vector<u64>& entries) {
    char name[] = "/tmp/cellcheck-pagemap-XXXXXX";
    const int fd = mkstemp(name);
    path_ = name;
    EXPECT_EQ(write(fd, entries.data(), entries.size() * 8),
              static_cast<ssize_t>(entries.size() * 8));
    close(fd);
  }
  ~PagemapFile() { unlink(path_.c_str()); }
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

const void* at(u64 page, u64 offset) {
  return reinterpret_cast<const void*>(page * kPage + offset);
}

TEST(PagemapTest, GivesTheFrameOfPagesInRamAndNothingElse) {
  PagemapFile file({
      kPresent | 0x12345,                // page 0: in RAM
      kPresent | kOtherFlags | 0x7abcd,  // page 1: flags beside the frame
      kPresent,                          // page 2: frame hidden (no right)
      kSwapped | 0x4242,                 // page 3: a swap entry, no frame
      0,                                 // page 4: never touched
      kPresent | ((u64{1} << 55) - 1),   // page 5: the largest frame
  });
  Pagemap pagemap;
  ASSERT_TRUE(pagemap.open(file.path()));
  struct Case {
    u64 page;
    u64 offset;
    u64 frame;
  };
  for (Case c : {Case{0, 0, 0x12345}, Case{0, 4095, 0x12345},
                 Case{1, 8, 0x7abcd}, Case{2, 0, 0}, Case{3, 0, 0},
                 Case{4, 0, 0}, Case{5, 0, (u64{1} << 55) - 1},
                 Case{6, 0, 0} /* past the end of the file */}) {
    EXPECT_EQ(pagemap.frameOf(at(c.page, c.offset), kPage), c.frame)
        << "page " << c.page;
  }
}

// The entry a 6.1 kernel left for a page of the test area after a machine
// check at guest-physical 0x6019780 (QEMU's mce command): not in RAM,
// swap-style, soft-dirty, kind 26, frame 0x6019. The frame's flags had the
// poison bit (19) among others.
TEST(PagemapTest, NamesTheFrameOfAPageTheKernelTookAway) {
  struct Case {
    u64 entry;
    u64 frame;
  };
  for (Case c : {
           Case{0x40800000000c033a, 0x6019},
           Case{kSwapped | (u64{0x123456} << 5) | 26, 0x123456},
           // A page in RAM is not a removed page, whatever its frame.
           Case{kPresent | 0x6019, 0},
           Case{kPresent | kSwapped | 0xc033a, 0},
           // Never touched, or unreadable.
           Case{0, 0},
       }) {
    EXPECT_EQ(frameOfRemovedPageEntry(c.entry), c.frame) << std::hex << c.entry;
  }
  EXPECT_TRUE(pageFlagsSayPoisoned(0x40008501e));
  EXPECT_FALSE(pageFlagsSayPoisoned(0x40000501e));
  EXPECT_FALSE(pageFlagsSayPoisoned(0));
}

TEST(PagemapTest, AnUnreadablePagemapKnowsNoFrame) {
  Pagemap pagemap;
  EXPECT_FALSE(pagemap.open("/nonexistent/pagemap"));
  EXPECT_EQ(pagemap.frameOf(at(0, 0), kPage), 0u);
}

}  // namespace
