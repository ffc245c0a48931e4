#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/console_ring.h"
#include "base/cprintf.h"
#include "base/fixed_table.h"
#include "base/hex.h"
#include "base/small_file.h"
#include "base/text.h"
#include "base/wording.h"
#include "tests/support/blocked_console.h"
#include "tests/support/temp_folder.h"

namespace {

int signalsTaken = 0;
void takeSignal(int) { ++signalsTaken; }

// A signal whose handler does not ask for restarts interrupts a console
// write that waits on a full serial line: the write fails (EINTR) or comes
// back short, and the line must still arrive whole.
TEST(ConsoleTest, ALineInterruptedWhileItWaitsArrivesWhole) {
  struct Case {
    const char* what;
    size_t room;    // what the full line still takes before the signal
    size_t length;  // of the line
  };
  struct sigaction take = {};
  take.sa_handler = takeSignal;
  struct sigaction before = {};
  ASSERT_EQ(sigaction(SIGUSR1, &take, &before), 0);
  for (Case c : {Case{"nothing written before the signal", 0, 80},
                 Case{"part written before the signal", 100, 4096 + 50},
                 Case{"longer than the pipe holds", 0, 100000}}) {
    SCOPED_TRACE(c.what);
    std::string line;
    for (size_t i = 0; line.size() < c.length; ++i) {
      line += std::to_string(i) + ' ';
    }
    line.resize(c.length);
    const int taken = signalsTaken;
    BlockedConsole console(c.room);
    siginfo_t info = {};
    info.si_signo = SIGUSR1;
    info.si_code = SI_QUEUE;
    const std::string arrived =
        console.run([&] { cprintf("%s\n\r", line.c_str()); }, info);
    EXPECT_TRUE(console.interrupted());
    EXPECT_EQ(signalsTaken, taken + 1);
    EXPECT_EQ(arrived.size(), line.size() + 2);
    EXPECT_TRUE(arrived == line + "\n\r") << arrived.substr(0, 200);
  }
  sigaction(SIGUSR1, &before, nullptr);
}

TEST(FixedTableTest, KeepsWhatFitsAndCountsTheRest) {
  FixedTable<int, 3> table;
  EXPECT_EQ(table.size(), 0);
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(table.add(i * 10), i <= 3);
  EXPECT_TRUE(table.full());
  EXPECT_EQ(table.size(), 3);
  EXPECT_EQ(table.notKept(), 2u);
  EXPECT_EQ(std::vector<int>(table.begin(), table.end()),
            (std::vector<int>{10, 20, 30}));
  table[1] = 21;
  EXPECT_EQ(table[1], 21);
  table.clear();
  EXPECT_EQ(table.size(), 0);
  EXPECT_EQ(table.notKept(), 0u);
  EXPECT_TRUE(table.add(7));
}

TEST(HexTest, WritesWhatEveryMessageWrites) {
  struct Case {
    u64 value;
    const char* text;
  };
  for (Case c :
       {Case{0, "0x0"}, Case{0x2000, "0x2000"}, Case{0x19fd17ac, "0x19fd17ac"},
        Case{~u64{0}, "0xffffffffffffffff"}}) {
    char text[kHexBytes];
    EXPECT_EQ(formatHex(c.value, text), strlen(c.text));
    EXPECT_STREQ(text, c.text);
    EXPECT_EQ(hex(c.value), c.text);
  }
}

TEST(SmallFileTest, ReadsWholeFilesLinesAndFolders) {
  const TempFolder temp("small-file");
  ASSERT_TRUE(temp.write("release", "6.1.0-test-amd64 \n"));
  ASSERT_TRUE(temp.write("big", std::string(10000, 'x') + "\n"));
  ASSERT_TRUE(temp.write("folder/b", ""));
  ASSERT_TRUE(temp.write("folder/a", ""));
  const std::string at = temp.path() + "/";
  EXPECT_EQ(readSmallFile(at + "release"), "6.1.0-test-amd64 \n");
  EXPECT_EQ(readSmallFile(at + "big").size(), 10001u);
  EXPECT_EQ(readFileLine(at + "release"), "6.1.0-test-amd64");
  EXPECT_EQ(readSmallFile(at + "missing"), "");
  EXPECT_EQ(folderEntries(at + "folder"), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(folderEntries(at + "missing").empty());

  // Without allocating: cut to the buffer, always terminated.
  char line[8];
  ASSERT_TRUE(readFileLine((at + "release").c_str(), line, sizeof line));
  EXPECT_STREQ(line, "6.1.0-t");
  char whole[64];
  ASSERT_TRUE(readFileLine((at + "release").c_str(), whole, sizeof whole));
  EXPECT_STREQ(whole, "6.1.0-test-amd64");
  EXPECT_FALSE(readFileLine((at + "missing").c_str(), whole, sizeof whole));
  EXPECT_STREQ(whole, "");
}

}  // namespace

namespace {

std::string drained(ConsoleRing& ring, u64* lost) {
  std::string text;
  ring.drain(
      [&text](const char* piece, size_t length) { text.append(piece, length); },
      lost);
  return text;
}

TEST(ConsoleRingTest, HandsOnWhatWasKeptInOrderAcrossItsEnd) {
  std::unique_ptr<ConsoleRing> ring(new ConsoleRing);
  u64 lost = 99;
  const std::string first(ConsoleRing::kBytes - 10, 'a');
  ring->keep(first.data(), first.size());
  EXPECT_EQ(drained(*ring, &lost), first);
  EXPECT_EQ(lost, 0u);
  // This one wraps around the ring's end.
  ring->keep("0123456789abcdefghij\n", 21);
  EXPECT_EQ(drained(*ring, &lost), "0123456789abcdefghij\n");
  EXPECT_EQ(drained(*ring, &lost), "");
}

TEST(ConsoleRingTest, WhenLappedKeepsTheLastWholeLinesAndCountsTheLost) {
  std::unique_ptr<ConsoleRing> ring(new ConsoleRing);
  // 100,000 lines of 10 bytes: far more than the ring holds.
  char line[32];  // room for any int, as the compiler checks
  for (int i = 0; i < 100000; ++i) {
    snprintf(line, sizeof line, "line%05d\n", i);
    ring->keep(line, 10);
  }
  u64 lost = 0;
  const std::string text = drained(*ring, &lost);
  const size_t kept = text.size() / 10;
  EXPECT_EQ(text.size() % 10, 0u);  // whole lines only
  EXPECT_GE(text.size(), ConsoleRing::kBytes - 10);
  EXPECT_EQ(text.substr(text.size() - 10), "line99999\n");
  EXPECT_EQ(lost + kept, 100000u);
}

// The parsers' prefix test, at the start and within a line: a prefix that
// runs past the text, or a position past its end, is no match (never a
// read past the end).
TEST(TextTest, StartsWithOnlyWhereTheWholePrefixIsThere) {
  struct Case {
    const char* text;
    const char* prefix;
    size_t at;
    bool starts;
  } cases[] = {
      {"initrd=/boot/x", "initrd=", 0, true},
      {"initrd", "initrd=", 0, false},
      {"xinitrd=", "initrd=", 0, false},
      {"anything", "", 0, true},
      {"", "", 0, true},
      {"<6>secureboot: on", "secureboot: ", 3, true},
      {"<6>secureboot: on", "secureboot: ", 4, false},
      {"abc", "", 3, true},
      {"abc", "c", 4, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " / " + c.prefix);
    EXPECT_EQ(startsWith(c.text, c.prefix, c.at), c.starts);
  }
}

TEST(WordingTest, FixedRoundsToItsDecimals) {
  EXPECT_EQ(fixed(1.005 * 1000, 0), "1005");
  EXPECT_EQ(fixed(2.345678, 2), "2.35");
  EXPECT_EQ(fixed(99.96, 1), "100.0");
  EXPECT_EQ(fixed(0, 2), "0.00");
}

}  // namespace
