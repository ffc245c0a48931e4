#include "dimms/run_history.h"

#include <gtest/gtest.h>

namespace {

using Culprit = HistoryConclusion::Culprit;

const char* const A = "AAAA1111";
const char* const B = "1A2B3C4D";

RunRecord run(RunOutcome outcome, u64 errors, u64 seconds, u32 percent,
              std::vector<ModuleInSlot> modules, std::string machine = "") {
  RunRecord r;
  r.machine = machine;
  r.outcome = outcome;
  r.errors = errors;
  r.testedSeconds = seconds;
  r.coveragePercent = percent;
  r.modules = modules;
  return r;
}

RunRecord fail(std::vector<ModuleInSlot> modules) {
  return run(RunOutcome::kFail, 12, 3 * 3600, 300, modules);
}
RunRecord pass(u64 seconds, u32 percent, std::vector<ModuleInSlot> modules) {
  return run(RunOutcome::kPass, 0, seconds, percent, modules);
}

size_t newlines(const std::string& text) {
  size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

std::string encodeAll(const std::vector<RunRecord>& records) {
  std::string text;
  for (const RunRecord& r : records) text += encodeRunRecord(r);
  return text;
}

TEST(RunHistoryTest, ARecordReadsBackItsFieldsPrintable) {
  RunRecord r =
      run(RunOutcome::kStopped, 7, 5400, 150,
          {{"DIMM A1", "1A 2B,3C=4D%"}, {"Slot\t\xe9\n", ""}}, "SN 7XK2Q93");
  r.when = "2026-12-11 10:00";
  r.suspectPages = {0x12345000, 0xfffff000};
  const std::string line = encodeRunRecord(r);
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  const std::vector<RunRecord> back = parseRunHistory(line);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].machine, "SN 7XK2Q93");
  EXPECT_EQ(back[0].modules[0].serial, "1A 2B,3C=4D%");
  EXPECT_EQ(back[0].modules[1].slot, "Slot???");  // a file edited by hand
  EXPECT_EQ(back[0].when, r.when);
  EXPECT_EQ(back[0].suspectPages[1], 0xfffff000u);
  EXPECT_EQ(back[0].outcome, RunOutcome::kStopped);
}

// Cut at any byte (power went off mid-append), and appended to later: the
// cut record is lost, every whole one is kept.
TEST(RunHistoryTest, AHistoryCutAtAnyByteKeepsItsWholeRecords) {
  const std::vector<RunRecord> records = {
      fail({{"DIMM_A1", A}, {"DIMM_B1", B}}),
      pass(7200, 200, {{"DIMM_A1", A}}),
      fail({{"DIMM_A1", B}}),
  };
  const std::string text = encodeAll(records);
  for (size_t n = 0; n <= text.size(); ++n) {
    const std::string cut = text.substr(0, n);
    size_t whole = newlines(cut);
    if (n < text.size() && text[n] == '\n') ++whole;  // all but its newline
    const std::vector<RunRecord> read = parseRunHistory(cut);
    ASSERT_EQ(read.size(), whole) << n;
    for (size_t i = 0; i < read.size(); ++i) {
      EXPECT_EQ(encodeRunRecord(read[i]), encodeRunRecord(records[i])) << n;
    }
    // Later runs appended as the writer does, after a newline of its own
    // where the file lacks one; and right after the cut, on the torn line,
    // which loses only the torn record.
    const bool open = n > 0 && cut.back() != '\n';
    EXPECT_EQ(parseRunHistory(cut + (open ? "\n" : "") + text).size(),
              whole + records.size())
        << n;
    EXPECT_EQ(parseRunHistory(cut + text).size(),
              whole - (open && whole > newlines(cut)) + records.size())
        << n;
  }
}

