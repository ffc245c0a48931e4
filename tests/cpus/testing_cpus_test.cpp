#include "cpus/testing_cpus.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <string>
#include <vector>

#include "base/bank_split.h"
#include "tester/bank_slices.h"
#include "tests/support/fake_kernel.h"

namespace {

using Cpus = std::vector<unsigned>;

TEST(CpuListTest, ReadsTheKernelsListsAndRefusesGarbage) {
  struct Case {
    const char* text;
    Cpus list;
  };
  const Case cases[] = {
      {"0\n", {0}},
      {"0-3\n", {0, 1, 2, 3}},
      {"0-1,4,6-7", {0, 1, 4, 6, 7}},
      {"8,0-1", {0, 1, 8}},
      {"\n", {}},  // a node without CPUs
      {"", {}},
      {"3-1", {}},
      {"0,,2", {}},
      {"0,", {}},
      {"a-b", {}},
      {"0-99999999", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parseCpuList(c.text), c.list);
  }
}

TEST(CpuListTest, SaysHowManyCpusTestOnHowManyNodes) {
  EXPECT_EQ(testingCpusLine(1, 1), "Testing with 1 CPU on 1 memory node");
  EXPECT_EQ(testingCpusLine(4, 2), "Testing with 4 CPUs on 2 memory nodes");
  EXPECT_EQ(testingCpusLine(2, 1), "Testing with 2 CPUs on 1 memory node");
}

// A machine as the kernel describes it in /sys/devices/system/node.
struct Machine {
  const char* name;
  Cpus allowed;
  // Each node's cpulist; nodes listed as online and as having memory.
  std::vector<const char*> nodeCpus;
  const char* hasMemory;  // nullptr: every node
  unsigned cap;
  Cpus cpus;
  std::vector<int> nodes;
  unsigned memoryNodes;
};

TEST(TestingCpusTest, OneWorkerPerAllowedCpuGroupedByNode) {
  const Machine machines[] = {
      // A kernel without NUMA has no node folder.
      {"no nodes",
       {0, 1, 2, 3},
       {},
       nullptr,
       0,
       {0, 1, 2, 3},
       {-1, -1, -1, -1},
       1},
      {"one node", {0, 1}, {"0-1"}, nullptr, 0, {0, 1}, {0, 0}, 1},
      // Nodes whose CPUs interleave: neighbouring workers share a node.
      {"interleaved",
       {0, 1, 2, 3},
       {"0,2", "1,3"},
       nullptr,
       0,
       {0, 2, 1, 3},
       {0, 0, 1, 1},
       2},
      // A cap takes the nodes in turn, so every node's memory is tested.
      {"cap of 2", {0, 1, 2, 3}, {"0-1", "2-3"}, nullptr, 2, {0, 2}, {0, 1}, 2},
      {"cap of 3",
       {0, 1, 2, 3},
       {"0-1", "2-3"},
       nullptr,
       3,
       {0, 1, 2},
       {0, 0, 1},
       2},
      {"cap of 1", {0, 1, 2, 3}, {"0-1", "2-3"}, nullptr, 1, {0}, {0}, 1},
      {"cap above the CPUs", {0, 1}, {"0-1"}, nullptr, 8, {0, 1}, {0, 0}, 1},
      // Only the CPUs the process may run on.
      {"affinity", {1, 3}, {"0-1", "2-3"}, nullptr, 0, {1, 3}, {0, 1}, 2},
      // A node with CPUs but no memory places nothing.
      {"memoryless node",
       {0, 1, 2, 3},
       {"0-1", "2-3"},
       "0",
       0,
       {0, 1, 2, 3},
       {0, 0, -1, -1},
       1},
      // The kernel would not say: CPU 0 alone.
      {"no affinity", {}, {}, nullptr, 0, {0}, {-1}, 1},
  };
  for (const Machine& m : machines) {
    SCOPED_TRACE(m.name);
    FakeKernel kernel;
    kernel.cpus = m.allowed;
    if (!m.nodeCpus.empty()) {
      const std::string last = std::to_string(m.nodeCpus.size() - 1);
      kernel.putFile("/sys/devices/system/node/online",
                     m.nodeCpus.size() == 1 ? "0\n" : "0-" + last + "\n");
      kernel.putFile(
          "/sys/devices/system/node/has_memory",
          m.hasMemory != nullptr
              ? std::string(m.hasMemory) + "\n"
              : (m.nodeCpus.size() == 1 ? "0\n" : "0-" + last + "\n"));
      for (size_t n = 0; n < m.nodeCpus.size(); ++n) {
        kernel.putFile(
            "/sys/devices/system/node/node" + std::to_string(n) + "/cpulist",
            std::string(m.nodeCpus[n]) + "\n");
      }
    }
    const TestingCpus testing = chooseTestingCpus(kernel, kernel, m.cap);
    EXPECT_EQ(testing.cpus, m.cpus);
    EXPECT_EQ(testing.nodes, m.nodes);
    EXPECT_EQ(testing.memoryNodes, m.memoryNodes);
  }
}

// A test area of real pages, as start-up takes it.
class Area {
 public:
  explicit Area(u64 bytes) : bytes_(bytes) {
    memory_ = static_cast<char*>(mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  }
  ~Area() { munmap(memory_, bytes_); }
  char* get() const { return memory_; }

 private:
  u64 bytes_;
  char* memory_;
};

TEST(PlaceSlicesTest, EachWorkersSliceOfBothBanksIsOnItsNode) {
  // Sizes whose bank B starts inside a page, and one that starts on one.
  for (const u64 bytes : {u64{1} << 20, (u64{1} << 20) + 3 * 4096 + 24}) {
    SCOPED_TRACE(bytes);
    FakeKernel kernel;
    Area area(bytes);
    TestingCpus testing;
    testing.cpus = {0, 2, 1, 3};
    testing.nodes = {0, 0, 1, 1};
    testing.memoryNodes = 2;
    EXPECT_EQ(placeSlices(kernel, area.get(), bytes, testing), 0u);

    const BankSplit split = bankSplitOf(bytes);
    const auto* bankA = reinterpret_cast<const u32*>(area.get());
    const auto* bankB =
        reinterpret_cast<const u32*>(area.get() + split.bankBOffset);
    for (unsigned k = 0; k < 4; ++k) {
      const WordRange slice = bankSlice(bankA, split.wordsPerBank, 4, k);
      // Every page a slice starts or ends in but shares with no other
      // slice, and every page in between, is on the worker's node.
      for (u64 i = slice.begin; i < slice.end; i += 1024) {
        EXPECT_EQ(kernel.nodeOfPage(bankA + i), testing.nodes[k]) << k;
      }
      EXPECT_EQ(kernel.nodeOfPage(bankA + slice.end - 1), testing.nodes[k]);
      EXPECT_EQ(kernel.nodeOfPage(bankB + slice.end - 1), testing.nodes[k]);
      if (slice.size() > 2048) {
        EXPECT_EQ(kernel.nodeOfPage(bankB + slice.begin + 1024),
                  testing.nodes[k]);
      }
    }
  }
}

TEST(PlaceSlicesTest, OneNodePlacesNothing) {
  FakeKernel kernel;
  Area area(1 << 20);
  TestingCpus one;
  one.cpus = {0, 1};
  one.nodes = {0, 0};
  EXPECT_EQ(placeSlices(kernel, area.get(), 1 << 20, one), 0u);
  EXPECT_TRUE(kernel.placements.empty());
}

}  // namespace
