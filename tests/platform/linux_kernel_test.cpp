#include "platform/linux_kernel.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/small_file.h"
#include "tests/support/temp_folder.h"

namespace {

constexpr u64 kHuge = u64{2} << 20;

TEST(InnerHugePagesTest, KeepsOnlyWholeAlignedPages) {
  struct Case {
    uintptr_t start;
    u64 bytes;
    uintptr_t begin;
    u64 length;
  };
  for (Case c : {
           Case{10 * kHuge, 4 * kHuge, 10 * kHuge, 4 * kHuge},
           // Ragged at both ends: the pages inside.
           Case{10 * kHuge + 4096, 4 * kHuge, 11 * kHuge, 3 * kHuge},
           Case{10 * kHuge - 4096, 4 * kHuge, 10 * kHuge, 3 * kHuge},
           // Across a boundary but no whole page inside.
           Case{10 * kHuge - 4096, kHuge, 0, 0},
           Case{10 * kHuge + 4096, kHuge - 8192, 0, 0},
       }) {
    const HugePageRange range = innerHugePages(c.start, c.bytes);
    EXPECT_EQ(range.begin, c.begin) << c.start << " " << c.bytes;
    EXPECT_EQ(range.length, c.length) << c.start << " " << c.bytes;
  }
}

// True when the mapping that holds `p` was advised for huge pages (its
// VmFlags in /proc/self/smaps carry "hg").
bool advisedForHugePages(const void* p) {
  FILE* smaps = fopen("/proc/self/smaps", "r");
  if (smaps == nullptr) return false;
  const uintptr_t address = reinterpret_cast<uintptr_t>(p);
  char line[512];
  bool inside = false;
  bool advised = false;
  while (fgets(line, sizeof line, smaps) != nullptr) {
    uintptr_t start;
    uintptr_t end;
    if (sscanf(line, "%" SCNxPTR "-%" SCNxPTR " ", &start, &end) == 2) {
      inside = start <= address && address < end;
    } else if (inside && std::string(line).rfind("VmFlags:", 0) == 0) {
      advised = std::string(line).find(" hg") != std::string::npos;
    }
  }
  fclose(smaps);
  return advised;
}

// Taking a test area only maps memory (nothing is changed in the kernel), so
// the real backend can be asked for one here.
TEST(AllocateAreaTest, AsksForHugePagesOnTheWholePagesInside) {
  if (access("/sys/kernel/mm/transparent_hugepage/enabled", F_OK) != 0) {
    GTEST_SKIP() << "kernel without transparent huge pages";
  }
  constexpr u64 kBytes = 8 * kHuge + 4096;
  char* area = LinuxKernel().allocateArea(kBytes);
  ASSERT_NE(area, nullptr);
  const HugePageRange inner =
      innerHugePages(reinterpret_cast<uintptr_t>(area), kBytes);
  ASSERT_NE(inner.length, 0u);
  const char* begin = reinterpret_cast<const char*>(inner.begin);
  EXPECT_TRUE(advisedForHugePages(begin));
  EXPECT_TRUE(advisedForHugePages(begin + inner.length - 1));
  // The ragged ends, where there are any, stay on small pages.
  if (begin != area) {
    EXPECT_FALSE(advisedForHugePages(area));
  }
  if (begin + inner.length != area + kBytes) {
    EXPECT_FALSE(advisedForHugePages(area + kBytes - 1));
  }
  munmap(area, kBytes);
}

// Replacing a page works on any page of a private mapping: here a page that
// was never poisoned (no test poisons a page of the host) stands for one the
// kernel took away. Its neighbours keep their data, and the replaced page
// is usable memory of the same mapping.
TEST(ReplacePoisonedPageTest, PutsZerosWhereThePageWasAndNothingElse) {
  LinuxKernel kernel;
  const u64 page = kernel.pageSize();
  for (const bool locked : {false, true}) {
    char* block =
        static_cast<char*>(mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE,
                                MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(block, MAP_FAILED);
    memset(block, 0x5a, 3 * page);
    if (locked && mlock(block, 3 * page) != 0) {
      munmap(block, 3 * page);
      GTEST_SKIP() << "this process may not lock memory";
    }
    ASSERT_TRUE(kernel.replaceLostPage(block + page, page, locked)) << locked;
    for (u64 i = 0; i < 3 * page; ++i) {
      const char wanted = i >= page && i < 2 * page ? 0 : 0x5a;
      ASSERT_EQ(block[i], wanted) << "byte " << i << (locked ? " locked" : "");
    }
    block[page + 8] = 7;
    EXPECT_EQ(block[page + 8], 7);
    munmap(block, 3 * page);
  }
}

// The image's files are dropped to give their RAM to the test area: the
// bytes counted are what their files took, a folder's or a single file's.
TEST(RemoveFilesTest, CountsTheBytesItFreesAndLeavesNothing) {
  const TempFolder temp("platform-files");
  ASSERT_TRUE(temp.write("lib/modules/6.1/modules.dep", "abc\n"));
  ASSERT_TRUE(
      temp.write("lib/modules/6.1/kernel/e1000.ko", std::string(10000, 'x')));
  ASSERT_TRUE(temp.write("bin/busybox", std::string(300, 'b')));
  LinuxKernel kernel;
  const std::string modules = temp.path() + "/lib/modules";
  const std::string busybox = temp.path() + "/bin/busybox";
  EXPECT_EQ(kernel.fileBytes(modules), 10004u);
  EXPECT_EQ(kernel.removeFiles(modules), 10004u);
  EXPECT_NE(access(modules.c_str(), F_OK), 0);
  EXPECT_EQ(kernel.removeFiles(busybox), 300u);
  EXPECT_NE(access(busybox.c_str(), F_OK), 0);
  EXPECT_EQ(kernel.removeFiles(busybox), 0u) << "gone already";
}

// The lease script's file: a reader finds a whole old file or a whole new
// one, and nothing is left beside it. And the links of /sys read exactly as
// written, with no byte of the buffer behind them.
TEST(ImageFilesTest, AFileIsReplacedWholeAndALinkReadsAsWritten) {
  const TempFolder temp("platform-image-files");
  LinuxKernel kernel;
  const std::string lease = temp.path() + "/eth0";
  kernel.replaceFile(lease, "interface=eth0\naddress=10.0.0.2\n");
  kernel.replaceFile(lease, "interface=eth0\n");
  EXPECT_EQ(readSmallFile(lease), "interface=eth0\n");
  EXPECT_EQ(folderEntries(temp.path()), std::vector<std::string>{"eth0"});
  kernel.replaceFile(temp.path() + "/missing/eth1", "x");
  EXPECT_EQ(folderEntries(temp.path()), std::vector<std::string>{"eth0"});
  kernel.removeFile(lease);
  kernel.removeFile(lease);  // gone already: nothing happens
  EXPECT_TRUE(folderEntries(temp.path()).empty());

  const std::string target = "../../devices/pci0000:00/i2c-0/0-0052";
  const std::string link = temp.path() + "/device";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  ASSERT_TRUE(temp.write("name", "spd5118\n"));
  EXPECT_EQ(kernel.linkTarget(link), target);
  EXPECT_EQ(kernel.linkTarget(temp.path() + "/name"), "") << "not a link";
  EXPECT_EQ(kernel.linkTarget(temp.path() + "/none"), "") << "nothing there";
}

// Reading this process's own page map changes nothing in the kernel.
TEST(PhysicalAddressTest, AddressesOfThisProcessAreConsistent) {
  LinuxKernel kernel;
  const u64 page = kernel.pageSize();
  char* block =
      static_cast<char*>(mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(block, MAP_FAILED);
  block[0] = 1;
  block[page] = 1;
  // The third page is never touched: not in RAM, no address.
  const u64 first = kernel.physicalAddress(block);
  if (first == kUnknownAddress) {
    munmap(block, 3 * page);
    GTEST_SKIP() << "the kernel hides frame numbers from this process (no "
                    "CAP_SYS_ADMIN)";
  }
  EXPECT_EQ(first % page, 0u);
  EXPECT_EQ(kernel.physicalAddress(block + page - 1), first + page - 1);
  const u64 second = kernel.physicalAddress(block + page);
  EXPECT_NE(second, kUnknownAddress);
  EXPECT_NE(second, first);
  EXPECT_EQ(kernel.physicalAddress(block + 2 * page), kUnknownAddress);
  // No page of it was lost: none is named as such, whatever its state.
  for (u64 k = 0; k < 3; ++k) {
    EXPECT_EQ(kernel.lostPhysicalAddress(block + k * page), kUnknownAddress)
        << k;
  }
  munmap(block, 3 * page);
}

// A pseudo-terminal stands in for the serial port. Opened through the
// seam, the port sends each line feed as CR LF even when it was left
// without that; a port that takes nothing (nobody reads the other end)
// fails a write after a bounded wait instead of holding the program.
TEST(SerialPortTest, LinesArriveWithCrLfAndAStuckPortFailsInsteadOfBlocking) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string device = ptsname(master);
  {
    const int slave = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    termios raw{};
    ASSERT_EQ(tcgetattr(slave, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);
    close(slave);
  }
  LinuxKernel kernel;
  int error = -1;
  std::unique_ptr<SerialLine> port = kernel.openSerialPort(device, &error);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(error, 0);
  ASSERT_TRUE(port->write("\n<14>1 - - cellcheck - progress - 3 %\n"));
  char got[256];
  const ssize_t length = read(master, got, sizeof got);
  ASSERT_GT(length, 0);
  EXPECT_EQ(std::string(got, static_cast<size_t>(length)),
            "\r\n<14>1 - - cellcheck - progress - 3 %\r\n");

  // Far more than a terminal's buffer holds, and nobody reads it.
  EXPECT_FALSE(port->write(std::string(1 << 20, 'x')));
  port.reset();
  close(master);

  EXPECT_EQ(kernel.openSerialPort("/nonexistent/ttyS0", &error), nullptr);
  EXPECT_EQ(error, ENOENT);
}

}  // namespace
