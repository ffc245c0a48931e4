// The page's tables of modules and runs: everything in them came from
// firmware, an EEPROM or a file on the stick anyone may have written, so a
// hostile string shows as text and never becomes markup.
#include <gtest/gtest.h>

#include <string>

#include "stickreport/history_file.h"
#include "stickreport/report_model.h"

namespace {

struct StringSink : ReportSink {
  void put(const char* text, size_t length) override {
    bytes.append(text, length);
  }
  std::string bytes;
};

TEST(ReportPageTest, EscapesWhatFirmwareAndTheHistorySay) {
  const std::string hostile = "<script>alert(\"x\")</script>&";
  ReportModel model;
  Module module;
  module.slot = "DIMM<b>";
  module.maker = hostile;
  module.partNumber = hostile;
  module.serial = "\"><img src=x>";
  module.sizeBytes = u64{16} << 30;
  model.modules.modules = {module};
  RunRecord run;
  run.when = "<i>yesterday</i>";
  run.modules = {{"<slot>", "<serial>"}};
  model.runs = {run};
  model.history = {"Module serial <serial> (<slot> now) was in the run"};
  model.missingMemory = "Missing memory: " + hostile;
  StringSink sink;
  writeReportPage(model, sink);
  const std::string& page = sink.bytes;
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("<img"), std::string::npos);
  EXPECT_EQ(page.find("<b>"), std::string::npos);
  EXPECT_EQ(page.find("<i>"), std::string::npos);
  EXPECT_EQ(page.find("<slot>"), std::string::npos);
  EXPECT_NE(page.find("&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;&amp;"),
            std::string::npos);
  EXPECT_NE(page.find("<td>DIMM&lt;b&gt;</td>"), std::string::npos);
  EXPECT_NE(page.find("&lt;slot&gt; &lt;serial&gt;"), std::string::npos);
}

std::string history(const std::string& earlier, const RunRecord& record) {
  StringSink sink;
  writeHistory(earlier, record, sink);
  return sink.bytes;
}

// The history file stays within its cap: the oldest whole lines give way,
// and a line a power-off cut short is ended before the new record.
TEST(HistoryFileTest, AppendsAfterALineFeedAndDropsTheOldestLinesPastTheCap) {
  RunRecord run;
  run.machine = "CC-1";
  run.when = "2026-12-10 15:30:12";
  const std::string line = encodeRunRecord(run);
  EXPECT_EQ(history("", run), line);
  EXPECT_EQ(history(line, run), line + line);
  EXPECT_EQ(history("cut sho", run), "cut sho\n" + line);
  std::string full;
  while (full.size() + line.size() <= kMaxHistoryBytes) full += line;
  std::string kept = history(full, run);
  EXPECT_LE(kept.size(), kMaxHistoryBytes);
  EXPECT_EQ(kept.size() % line.size(), 0u);  // whole lines only
  EXPECT_EQ(kept.substr(kept.size() - line.size()), line);
  // A torn last line stays a line of its own, which reading skips.
  kept = history(full + "torn", run);
  EXPECT_LE(kept.size(), kMaxHistoryBytes);
  EXPECT_EQ(kept.substr(0, line.size()), line);
  EXPECT_EQ(kept.substr(kept.size() - line.size() - 5), "torn\n" + line);
}

}  // namespace
