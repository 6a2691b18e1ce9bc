#include "common/allocator.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace quillmere {
namespace {

constexpr std::size_t kLarge = kHugePageBlockBytes / sizeof(std::uint32_t) * 3 + 5;

// Growth crosses from realloc to the allocate-advise-copy path of large blocks; appending the
// array's own elements must survive the move.
TEST(PodVecTest, GrowthAcrossTheLargeBlockSizeKeepsEveryElement) {
  PodVec<std::uint32_t> v;
  for (std::uint32_t i = 0; i < kLarge; ++i) v.push_back(i * 2654435761u);
  const std::size_t n = v.size();
  v.append(v.span());
  ASSERT_EQ(v.size(), 2 * n);
  for (std::size_t i = 0; i < v.size(); ++i)
    ASSERT_EQ(v[i], static_cast<std::uint32_t>(i % n) * 2654435761u) << "element " << i;
  v.reserve(v.size() * 2);  // a large block growing into a larger one
  EXPECT_EQ(v[2 * n - 1], static_cast<std::uint32_t>(n - 1) * 2654435761u);
}

TEST(PodVecTest, LargeBlocksStartZeroedAndGrowZeroed) {
  PodVec<std::uint32_t> zeros(kLarge);
  for (std::size_t i = 0; i < zeros.size(); ++i) ASSERT_EQ(zeros[i], 0u) << "element " << i;
  PodVec<std::uint32_t> v{7, 8};
  v.resize(kLarge);
  EXPECT_EQ(v[0], 7u);
  EXPECT_EQ(v[1], 8u);
  for (std::size_t i = 2; i < v.size(); ++i) ASSERT_EQ(v[i], 0u) << "element " << i;
}

}  // namespace
}  // namespace quillmere