TEST(RunHistoryTest, AlteredAndForeignLinesAreSkipped) {
  const std::vector<RunRecord> records = {fail({{"DIMM_A1", A}}),
                                          pass(7200, 200, {{"DIMM_A1", A}}),
                                          fail({{"DIMM_A1", B}})};
  std::string text = encodeAll(records);
  const size_t second = text.find('\n') + 1;
  text[second + 30] ^= 0x01;
  text = "# a note\ncellcheck-run/2 future format 0\n\n" + text;
  const std::vector<RunRecord> read = parseRunHistory(text);
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[1].modules[0].serial, B);
}

TEST(RunHistoryTest, OnlyThisMachinesRunsCount) {
  const std::vector<RunRecord> all = {
      run(RunOutcome::kFail, 1, 60, 1, {{"DIMM_A1", A}, {"DIMM_B1", B}}),
      run(RunOutcome::kFail, 1, 60, 1, {{"DIMM_A1", A}}, "SN1"),
      run(RunOutcome::kPass, 0, 60, 1, {{"DIMM_A1", A}}),
      run(RunOutcome::kPass, 0, 60, 1, {{"DIMM_A1", "C"}, {"DIMM_B1", "D"}}),
      run(RunOutcome::kFail, 1, 60, 1, {{"DIMM_B1", B}}, "SN2"),
  };
  // By the machine's serial number.
  const std::vector<RunRecord> sn1 = machineRuns(all, "SN1", {});
  ASSERT_EQ(sn1.size(), 1u);
  EXPECT_EQ(sn1[0].machine, "SN1");
  // Without one, by module serials shared with the modules now, or with a
  // run that shares them: module A was taken out before this run.
  const std::vector<RunRecord> mine = machineRuns(all, "", {{"DIMM_A1", B}});
  ASSERT_EQ(mine.size(), 2u);
  EXPECT_EQ(mine[0].modules.size(), 2u);
  EXPECT_EQ(mine[1].outcome, RunOutcome::kPass);
}

