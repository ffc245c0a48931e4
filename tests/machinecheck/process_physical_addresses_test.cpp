#include "machinecheck/process_physical_addresses.h"

#include <gtest/gtest.h>

#include "tests/support/fake_kernel.h"

namespace {

TEST(ProcessPhysicalAddressesTest, AddsTheOffsetToTheFrameAndNeverGuesses) {
  FakeKernel kernel;
  alignas(4096) static char pages[2 * 4096];
  kernel.setFrame(pages, 0x12345);
  ProcessPhysicalAddresses addresses(kernel);
  EXPECT_EQ(addresses.of(pages), 0x12345000u);
  EXPECT_EQ(addresses.of(pages + 0x7bc), 0x123457bcu);
  // The second page has no known frame.
  EXPECT_EQ(addresses.of(pages + 4096), kUnknownAddress);
}

// A fresh page put in for a lost one answers for the lost one: the words
// the tests find wrong there were lost with it.
TEST(ProcessPhysicalAddressesTest, AReplacedPageAnswersForTheLostOne) {
  FakeKernel kernel;
  alignas(4096) static char pages[2 * 4096];
  kernel.setFrame(pages, 0x12345);
  kernel.setFrame(pages + 4096, 0x777);
  MemoryFaultLog faults;
  faults.add(
      MemoryFault{reinterpret_cast<uintptr_t>(pages), 4096, 0x6019000, false});
  ProcessPhysicalAddresses addresses(kernel, &faults);
  EXPECT_EQ(addresses.of(pages + 8), 0x6019008u);
  EXPECT_EQ(addresses.of(pages + 4096 + 8), 0x777008u);
}

}  // namespace
