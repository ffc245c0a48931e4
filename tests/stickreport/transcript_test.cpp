#include "stickreport/transcript.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> linesOf(const Transcript& transcript) {
  std::vector<std::string> lines;
  transcript.forEachLine([&lines](const char* text, size_t length) {
    lines.emplace_back(text, length);
  });
  return lines;
}

void feed(Transcript& transcript, const std::string& text) {
  transcript.feed(text.data(), text.size());
}

TEST(TranscriptTest, KeepsTheLinesAsTheScreenShowedThem) {
  Transcript transcript(4096, 4096);
  // The clearing line feeds, the banner, the hidden cursor, and progress
  // lines rewritten in place until an error ends one: it stays as it last
  // stood; the spinner gives way to a blank at a turn.
  feed(transcript, std::string(55, '\n') + "Cellcheck RAM tester\n\x1b[?25l");
  feed(transcript, "\r    3% coverage,  0 errors [##--]/");
  feed(transcript, "\r    4% coverage,  0 errors [##--]\\");
  feed(transcript, "\n\rError found with word pair# 7\n\r");
  feed(transcript, "\r   99% coverage,  1 errors [####]/\b \n");
  feed(transcript, "\r  100% cov");
  EXPECT_EQ(linesOf(transcript),
            (std::vector<std::string>{
                "Cellcheck RAM tester", "    4% coverage,  0 errors [##--]\\",
                "Error found with word pair# 7",
                "   99% coverage,  1 errors [####]", "  100% cov"}));
}

// Control bytes are no text on a terminal, DEL among them: none reaches
// the report's text file.
TEST(TranscriptTest, KeepsNoControlBytes) {
  Transcript transcript(4096, 4096);
  const char bytes[] = {'a', 7, 'b', 0x7f, 'c', 0, 'd', 0x0e, 0x1f, 'e', '\n'};
  transcript.feed(bytes, sizeof bytes);
  EXPECT_EQ(linesOf(transcript), std::vector<std::string>{"abcde"});
}

TEST(TranscriptTest, PastItsRoomKeepsTheHeadAndTheLastLines) {
  // Each line takes 9 bytes with its line feed: 3 fit the head, 5 the tail.
  Transcript transcript(30, 45);
  for (int i = 0; i < 100; ++i) {
    char line[32];  // room for any int, as the compiler checks
    snprintf(line, sizeof line, "line %03d\n", i);
    feed(transcript, line);
  }
  EXPECT_EQ(linesOf(transcript),
            (std::vector<std::string>{"line 000", "line 001", "line 002",
                                      "[... 92 lines left out here ...]",
                                      "line 095", "line 096", "line 097",
                                      "line 098", "line 099"}));
}

TEST(TranscriptTest, SaysWhereLinesWereLost) {
  Transcript transcript(4096, 4096);
  feed(transcript, "before\nhalf a li");
  transcript.lost(1234);
  feed(transcript, "after\n");
  EXPECT_EQ(
      linesOf(transcript),
      (std::vector<std::string>{
          "before", "half a li",
          "[1234 lines came too fast to be kept for this report]", "after"}));
}

}  // namespace
