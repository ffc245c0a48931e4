#include "sysmem/early_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(MemtestPatternsTest, ReadsTheCountAsTheKernelDoes) {
  struct Case {
    const char* commandLine;
    unsigned patterns;
  };
  for (Case c : {
           Case{"quiet console=ttyS0", 0},
           Case{"quiet memtest=3 console=ttyS0", 3},
           Case{"memtest", 17},
           Case{"memtest=0x11", 17},
           Case{"memtest=3 memtest=0", 0},     // the last one wins
           Case{"memtest=2 memtest=junk", 2},  // not a number: ignored
           Case{"memtest= memtest=-1", 0},
           Case{"nomemtest=5 xmemtest=4", 0},
           Case{"memtest=4\n", 4},
       }) {
    EXPECT_EQ(memtestPatterns(c.commandLine), c.patterns) << c.commandLine;
  }
}

// Lines as Debian's 6.1 kernel logs them with memtest=3 in a VM of 4 GiB.
std::string pass(const char* pattern) {
  const std::string p = pattern;
  return "<6>[    0.000000]   0x0000000000100000 - 0x0000000031000000 "
         "pattern " +
         p +
         "\n"
         "<6>[    0.000000]   0x0000000034411000 - 0x00000000bff7c000 "
         "pattern " +
         p +
         "\n"
         "<6>[    0.000000]   0x0000000100000000 - 0x000000013fffd000 "
         "pattern " +
         p + "\n";
}

const std::string kBefore =
    "<5>[    0.000000] Linux version 6.1.0-57-amd64\n"
    "<6>[    0.000000] Command line: quiet memtest=3\n";
const std::string kHeader = "<6>[    0.000000] early_memtest: # of tests: 3\n";
const std::string kAfter =
    "<6>[    0.000000] Zone ranges:\n"
    "<6>[    0.291946] Dentry cache hash table entries: 16384 (order: 5, "
    "131072 bytes, linear)\n";
const std::string kBad =
    "<6>[    0.000000]   5555555555555555 bad mem addr 0x0000000012345008 - "
    "0x0000000012345010 reserved\n";

TEST(EarlyCheckTest, ReadsTheOutcomeFromTheLog) {
  const std::string passes = pass("5555555555555555") +
                             pass("ffffffffffffffff") +
                             pass("0000000000000000");
  struct Case {
    const char* name;
    std::string commandLine;
    std::string log;
    EarlyCheck::State state;
    unsigned patterns;
    unsigned passes;
    size_t bad;
  };
  for (const Case& c : std::vector<Case>{
           {"not asked for", "quiet", kBefore + kAfter, EarlyCheck::State::kOff,
            0, 0, 0},
           {"every pass, nothing bad", "quiet memtest=3",
            kBefore + kHeader + passes + kAfter, EarlyCheck::State::kPassed, 3,
            3, 0},
           {"the early lines gone from the ring", "quiet memtest=3",
            pass("0000000000000000") + kAfter, EarlyCheck::State::kLost, 3, 0,
            0},
           {"an empty log", "memtest=3", "", EarlyCheck::State::kLost, 3, 0, 0},
           {"a pass missing", "memtest=3",
            kHeader + pass("5555555555555555") + pass("ffffffffffffffff"),
            EarlyCheck::State::kIncomplete, 3, 2, 0},
           {"bad memory in the first pass", "memtest=3",
            kHeader + pass("5555555555555555") + kBad +
                pass("ffffffffffffffff") + pass("0000000000000000") + kAfter,
            EarlyCheck::State::kFoundBad, 3, 3, 1},
           {"without timestamps", "memtest=1",
            "<6>early_memtest: # of tests: 1\n"
            "<6>  0x0000000000100000 - 0x0000000031000000 pattern "
            "0000000000000000\n",
            EarlyCheck::State::kPassed, 1, 1, 0},
       }) {
    const EarlyCheck check = readEarlyCheck(c.commandLine, c.log);
    EXPECT_EQ(check.state, c.state) << c.name;
    EXPECT_EQ(check.patterns, c.patterns) << c.name;
    EXPECT_EQ(check.passes, c.passes) << c.name;
    EXPECT_EQ(check.bad.size(), c.bad) << c.name;
  }
}