TEST(RunHistoryTest, WhatTheRunsShow) {
  struct Case {
    const char* name;
    std::vector<RunRecord> runs;
    std::vector<ModuleInSlot> now;
    Culprit culprit;
    bool known;
    std::vector<std::string> lines;
  };
  const std::vector<ModuleInSlot> both = {{"DIMM_A1", A}, {"DIMM_B1", B}};
  const std::vector<ModuleInSlot> onlyA = {{"DIMM_A1", A}};
  const std::vector<ModuleInSlot> bInA1 = {{"DIMM_A1", B}};
  const std::string inTwo =
      "Module serial 1A2B3C4D (DIMM_A1 now) was in both runs with errors; "
      "the run without it ";
  for (const Case& c : {
           Case{"the module or its slot, found in two runs",
                {fail(both), pass(7200, 200, onlyA), fail(both)},
                both,
                Culprit::kModuleOrSlot,
                false,
                {"History: 3 runs of this machine on this stick, 2 with "
                 "errors, 1 passed",
                 "Module serial 1A2B3C4D (DIMM_B1 now) was in both runs with "
                 "errors; the run without it passed 2.0 hours",
                 "Module serial 1A2B3C4D was in slot DIMM_B1 in every run "
                 "with errors: the module or its slot",
                 "Next: put module serial 1A2B3C4D alone in DIMM_A1 and run: "
                 "errors again mean the module, a pass the slot"}},
           Case{"errors follow the module",
                {fail(both), pass(7200, 200, onlyA), fail(bInA1)},
                bInA1,
                Culprit::kModule,
                true,
                {"History: 3 runs of this machine on this stick, 2 with "
                 "errors, 1 passed",
                 inTwo + "passed 2.0 hours",
                 "Errors followed module serial 1A2B3C4D from DIMM_B1 into "
                 "DIMM_A1: the module, not the slot",
                 "Answer: replace module serial 1A2B3C4D (DIMM_A1 now)"}},
           Case{"errors follow the module, the pass too short to count",
                {fail(both), pass(60, 4, onlyA), fail(bInA1)},
                bInA1,
                Culprit::kModule,
                false,
                {"History: 3 runs of this machine on this stick, 2 with "
                 "errors, 1 passed",
                 inTwo + "passed after only 1 minute (4 % of a full pass): "
                         "weak evidence",
                 "Errors followed module serial 1A2B3C4D from DIMM_B1 into "
                 "DIMM_A1: the module, not the slot",
                 "Next: repeat the short passing run for at least 1.0 hours "
                 "and a full pass, to confirm"}},
           Case{"errors stay with the slot",
                {fail(both), pass(7200, 200, onlyA), pass(7200, 200, bInA1)},
                bInA1,
                Culprit::kSlot,
                true,
                {"History: 3 runs of this machine on this stick, 1 with "
                 "errors, 2 passed",
                 "Errors stayed with slot DIMM_B1, not with a module: the "
                 "slot or the board",
                 "Answer: leave slot DIMM_B1 empty or have the board seen "
                 "to; the modules are not at fault"}},
           Case{"modules without serial numbers",
                {fail({{"DIMM_A1", ""}, {"DIMM_B1", ""}}),
                 pass(7200, 200, {{"DIMM_A1", ""}})},
                {},
                Culprit::kSlot,
                false,
                {"History: 2 runs of this machine on this stick, 1 with "
                 "errors, 1 passed",
                 "Errors came with slot DIMM_B1 in use; its module has no "
                 "serial number to follow: the module or the slot",
                 "Next: put the module of slot DIMM_B1 alone in DIMM_A1 and "
                 "run: errors again mean the module, a pass the slot"}},
           Case{"modules swapped: half of them out next",
                {fail(both), fail({{"DIMM_A1", B}, {"DIMM_B1", A}})},
                both,
                Culprit::kSeveral,
                false,
                {"History: 2 runs of this machine on this stick, 2 with "
                 "errors, 0 passed",
                 "Module serial AAAA1111 (DIMM_A1 now) was in both runs with "
                 "errors",
                 "Module serial 1A2B3C4D (DIMM_B1 now) was in both runs with "
                 "errors",
                 "Still in question: module serial AAAA1111, module serial "
                 "1A2B3C4D, slot DIMM_A1, slot DIMM_B1",
                 "Next: take out module serial AAAA1111 (DIMM_A1 now) and run "
                 "again: errors again point at the modules left in, a pass at "
                 "those taken out"}},
           Case{"no one module or slot",
                {fail(onlyA), fail({{"DIMM_B1", B}})},
                both,
                Culprit::kUnclear,
                false,
                {"History: 2 runs of this machine on this stick, 2 with "
                 "errors, 0 passed",
                 "No one module or slot was in every run with errors and out "
                 "of the passing runs: more than one module may be bad, or "
                 "the errors come and go",
                 "Next: test each module alone, one run each, for at least "
                 "1.0 hours"}},
           Case{"no module named in the runs with errors",
                {fail({}), pass(7200, 200, {})},
                {},
                Culprit::kUnclear,
                false,
                {"History: 2 runs of this machine on this stick, 1 with "
                 "errors, 1 passed",
                 "The runs with errors name no modules: there is nothing to "
                 "follow"}},
           Case{"the first run",
                {},
                both,
                Culprit::kNone,
                false,
                {"History: no earlier run of this machine on this stick"}},
           Case{"no errors",
                {pass(7200, 200, both)},
                both,
                Culprit::kNone,
                false,
                {"History: 1 run of this machine on this stick, none with "
                 "errors"}},
       }) {
    const HistoryConclusion got = concludeHistory(c.runs, c.now);
    EXPECT_EQ(got.culprit, c.culprit) << c.name;
    EXPECT_EQ(got.known, c.known) << c.name;
    EXPECT_EQ(got.lines, c.lines) << c.name;
  }
}

}  // namespace
