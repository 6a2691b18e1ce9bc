#include "vec_set.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <numeric>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/allocator.hpp"
#include "common/failure.hpp"
#include "common/random.hpp"
#include "test_support.hpp"

namespace quillmere {
namespace {

using testing_support::failure_of;
using testing_support::fixed_rng;
using testing_support::kNoFailure;

using Rows = std::vector<std::vector<float>>;

VecSet<float> make_set(std::uint64_t dim, const Rows& rows) {
  PodVec<float> data;
  for (const auto& r : rows) data.append(std::span<const float>(r));
  return VecSet<float>(dim, std::move(data));
}

Rows rows_of(const VecSet<float>& set) {
  Rows out;
  for (std::span<const float> r : set.iter()) out.emplace_back(r.begin(), r.end());
  return out;
}

const std::vector<float> kA{1, 2, 3}, kB{4, 5, 6}, kC{7, 8, 9}, kD{10, 11, 12};

VecSet<float> abcd() { return make_set(3, {kA, kB, kC, kD}); }

// Row i holds i, i + 0.25, i + 0.5: every row is distinct and tells its origin.
VecSet<float> numbered(std::uint64_t rows) {
  PodVec<float> data;
  for (std::uint64_t i = 0; i < rows; ++i) {
    const float base = static_cast<float>(i);
    data.append(std::span<const float>({base, base + 0.25f, base + 0.5f}));
  }
  return VecSet<float>(3, std::move(data));
}

TEST(VecSet, ConstructionAcceptsOnlyWholeRows) {
  struct Case {
    std::uint64_t dim;
    std::size_t elements;
    bool accepted;
  };
  const Case cases[] = {{3, 7, false}, {3, 6, true},  {3, 0, true},  {1, 5, true},
                        {4, 2, false}, {4, 9, false}, {2, 1, false}, {5, 15, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "dim " << c.dim << ", " << c.elements << " elements");
    PodVec<float> data;
    for (std::size_t i = 0; i < c.elements; ++i) data.push_back(static_cast<float>(i));
    if (!c.accepted) {
      EXPECT_EQ(failure_of([&] { VecSet<float>(c.dim, std::move(data)); }),
                "Data length must be a multiple of the dimension.");
      continue;
    }
    const VecSet<float> set(c.dim, std::move(data));
    EXPECT_EQ(set.dim(), c.dim);
    ASSERT_EQ(set.len(), c.elements / c.dim);
    for (std::uint64_t r = 0; r < set.len(); ++r)
      for (std::uint64_t j = 0; j < c.dim; ++j)
        EXPECT_EQ(set[r][j], static_cast<float>(r * c.dim + j));
  }
}

TEST(VecSet, DimensionZero) {
  // Refused by the constructor whatever the data, even an empty array.
  EXPECT_NE(failure_of([] { VecSet<float>(0, PodVec<float>()); }), kNoFailure);
  EXPECT_NE(failure_of([] { VecSet<float>(0, PodVec<float>{1, 2}); }), kNoFailure);

  // with_capacity does not validate the dimension.
  VecSet<float> set = VecSet<float>::with_capacity(0, 10);
  EXPECT_EQ(set.dim(), 0u);
  EXPECT_NE(failure_of([&] { (void)set.len(); }), kNoFailure);
  EXPECT_EQ(failure_of([&] { (void)set.iter(); }), "chunk size must be non-zero");
  // Row access involves no division: every row is empty.
  EXPECT_TRUE(set[0].empty());
  EXPECT_TRUE(set[1000].empty());

  // push reports the dimension (division by zero) before any length check: the failure is
  // not the equality assertion, and the set stays empty.
  const std::vector<float> v{1, 2};
  const std::string push_failure = failure_of([&] { set.push(v); });
  EXPECT_NE(push_failure, kNoFailure);
  EXPECT_EQ(push_failure.find("assertion"), std::string::npos) << push_failure;
  EXPECT_NE(failure_of([&] { set.push(std::span<const float>()); }), kNoFailure);
  EXPECT_TRUE(set.data().empty());

  EXPECT_NE(failure_of([&] { set.swap_remove(0); }), kNoFailure);
  ChaCha12Rng rng = fixed_rng();
  EXPECT_NE(failure_of([&] { (void)set.random_sample(0, rng); }), kNoFailure);
  EXPECT_NE(failure_of([&] { (void)set.to_type<float>(); }), kNoFailure);
}

// pop answers the last row when the set holds at least `dim` elements; with dimension 0 the
// set holds 0 >= 0 elements, so the answer is an empty row rather than nothing.
TEST(VecSet, PopOnDimensionZeroAnswersAnEmptyRow) {
  VecSet<float> set = VecSet<float>::with_capacity(0, 1);
  const std::optional<PodVec<float>> row = set.pop();
  ASSERT_TRUE(row.has_value());
  EXPECT_TRUE(row->empty());
}

TEST(VecSet, WithCapacityReservesWholeRows) {
  VecSet<float> set = VecSet<float>::with_capacity(3, 5);
  EXPECT_EQ(set.dim(), 3u);
  EXPECT_EQ(set.len(), 0u);
  ASSERT_GE(set.data().capacity(), 15u);
  const float* storage = set.data().data();
  for (std::uint64_t i = 0; i < 5; ++i) EXPECT_EQ(set.push(kA), i);
  EXPECT_EQ(set.data().data(), storage) << "five pushes reallocated the reserved storage";
}

TEST(VecSet, PushAnswersTheNewRowNumber) {
  VecSet<float> set = make_set(3, {kA, kB});
  EXPECT_EQ(set.push(kC), 2u);
  EXPECT_EQ(set.push(kA), 3u);
  EXPECT_EQ(rows_of(set), (Rows{kA, kB, kC, kA}));

  VecSet<float> empty = VecSet<float>::with_capacity(2, 0);
  EXPECT_EQ(empty.push(std::vector<float>{5, 6}), 0u);
  EXPECT_EQ(rows_of(empty), (Rows{{5, 6}}));
}

TEST(VecSet, PushOfWrongLengthFailsAndLeavesTheSetUnchanged) {
  struct Case {
    std::vector<float> v;
    const char* message;
  };
  const Case cases[] = {
      {{1, 2}, "assertion `left == right` failed\n  left: 2\n right: 3"},
      {{1, 2, 3, 4}, "assertion `left == right` failed\n  left: 4\n right: 3"},
      {{}, "assertion `left == right` failed\n  left: 0\n right: 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "length " << c.v.size());
    VecSet<float> set = make_set(3, {kA, kB});
    const VecSet<float> before = set;
    EXPECT_EQ(failure_of([&] { set.push(c.v); }), c.message);
    EXPECT_EQ(set, before);
    EXPECT_EQ(set.push(kC), 2u);  // still usable afterwards
  }
}

// A row of the set itself is a valid vector to append; growing the storage must not lose it.
TEST(VecSet, PushOfOwnRowCopiesItsValues) {
  VecSet<float> set = VecSet<float>::with_capacity(4, 1);
  set.push(std::vector<float>{1.5f, 2.5f, 3.5f, 4.5f});
  for (int i = 0; i < 12; ++i) set.push(set[0]);  // grows the storage several times
  ASSERT_EQ(set.len(), 13u);
  for (std::span<const float> r : set.iter())
    EXPECT_EQ(std::vector<float>(r.begin(), r.end()), (std::vector<float>{1.5f, 2.5f, 3.5f, 4.5f}));
  EXPECT_EQ(rows_of(set).back(), (std::vector<float>{1.5f, 2.5f, 3.5f, 4.5f}));
}

TEST(VecSet, PutOverwritesOneRow) {
  VecSet<float> set = abcd();
  set.put(1, kD);
  set.put(3, kA);
  EXPECT_EQ(rows_of(set), (Rows{kA, kD, kC, kA}));

  const VecSet<float> before = set;
  EXPECT_EQ(failure_of([&] {
              set.put(0, std::vector<float>{1, 2, 3, 4});
            }),
            "assertion `left == right` failed\n  left: 4\n right: 3");
  EXPECT_NE(failure_of([&] { set.put(4, kB); }), kNoFailure);
  EXPECT_NE(failure_of([&] { set.put(std::numeric_limits<std::uint64_t>::max(), kB); }),
            kNoFailure);
  EXPECT_EQ(set, before);
}

TEST(VecSet, RowAccess) {
  const VecSet<float> set = abcd();
  for (std::uint64_t i = 0; i < 4; ++i) {
    const std::span<const float> r = set[i];
    EXPECT_EQ(std::vector<float>(r.begin(), r.end()), rows_of(set)[i]);
    EXPECT_EQ(r.data(), set.data().data() + 3 * i) << "rows are borrowed, not copied";
  }
  EXPECT_NE(failure_of([&] { (void)set[4]; }), kNoFailure);
  EXPECT_NE(failure_of([&] { (void)set[std::numeric_limits<std::uint64_t>::max()]; }), kNoFailure);

  const VecSet<float> empty = VecSet<float>::with_capacity(3, 4);
  EXPECT_NE(failure_of([&] { (void)empty[0]; }), kNoFailure);
  EXPECT_TRUE(rows_of(empty).empty());
}

// For i = UINT64_MAX / dim the product i * dim does not overflow but the row's end
// i * dim + dim does, wrapping to a number below the data length. Such a row lies beyond the
// data and must be refused (the span would otherwise start just before the storage).
TEST(VecSet, RowAccessRefusesRowsWhoseEndOverflows) {
  std::vector<std::uint64_t> accepted;
  for (std::uint64_t dim : {1, 3, 4, 7}) {
    PodVec<float> data(dim * 4);
    const VecSet<float> set(dim, std::move(data));
    const std::uint64_t index = std::numeric_limits<std::uint64_t>::max() / dim;
    // Only whether it fails is looked at; the span itself is never read.
    if (failure_of([&] { (void)set[index]; }) == kNoFailure) accepted.push_back(dim);
  }
  EXPECT_TRUE(accepted.empty()) << "row UINT64_MAX / dim accepted for dim " << accepted.front();
}

TEST(VecSet, PopTakesRowsFromTheEnd) {
  VecSet<float> set = make_set(3, {kA, kB});
  std::optional<PodVec<float>> row = set.pop();
  ASSERT_TRUE(row.has_value());
  EXPECT_EQ(std::vector<float>(row->begin(), row->end()), kB);
  EXPECT_EQ(rows_of(set), (Rows{kA}));
  row = set.pop();
  ASSERT_TRUE(row.has_value());
  EXPECT_EQ(std::vector<float>(row->begin(), row->end()), kA);
  EXPECT_FALSE(set.pop().has_value());
  EXPECT_EQ(set.len(), 0u);
  EXPECT_EQ(set.dim(), 3u);
  EXPECT_EQ(set.push(kC), 0u);
}

TEST(VecSet, SwapRemoveMovesTheLastRowIntoTheGap) {
  struct Case {
    std::uint64_t index;
    Rows expected;
  };
  const Case cases[] = {
      {0, {kD, kB, kC}},
      {1, {kA, kD, kC}},
      {2, {kA, kB, kD}},
      {3, {kA, kB, kC}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "row " << c.index);
    VecSet<float> set = abcd();
    set.swap_remove(c.index);
    EXPECT_EQ(rows_of(set), c.expected);
    EXPECT_EQ(set.dim(), 3u);
  }
}

TEST(VecSet, SwapRemoveRefusesRowsBeyondTheEnd) {
  for (std::uint64_t index :
       {std::uint64_t{4}, std::uint64_t{5}, std::numeric_limits<std::uint64_t>::max()}) {
    SCOPED_TRACE(index);
    VecSet<float> set = abcd();
    EXPECT_EQ(failure_of([&] { set.swap_remove(index); }), "assertion failed: index < self.len()");
    EXPECT_EQ(set, abcd());
  }
  VecSet<float> empty = VecSet<float>::with_capacity(3, 0);
  EXPECT_EQ(failure_of([&] { empty.swap_remove(0); }), "assertion failed: index < self.len()");
}

TEST(VecSet, SwapRemoveOfTheOnlyRowLeavesAnEmptySet) {
  VecSet<float> set = make_set(3, {kB});
  set.swap_remove(0);
  EXPECT_EQ(set.len(), 0u);
  EXPECT_EQ(set.dim(), 3u);
  EXPECT_TRUE(set.data().empty());
  EXPECT_EQ(set.push(kC), 0u);
}

TEST(VecSet, RandomSampleOfNoRowsIsEmpty) {
  for (std::uint64_t rows : {0, 1, 9}) {
    SCOPED_TRACE(rows);
    const VecSet<float> source = numbered(rows);
    ChaCha12Rng rng = fixed_rng();
    const VecSet<float> sample = source.random_sample(0, rng);
    EXPECT_EQ(sample.dim(), 3u);
    EXPECT_EQ(sample.len(), 0u);
  }
}

TEST(VecSet, RandomSampleOfAllRowsIsAPermutation) {
  const VecSet<float> source = numbered(50);
  ChaCha12Rng rng = fixed_rng();
  const VecSet<float> sample = source.random_sample(50, rng);
  EXPECT_EQ(sample.dim(), 3u);
  Rows got = rows_of(sample);
  ASSERT_EQ(got.size(), 50u);
  EXPECT_NE(got, rows_of(source)) << "50 rows came out in their original order";
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, rows_of(source));  // numbered rows sort back into row order
  EXPECT_EQ(source, numbered(50));
}

TEST(VecSet, RandomSampleOfMoreThanAllRowsFails) {
  for (std::uint64_t rows : {0, 1, 7}) {
    SCOPED_TRACE(rows);
    const VecSet<float> source = numbered(rows);
    ChaCha12Rng rng = fixed_rng();
    EXPECT_NE(failure_of([&] { (void)source.random_sample(rows + 1, rng); }), kNoFailure);
    EXPECT_NE(failure_of([&] { (void)source.random_sample(rows + 100, rng); }), kNoFailure);
    EXPECT_EQ(source, numbered(rows));
  }
}

// The sample is the prefix of a Fisher-Yates shuffle of all row numbers from the end, each
// position p drawing from [0, p] with the given generator.
TEST(VecSet, RandomSampleIsAPrefixOfTheFisherYatesShuffle) {
  const std::uint64_t rows = 37;
  const VecSet<float> source = numbered(rows);
  for (std::uint64_t n : {std::uint64_t{1}, std::uint64_t{5}, std::uint64_t{36}, rows}) {
    SCOPED_TRACE(n);
    ChaCha12Rng reference_rng = fixed_rng(static_cast<std::uint8_t>(n));
    std::vector<std::uint64_t> order(rows);
    std::iota(order.begin(), order.end(), std::uint64_t{0});
    for (std::uint64_t p = rows - 1; p >= 1; --p)
      std::swap(order[p], order[reference_rng.gen_index(p + 1)]);

    ChaCha12Rng rng = fixed_rng(static_cast<std::uint8_t>(n));
    const VecSet<float> sample = source.random_sample(n, rng);
    ASSERT_EQ(sample.len(), n);
    for (std::uint64_t j = 0; j < n; ++j) {
      const std::span<const float> got = sample[j], want = source[order[j]];
      EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin())) << "sample row " << j;
    }
    // The generator was used for exactly the shuffle's draws.
    EXPECT_EQ(rng.next_u64(), reference_rng.next_u64());
    // The same seed gives the same sample.
    ChaCha12Rng again = fixed_rng(static_cast<std::uint8_t>(n));
    EXPECT_EQ(source.random_sample(n, again), sample);
  }
  EXPECT_EQ(source, numbered(rows));
}

TEST(VecSet, ToTypeConvertsElementByElement) {
  const VecSet<float> empty = VecSet<float>::with_capacity(4, 3);
  const VecSet<float> empty_copy = empty.to_type<float>();
  EXPECT_EQ(empty_copy.dim(), 4u);
  EXPECT_EQ(empty_copy.len(), 0u);
  const VecSet<std::uint8_t> empty_bytes = empty.to_type<std::uint8_t>();
  EXPECT_EQ(empty_bytes.dim(), 4u);
  EXPECT_EQ(empty_bytes.len(), 0u);

  const VecSet<std::uint8_t> codes(3, PodVec<std::uint8_t>{1, 2, 255, 0, 7, 128});
  const VecSet<float> floats = codes.to_type<float>();
  EXPECT_EQ(rows_of(floats), (Rows{{1, 2, 255}, {0, 7, 128}}));
  EXPECT_EQ(floats.to_type<std::uint8_t>(), codes);
  EXPECT_EQ(abcd().to_type<float>(), abcd());
}

}  // namespace
}  // namespace quillmere