TEST(EarlyCheckTest, BadRangesAreKeptAsLogged) {
  const EarlyCheck check = readEarlyCheck(
      "memtest=1", kHeader + pass("0000000000000000") + kBad +
                       "<6>[    0.000000]   0000000000000000 bad mem addr "
                       "0x00000000bff00000 - 0x00000000bff01000 reserved\n");
  ASSERT_EQ(check.bad.size(), 2u);
  EXPECT_EQ(check.bad[0].begin, 0x12345008u);
  EXPECT_EQ(check.bad[0].end, 0x12345010u);
  EXPECT_EQ(check.bad[1].begin, 0xbff00000u);
  EXPECT_EQ(check.bad[1].end, 0xbff01000u);
}

// Lines the kernel never writes: each is either read soundly or not at all,
// never half (a range shown but not recorded, a number wrapped).
TEST(EarlyCheckTest, LinesOutsideTheKernelsFormatAreNotTaken) {
  const std::string onePass = pass("0000000000000000");
  auto badLine = [](const char* begin, const char* end) {
    return std::string("<6>[    0.000000]   5555555555555555 bad mem addr ") +
           begin + " - " + end + " reserved\n";
  };
  struct Case {
    const char* name;
    std::string log;
    EarlyCheck::State state;
    unsigned patterns;
    size_t bad;
  };
  for (const Case& c : std::vector<Case>{
           {"an empty bad range",
            kHeader + onePass +
                badLine("0x0000000012345000", "0x0000000012345000"),
            EarlyCheck::State::kIncomplete, 3, 0},
           {"an inverted bad range",
            kHeader + onePass +
                badLine("0x0000000012346000", "0x0000000012345000"),
            EarlyCheck::State::kIncomplete, 3, 0},
           {"an end of 17 hex digits",
            kHeader + onePass +
                badLine("0x0000000012345000", "0x10000000012346000"),
            EarlyCheck::State::kIncomplete, 3, 0},
           {"an end past the physical address space",
            kHeader + onePass +
                badLine("0x0000000012345000", "0x0010000000001000"),
            EarlyCheck::State::kIncomplete, 3, 0},
           {"a signed begin",
            kHeader + onePass +
                badLine("0x-000000012345000", "0x0000000012346000"),
            EarlyCheck::State::kIncomplete, 3, 0},
           {"a bad range at the top of the address space",
            kHeader + onePass +
                badLine("0x000ffffffffff000", "0x0010000000000000"),
            EarlyCheck::State::kFoundBad, 3, 1},
           {"a pattern of 17 hex digits", kHeader + pass("10000000000000000"),
            EarlyCheck::State::kIncomplete, 3, 0},
           {"a count past an unsigned int",
            "<6>[    0.000000] early_memtest: # of tests: 4294967296\n" +
                onePass,
            EarlyCheck::State::kLost, 3, 0},
           {"the largest count",
            "<6>[    0.000000] early_memtest: # of tests: 4294967295\n" +
                onePass,
            EarlyCheck::State::kIncomplete, 4294967295u, 0},
           {"a count of 0",
            "<6>[    0.000000] early_memtest: # of tests: 0\n" + onePass,
            EarlyCheck::State::kLost, 3, 0},
           {"a signed count",
            "<6>[    0.000000] early_memtest: # of tests: -1\n" + onePass,
            EarlyCheck::State::kLost, 3, 0},
       }) {
    const EarlyCheck check = readEarlyCheck("memtest=3", c.log);
    EXPECT_EQ(check.state, c.state) << c.name;
    EXPECT_EQ(check.patterns, c.patterns) << c.name;
    EXPECT_EQ(check.bad.size(), c.bad) << c.name;
    for (const EarlyCheck::Range& range : check.bad) {
      EXPECT_LT(range.begin, range.end) << c.name;
    }
  }
}

}  // namespace
