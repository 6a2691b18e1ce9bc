#include "common/allocator.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

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

#if defined(__SANITIZE_ADDRESS__)
// The ASan build sees the bulk arrays: a read past the block, and a read past the size inside
// the capacity, after each kind of change of size, is reported.
TEST(PodVecDeathTest, AsanReportsReadsPastTheSize) {
  struct Case {
    const char* what;
    std::function<float(void)> read;
    const char* report;
  };
  auto at = [](const PodVec<float>& v, std::size_t i) {
    return static_cast<const volatile float*>(v.data())[i];
  };
  const Case cases[] = {
      {"past the block", [&] { return at(PodVec<float>(10), 10); }, "heap-buffer-overflow"},
      {"past the size after pushes",
       [&] {
         PodVec<float> v;
         for (int i = 0; i < 10; ++i) v.push_back(1.0f);
         return at(v, 10);
       },
       "container-overflow"},
      {"end of the capacity after reserve",
       [&] {
         PodVec<float> v(10);
         v.reserve(64);
         return at(v, 63);
       },
       "container-overflow"},
      {"after a shrink",
       [&] {
         PodVec<float> v(10);
         v.resize(3);
         return at(v, 5);
       },
       "container-overflow"},
      {"after a move and a clear",
       [&] {
         PodVec<float> v;
         v.append(std::vector<float>(40, 2.0f));
         PodVec<float> w = std::move(v);
         w.clear();
         return at(w, 0);
       },
       "container-overflow"},
      {"large block grown by copying",
       [&] {
         PodVec<float> v(kHugePageBlockBytes / sizeof(float));
         v.push_back(1.0f);
         return at(v, v.size());
       },
       "container-overflow"},
  };
  for (const Case& c : cases) EXPECT_DEATH((void)c.read(), c.report) << c.what;
  // Inside the size nothing is reported, bytes included (a partly addressable granule).
  PodVec<std::uint8_t> codes{1, 2, 3, 4, 5};
  EXPECT_EQ(codes[4], 5);
  EXPECT_DEATH((void)static_cast<const volatile std::uint8_t*>(codes.data())[5],
               "container-overflow");
}
#endif

}  // namespace
}  // namespace quillmere
