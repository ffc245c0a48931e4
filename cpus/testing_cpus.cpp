#include "cpus/testing_cpus.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "base/bank_split.h"
#include "base/small_file.h"
#include "tester/bank_slices.h"

namespace {

constexpr char kNodeFolder[] = "/sys/devices/system/node";

// No machine has more; a bigger number in a list is garbage.
constexpr unsigned kMaxIndex = 1u << 20;

bool readNumber(const std::string& text, size_t* at, unsigned* value) {
  const size_t from = *at;
  unsigned long number = 0;
  while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9') {
    number = number * 10 + static_cast<unsigned long>(text[*at] - '0');
    if (number > kMaxIndex) return false;
    ++*at;
  }
  *value = static_cast<unsigned>(number);
  return *at != from;
}

std::string nodeFile(KernelFiles& files, const std::string& name) {
  const std::string path = std::string(kNodeFolder) + "/" + name;
  return readFileLine(files.file(path.c_str()));
}

// The node of each CPU (by CPU), from each online node's list of CPUs.
std::vector<int> nodesOfCpus(KernelFiles& files, unsigned cpuCount) {
  std::vector<int> nodes(cpuCount, -1);
  for (unsigned node : parseCpuList(nodeFile(files, "online"))) {
    const std::string list =
        nodeFile(files, "node" + std::to_string(node) + "/cpulist");
    for (unsigned cpu : parseCpuList(list)) {
      if (cpu < cpuCount) nodes[cpu] = static_cast<int>(node);
    }
  }
  return nodes;
}

}  // namespace

std::vector<unsigned> parseCpuList(const std::string& text) {
  std::vector<unsigned> list;
  size_t at = 0;
  // The kernel ends its lists with a line feed; a node without CPUs has an
  // empty one.
  std::string trimmed = text;
  while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == ' '))
    trimmed.pop_back();
  while (at < trimmed.size()) {
    unsigned first, last;
    if (!readNumber(trimmed, &at, &first)) return {};
    last = first;
    if (at < trimmed.size() && trimmed[at] == '-') {
      ++at;
      if (!readNumber(trimmed, &at, &last) || last < first) return {};
    }
    for (unsigned i = first; i <= last; ++i) list.push_back(i);
    if (at == trimmed.size()) break;
    if (trimmed[at] != ',') return {};
    ++at;
    if (at == trimmed.size()) return {};
  }
  std::sort(list.begin(), list.end());
  list.erase(std::unique(list.begin(), list.end()), list.end());
  return list;
}

TestingCpus chooseTestingCpus(KernelProcessors& processors, KernelFiles& files,
                              unsigned cap) {
  std::vector<unsigned> allowed = processors.allowedCpus();
  if (allowed.empty()) allowed.push_back(0);
  const std::vector<int> nodeOf = nodesOfCpus(files, allowed.back() + 1);
  const std::vector<unsigned> withMemory =
      parseCpuList(nodeFile(files, "has_memory"));
  const auto hasMemory = [&](int node) {
    return node >= 0 && std::binary_search(withMemory.begin(), withMemory.end(),
                                           static_cast<unsigned>(node));
  };

  // The allowed CPUs by node, nodes and CPUs ascending; CPUs of no known
  // node (or of a node without memory) last, as one group.
  std::vector<std::pair<int, std::vector<unsigned>>> groups;
  for (unsigned cpu : allowed) {
    const int node = hasMemory(nodeOf[cpu]) ? nodeOf[cpu] : -1;
    auto group = std::find_if(groups.begin(), groups.end(),
                              [&](const auto& g) { return g.first == node; });
    if (group == groups.end()) {
      groups.push_back({node, {}});
      group = groups.end() - 1;
    }
    group->second.push_back(cpu);
  }
  std::sort(groups.begin(), groups.end(), [](const auto& a, const auto& b) {
    return static_cast<unsigned>(a.first) < static_cast<unsigned>(b.first);
  });

  // A cap takes the nodes' CPUs in turn, the first of each node first.
  const size_t wanted =
      cap == 0 || cap > allowed.size() ? allowed.size() : size_t{cap};
  std::vector<size_t> taken(groups.size(), 0);
  for (size_t n = 0; n < wanted;) {
    for (size_t g = 0; g < groups.size() && n < wanted; ++g) {
      if (taken[g] < groups[g].second.size()) {
        ++taken[g];
        ++n;
      }
    }
  }

  TestingCpus testing;
  std::set<int> nodes;
  for (size_t g = 0; g < groups.size(); ++g) {
    for (size_t i = 0; i < taken[g]; ++i) {
      testing.cpus.push_back(groups[g].second[i]);
      testing.nodes.push_back(groups[g].first);
      if (groups[g].first >= 0) nodes.insert(groups[g].first);
    }
  }
  testing.memoryNodes = nodes.empty() ? 1 : static_cast<unsigned>(nodes.size());
  return testing;
}

std::string testingCpusLine(unsigned cpus, unsigned memoryNodes) {
  char line[96];
  snprintf(line, sizeof line, "Testing with %u CPU%s on %u memory node%s", cpus,
           cpus == 1 ? "" : "s", memoryNodes, memoryNodes == 1 ? "" : "s");
  return line;
}

void sliceStretches(char* area, u64 areaBytes, unsigned workers,
                    unsigned worker, SliceStretch* inA, SliceStretch* inB) {
  const BankSplit split = bankSplitOf(areaBytes);
  const auto* bankA = reinterpret_cast<const u32*>(area);
  const WordRange slice = bankSlice(bankA, split.wordsPerBank, workers, worker);
  // Whole pages: a page is placed by the slice that starts in it.
  const auto stretch = [&](u64 offset) {
    const uintptr_t begin =
        reinterpret_cast<uintptr_t>(area) + offset + slice.begin * sizeof(u32);
    const uintptr_t end =
        reinterpret_cast<uintptr_t>(area) + offset + slice.end * sizeof(u32);
    const uintptr_t from =
        (begin + kSlicePageBytes - 1) & ~(kSlicePageBytes - 1);
    const uintptr_t areaEnd =
        (reinterpret_cast<uintptr_t>(area) + areaBytes + kSlicePageBytes - 1) &
        ~(kSlicePageBytes - 1);
    const uintptr_t to =
        std::min((end + kSlicePageBytes - 1) & ~(kSlicePageBytes - 1), areaEnd);
    const uintptr_t first =
        slice.begin == 0 ? (begin & ~(kSlicePageBytes - 1)) : from;
    return SliceStretch{reinterpret_cast<char*>(first),
                        to > first ? static_cast<u64>(to - first) : 0};
  };
  *inA = slice.size() == 0 ? SliceStretch{nullptr, 0} : stretch(0);
  *inB =
      slice.size() == 0 ? SliceStretch{nullptr, 0} : stretch(split.bankBOffset);
}

unsigned placeSlices(KernelProcessors& processors, char* area, u64 areaBytes,
                     const TestingCpus& testing) {
  if (testing.memoryNodes <= 1) return 0;
  const unsigned workers = static_cast<unsigned>(testing.cpus.size());
  unsigned refused = 0;
  for (unsigned k = 0; k < workers; ++k) {
    if (testing.nodes[k] < 0) continue;
    SliceStretch inA, inB;
    sliceStretches(area, areaBytes, workers, k, &inA, &inB);
    for (const SliceStretch& s : {inA, inB}) {
      if (s.bytes == 0) continue;
      if (processors.placeOnNode(s.begin, s.bytes,
                                 static_cast<unsigned>(testing.nodes[k])) != 0)
        ++refused;
    }
  }
  return refused;
}
