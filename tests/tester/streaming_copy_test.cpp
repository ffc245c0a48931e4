// Bank-sized copies take memCopyFast's streaming path; it must copy exactly
// like the small-block path, at any word offset.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tester/block_kernels.h"

namespace {

struct StreamingCase {
  uint64_t dstOffset;  // words; odd puts every 64-bit store 4 bytes off
  uint64_t srcOffset;
  uint64_t count;
};

class StreamingCopyTest : public ::testing::TestWithParam<StreamingCase> {};

TEST_P(StreamingCopyTest, CopiesEveryWordAndNothingAround) {
  const StreamingCase& c = GetParam();
  constexpr uint32_t kGuard = 0xDEADBEEF;
  std::vector<uint32_t> src(c.count + 32);
  for (uint64_t i = 0; i < src.size(); ++i) {
    src[i] = static_cast<uint32_t>(i * 2654435761u);
  }
  const std::vector<uint32_t> srcBefore = src;
  std::vector<uint32_t> dst(c.count + 32, kGuard);

  memCopyFast(dst.data() + c.dstOffset, src.data() + c.srcOffset, c.count);

  EXPECT_EQ(src, srcBefore);
  for (uint64_t i = 0; i < dst.size(); ++i) {
    const bool inBlock = i >= c.dstOffset && i < c.dstOffset + c.count;
    const uint32_t expected =
        inBlock ? src[i - c.dstOffset + c.srcOffset] : kGuard;
    ASSERT_EQ(dst[i], expected) << "word " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    BankSizedBlocks, StreamingCopyTest,
    ::testing::Values(StreamingCase{2, 5, kStreamingCopyWords},
                      StreamingCase{1, 0, kStreamingCopyWords + 8},
                      StreamingCase{3, 7, kStreamingCopyWords + 13}),
    [](const ::testing::TestParamInfo<StreamingCase>& param) {
      return "dst" + std::to_string(param.param.dstOffset) + "_src" +
             std::to_string(param.param.srcOffset) + "_count" +
             std::to_string(param.param.count);
    });

}  // namespace
