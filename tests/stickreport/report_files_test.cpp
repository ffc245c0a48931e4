// The report's files on a temporary folder that stands for the mounted
// partition: each write replaces the last complete file only once the new
// one is whole; the first failure ends all writing; a run never takes an
// older report's name.
#include "stickreport/report_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "base/small_file.h"
#include "tests/support/fake_kernel.h"
#include "tests/support/temp_folder.h"

namespace {

constexpr char kAt[] = "/run/reports";
// 2026-12-10 15:30:12 UTC.
constexpr time_t kStarted = 1796916612;

class ReportFilesTest : public testing::Test {
 protected:
  ReportFilesTest() {
    kernel.disks.push_back(FakeKernel::FakePartition{
        DiskPartition{"sdb3", "sdb", 3}, folder.path(), 1});
    EXPECT_EQ(kernel.mountFat("sdb3", kAt, true), 0);
  }

  std::string onDisk(const std::string& name) const {
    return readSmallFile(folder.path() + "/" + name);
  }
  bool there(const std::string& name) const {
    return access((folder.path() + "/" + name).c_str(), F_OK) == 0;
  }
  static std::function<void(ReportSink&)> text(const std::string& bytes) {
    return [bytes](ReportSink& sink) { sink.put(bytes); };
  }

  FakeKernel kernel;
  TempFolder folder{"report-files"};
};

TEST_F(ReportFilesTest, NamesThePairByMachineAndClock) {
  ReportFiles files(kernel, kAt);
  files.name("SN-0042", kStarted);
  EXPECT_EQ(files.base(), "SN-0042_2026-12-10_15-30-12");
  files.name("", kStarted);
  EXPECT_EQ(files.base(), "unknown_2026-12-10_15-30-12");
}

TEST_F(ReportFilesTest, NeverTakesAnOlderReportsName) {
  // An older run's pair, a page left alone, and a new file of a run that
  // was switched off mid-write: each name is taken.
  folder.write("SN-0042_2026-12-10_15-30-12.txt", "older run\n");
  folder.write("SN-0042_2026-12-10_15-30-12-2.html", "older page\n");
  folder.write("SN-0042_2026-12-10_15-30-12-3.txt.new", "half\n");
  ReportFiles files(kernel, kAt);
  files.name("SN-0042", kStarted);
  EXPECT_EQ(files.base(), "SN-0042_2026-12-10_15-30-12-4");
  ASSERT_EQ(files.write(".txt", text("this run\n")), 0);
  EXPECT_EQ(onDisk("SN-0042_2026-12-10_15-30-12.txt"), "older run\n");
  EXPECT_EQ(onDisk("SN-0042_2026-12-10_15-30-12-4.txt"), "this run\n");
}

TEST_F(ReportFilesTest, ANewFileReplacesTheLastOnlyWhenWhole) {
  ReportFiles files(kernel, kAt);
  files.name("SN-0042", kStarted);
  const std::string name = files.base() + ".txt";
  ASSERT_EQ(files.write(".txt", text("first\n")), 0);
  // The new file is written beside the old one, then renamed over it.
  ASSERT_EQ(files.write(".txt",
                        [&](ReportSink& sink) {
                          EXPECT_EQ(onDisk(name), "first\n");
                          sink.put("second\n");
                        }),
            0);
  EXPECT_EQ(onDisk(name), "second\n");
  EXPECT_FALSE(there(name + ".new"));
  EXPECT_EQ(kernel.created.size(), 2u);
  for (const std::string& path : kernel.created) {
    EXPECT_EQ(path, folder.path() + "/" + name + ".new");
  }
}

TEST_F(ReportFilesTest, AWriteThatFailsMidwayKeepsTheLastReportAndEndsWriting) {
  ReportFiles files(kernel, kAt);
  files.name("SN-0042", kStarted);
  const std::string name = files.base() + ".txt";
  ASSERT_EQ(files.write(".txt", text("complete\n")), 0);
  // The partition fills up in the middle of the next one: more than a
  // piece is written, so that part of it reached the disk.
  kernel.bytesBeforeWriteFails = ReportFiles::kPieceBytes + 100;
  const std::string big(3 * ReportFiles::kPieceBytes, 'x');
  EXPECT_EQ(files.write(".txt", text(big)), ENOSPC);
  EXPECT_TRUE(files.failed());
  EXPECT_EQ(onDisk(name), "complete\n");
  // No more writes, not even when the disk would take them.
  kernel.bytesBeforeWriteFails = -1;
  const size_t created = kernel.created.size();
  EXPECT_EQ(files.write(".html", text("<p>")), ENOSPC);
  EXPECT_EQ(kernel.created.size(), created);
}

TEST_F(ReportFilesTest, AStickPulledOutEndsWriting) {
  ReportFiles files(kernel, kAt);
  files.name("SN-0042", kStarted);
  ASSERT_EQ(kernel.unmount(kAt), 0);  // gone with its disk
  EXPECT_NE(files.write(".txt", text("x")), 0);
  EXPECT_TRUE(files.failed());
}

}  // namespace
