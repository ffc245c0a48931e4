// The test area asks for huge pages: the whole pages inside a range are
// advised, the partial pages at its ends are not, and the tester advises its
// banks when it is handed an area.
#include "tester/huge_pages.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <string>

#include "tests/support/recording_tester.h"

namespace {

constexpr size_t kAreaBytes = 8 << 20;

bool kernelHasHugePages() {
  return access("/sys/kernel/mm/transparent_hugepage/enabled", F_OK) == 0;
}

// The VmFlags line of the mapping that holds `p`.
std::string vmFlagsAt(const void* p) {
  FILE* smaps = fopen("/proc/self/smaps", "r");
  if (smaps == nullptr) return "";
  const uintptr_t address = reinterpret_cast<uintptr_t>(p);
  char line[512];
  bool inside = false;
  std::string flags;
  while (fgets(line, sizeof line, smaps) != nullptr) {
    uintptr_t start;
    uintptr_t end;
    if (sscanf(line, "%" SCNxPTR "-%" SCNxPTR " ", &start, &end) == 2) {
      inside = start <= address && address < end;
    } else if (inside && std::string(line).rfind("VmFlags:", 0) == 0) {
      flags = line;
    }
  }
  fclose(smaps);
  return flags;
}

bool advised(const void* p) {
  return vmFlagsAt(p).find(" hg") != std::string::npos;
}

class HugePagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kernelHasHugePages()) GTEST_SKIP() << "kernel without huge pages";
    void* p = mmap(nullptr, kAreaBytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(p, MAP_FAILED);
    area_ = static_cast<char*>(p);
  }
  void TearDown() override {
    if (area_ != nullptr) munmap(area_, kAreaBytes);
  }

  char* area_ = nullptr;
};

TEST_F(HugePagesTest, AdvisesTheWholePagesInsideTheRangeOnly) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  adviseHugePages(area_ + 16, kAreaBytes - 32);

  EXPECT_FALSE(advised(area_));
  EXPECT_TRUE(advised(area_ + page));
  EXPECT_TRUE(advised(area_ + kAreaBytes - page - 1));
  EXPECT_FALSE(advised(area_ + kAreaBytes - 1));
}

TEST_F(HugePagesTest, RangeWithoutAWholePageChangesNothing) {
  adviseHugePages(area_ + 16, 4000);
  EXPECT_FALSE(advised(area_));
}

TEST_F(HugePagesTest, TesterAdvisesItsBanksBeforeThePreTest) {
  RecordingTester tester;
  ASSERT_EQ(tester.initNoAlloc(kAreaBytes, area_), kInitOk);
  EXPECT_TRUE(advised(tester.bankA + 1024));
  EXPECT_TRUE(advised(tester.bankB + 1024));
}

}  // namespace
