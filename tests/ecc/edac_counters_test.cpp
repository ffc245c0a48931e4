#include "ecc/edac_counters.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/fake_edac.h"
#include "tests/support/fake_kernel.h"

namespace {

const std::string kMc = kEdacRoot;

struct ExpectedModule {
  std::string controller;
  std::string label;
  std::string location;
  bool ecc;
  bool readable;
  u64 corrected;
  u64 uncorrected;
};

TEST(EdacCountersTest, FindsControllersAndModulesAsTheDriversShowThem) {
  struct Case {
    const char* what;
    void (*tree)(FakeKernel&);
    std::vector<std::string> controllers;  // "mc0 TYPE"
    std::vector<ExpectedModule> modules;
    std::vector<bool> reportsEcc;
  };
  const Case cases[] = {
      {"no EDAC driver loaded: no folder at all",
       [](FakeKernel&) {},
       {},
       {},
       {}},
      {"the folder, but no controller (a desktop whose driver declined)",
       [](FakeKernel& k) { k.putFile(kMc + "power/control", "auto\n"); },
       {},
       {},
       {}},
      {"one controller, its modules without labels, in number order",
       [](FakeKernel& k) {
         putEdacController(
             k, "mc0", "IE31200", "0\n", "0\n",
             {{"dimm10", "\n", "channel 1 slot 1 \n", "SECDED\n", "0\n", "0\n"},
              {"dimm2", nullptr, "channel 0 slot 1 \n", "SECDED\n", "4\n",
               "1\n"}});
       },
       {"mc0 IE31200"},
       {{"mc0", "", "channel 0 slot 1", true, true, 4, 1},
        {"mc0", "", "channel 1 slot 1", true, true, 0, 0}},
       {true}},
      {"two controllers, labelled modules, ranks for the older driver",
       [](FakeKernel& k) {
         putEdacController(
             k, "mc1", "Skylake Socket#0 IMC#1", "0\n", "0\n",
             {{"dimm0", "CPU_SrcID#0_MC#1_Chan#0_DIMM#0\n",
               "channel 0 slot 0 \n", "S4ECD4ED\n", "0\n", "0\n"}});
         putEdacController(
             k, "mc0", "i5000", "0\n", "0\n",
             {{"rank0", "mc#0csrow#0channel#0\n", "csrow 0 channel 0 \n",
               "S4ECD4ED\n", "0\n", "0\n"}});
       },
       {"mc0 i5000", "mc1 Skylake Socket#0 IMC#1"},
       {{"mc0", "mc#0csrow#0channel#0", "csrow 0 channel 0", true, true, 0, 0},
        {"mc1", "CPU_SrcID#0_MC#1_Chan#0_DIMM#0", "channel 0 slot 0", true,
         true, 0, 0}},
       {true, true}},
      {"memory without ECC behind a controller: it counts nothing",
       [](FakeKernel& k) {
         putEdacController(
             k, "mc0", "IE31200", "0\n", "0\n",
             {{"dimm0", "\n", "channel 0 slot 0 \n", "None\n", "0\n", "0\n"}});
       },
       {"mc0 IE31200"},
       {{"mc0", "", "channel 0 slot 0", false, true, 0, 0}},
       {false}},
      {"control bytes in the driver's texts, which reach the console",
       [](FakeKernel& k) {
         putEdacController(k, "mc0",
                           "IMC\x1b[2J\x9b"
                           "1m",
                           "0\n", "0\n",
                           {{"dimm0", "A1\x1b]0;x\x07\n", "channel\r0 slot 0\n",
                             "SECDED\n", "0\n", "0\n"}});
       },
       {"mc0 IMC?[2J?1m"},
       {{"mc0", "A1?]0;x?", "channel?0 slot 0", true, true, 0, 0}},
       {true}},
      {"unreadable and broken count files",
       [](FakeKernel& k) {
         putEdacController(
             k, "mc0", "F19h", nullptr, "0\n",
             {{"dimm0", "\n", "channel 0 slot 0 \n", "SECDED\n", nullptr,
               "0\n"},
              {"dimm1", "\n", "channel 1 slot 0 \n", "SECDED\n", "many\n",
               "0\n"},
              {"dimm2", "\n", "channel 2 slot 0 \n", "SECDED\n", "-1\n", "0\n"},
              {"dimm3", "\n", "channel 3 slot 0 \n", "SECDED\n", " -1\n",
               "0\n"},
              {"dimm4", "\n", "channel 4 slot 0 \n", "SECDED\n", "0\n", "+3\n"},
              {"dimm5", "\n", "channel 5 slot 0 \n", "SECDED\n",
               "12345678901234567890\n", "0\n"}});
       },
       {"mc0 F19h"},
       {{"mc0", "", "channel 0 slot 0", true, false, 0, 0},
        {"mc0", "", "channel 1 slot 0", true, false, 0, 0},
        {"mc0", "", "channel 2 slot 0", true, false, 0, 0},
        {"mc0", "", "channel 3 slot 0", true, false, 0, 0},
        {"mc0", "", "channel 4 slot 0", true, false, 0, 0},
        {"mc0", "", "channel 5 slot 0", true, false, 0, 0}},
       {true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeKernel kernel;
    c.tree(kernel);
    EdacCounters counters(kernel);
    counters.scan();
    std::vector<std::string> controllers;
    for (int i = 0; i < counters.controllerCount(); ++i) {
      controllers.push_back(std::string(counters.controller(i).name) + " " +
                            counters.controller(i).type);
      EXPECT_EQ(counters.reportsEcc(i), c.reportsEcc[i]) << i;
    }
    EXPECT_EQ(controllers, c.controllers);
    ASSERT_EQ(counters.moduleCount(), static_cast<int>(c.modules.size()));
    for (int i = 0; i < counters.moduleCount(); ++i) {
      const EdacModule& m = counters.module(i);
      const ExpectedModule& e = c.modules[i];
      EXPECT_EQ(counters.controller(m.controller).name, e.controller) << i;
      EXPECT_EQ(m.label, e.label) << i;
      EXPECT_EQ(m.location, e.location) << i;
      EXPECT_EQ(m.ecc, e.ecc) << i;
      EXPECT_EQ(m.readable, e.readable) << i;
      EXPECT_EQ(m.counts.corrected, e.corrected) << i;
      EXPECT_EQ(m.counts.uncorrected, e.uncorrected) << i;
    }
    EccGrowth growth[4];
    EXPECT_EQ(counters.refresh(growth, 4), 0) << "nothing grew";
  }
}

class EdacGrowthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    putEdacController(
        kernel, "mc0", "Skylake Socket#0 IMC#0", "2\n", "0\n",
        {{"dimm0", "A1\n", "channel 0 slot 0 \n", "S4ECD4ED\n", "2\n", "0\n"},
         {"dimm1", "A2\n", "channel 0 slot 1 \n", "S4ECD4ED\n", "0\n", "0\n"}});
    putEdacController(kernel, "mc1", "Skylake Socket#0 IMC#1", "0\n", "0\n",
                      {});
    counters.scan();
  }

  void set(const std::string& file, const char* text) {
    kernel.putFile(kMc + file, text);
  }

  int refresh() { return counters.refresh(growth, kRoom); }

  static constexpr int kRoom = 2;
  FakeKernel kernel;
  EdacCounters counters{kernel};
  EccGrowth growth[kRoom];
};

TEST_F(EdacGrowthTest, NamesTheModuleWhoseCountsGrewOnce) {
  set("mc0/dimm1/dimm_ce_count", "3\n");
  set("mc0/ce_count", "5\n");
  ASSERT_EQ(refresh(), 1);
  EXPECT_EQ(growth[0].controller, 0);
  EXPECT_EQ(growth[0].module, 1);
  EXPECT_EQ(growth[0].before.corrected, 0u);
  EXPECT_EQ(growth[0].now.corrected, 3u);
  EXPECT_EQ(growth[0].now.uncorrected, 0u);
  EXPECT_EQ(counters.module(1).counts.corrected, 3u);
  // The same counts again are no news.
  EXPECT_EQ(refresh(), 0);

  set("mc0/dimm1/dimm_ue_count", "1\n");
  ASSERT_EQ(refresh(), 1);
  EXPECT_EQ(growth[0].module, 1);
  EXPECT_EQ(growth[0].before.uncorrected, 0u);
  EXPECT_EQ(growth[0].now.uncorrected, 1u);
}

TEST_F(EdacGrowthTest, AControllersOwnCountsGrowWhereNoModuleIsNamed) {
  // mc0 could not tie these to a module; mc1 lists no module at all.
  set("mc0/ce_noinfo_count", "4\n");
  set("mc1/ue_count", "1\n");
  ASSERT_EQ(refresh(), 2);
  EXPECT_EQ(growth[0].controller, 0);
  EXPECT_EQ(growth[0].module, -1);
  EXPECT_EQ(growth[0].now.corrected, 4u);
  EXPECT_EQ(growth[1].controller, 1);
  EXPECT_EQ(growth[1].module, -1);
  EXPECT_EQ(growth[1].now.uncorrected, 1u);
}

TEST_F(EdacGrowthTest, AnUnreadableCountKeepsItsValueAndAResetIsNoGrowth) {
  kernel.putFile(kMc + "mc0/dimm0/dimm_ce_count", "");
  EXPECT_EQ(refresh(), 0);
  EXPECT_FALSE(counters.module(0).readable);
  EXPECT_EQ(counters.module(0).counts.corrected, 2u);
  // Readable again, and higher: growth from the last value read.
  set("mc0/dimm0/dimm_ce_count", "5\n");
  ASSERT_EQ(refresh(), 1);
  EXPECT_EQ(growth[0].before.corrected, 2u);
  EXPECT_TRUE(counters.module(0).readable);
  // Someone reset the counters: the new values are the starting point.
  set("mc0/dimm0/dimm_ce_count", "0\n");
  EXPECT_EQ(refresh(), 0);
  set("mc0/dimm0/dimm_ce_count", "1\n");
  ASSERT_EQ(refresh(), 1);
  EXPECT_EQ(growth[0].before.corrected, 0u);
}

TEST(EdacGrowthJudgementTest, EachCountIsJudgedOnItsOwn) {
  // The module starts at 2 corrected, 0 uncorrected.
  struct Case {
    const char* what;
    const char* earlierCorrected;  // a look before, when not null
    const char* corrected;
    const char* uncorrected;
    int growths;
    EccCounts before;  // what the growth counts from
  };
  const Case cases[] = {
      {"the corrected count reset while an uncorrected error came",
       nullptr,
       "0\n",
       "1\n",
       1,
       {0, 0}},
      {"the corrected count wrapped at 2^32 while one came",
       "4294967294\n",
       "3\n",
       "1\n",
       1,
       {3, 0}},
      {"both grew", nullptr, "5\n", "2\n", 1, {2, 0}},
      {"only the uncorrected count went down",
       nullptr,
       "4\n",
       "0\n",
       1,
       {2, 0}},
      {"both went down", nullptr, "1\n", "0\n", 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeKernel kernel;
    putEdacController(
        kernel, "mc0", "X", "2\n", "0\n",
        {{"dimm0", "A1\n", "channel 0 slot 0 \n", "S4ECD4ED\n", "2\n", "0\n"}});
    EdacCounters counters(kernel);
    counters.scan();
    EccGrowth growth[2];
    if (c.earlierCorrected != nullptr) {
      kernel.putFile(kMc + "mc0/dimm0/dimm_ce_count", c.earlierCorrected);
      ASSERT_EQ(counters.refresh(growth, 2), 1);
    }
    kernel.putFile(kMc + "mc0/dimm0/dimm_ce_count", c.corrected);
    kernel.putFile(kMc + "mc0/dimm0/dimm_ue_count", c.uncorrected);
    ASSERT_EQ(counters.refresh(growth, 2), c.growths);
    if (c.growths == 0) continue;
    EXPECT_EQ(growth[0].module, 0);
    EXPECT_EQ(growth[0].before.corrected, c.before.corrected);
    EXPECT_EQ(growth[0].before.uncorrected, c.before.uncorrected);
    EXPECT_EQ(growth[0].now.uncorrected, strtoull(c.uncorrected, nullptr, 10));
  }
}

TEST(EdacCountTest, OnlyPlainDecimalDigitsAreACount) {
  struct Case {
    const char* text;
    bool accepted;
    u64 value;
  };
  for (const Case& c : std::vector<Case>{
           {"0", true, 0},
           {"42", true, 42},
           {"4294967295", true, 4294967295u},
           {"9999999999999999999", true, 9999999999999999999u},
           {"", false, 0},
           {"-1", false, 0},
           {" -1", false, 0},
           {"+3", false, 0},
           {" 3", false, 0},
           {"3x", false, 0},
           {"0x10", false, 0},
           {"12345678901234567890", false, 0},
           {"99999999999999999999", false, 0},
           {"000000000000000000001", false, 0},
       }) {
    u64 value = 77;
    EXPECT_EQ(parseEdacCount(c.text, &value), c.accepted) << c.text;
    EXPECT_EQ(value, c.accepted ? c.value : 77u) << c.text;
  }
}

TEST_F(EdacGrowthTest, CountsMoreGrowthThanItHasRoomFor) {
  set("mc0/dimm0/dimm_ce_count", "3\n");
  set("mc0/dimm1/dimm_ce_count", "1\n");
  set("mc0/ce_noinfo_count", "1\n");
  EXPECT_EQ(refresh(), 3);
  EXPECT_EQ(growth[0].module, 0);
  EXPECT_EQ(growth[1].module, 1);
}

}  // namespace
