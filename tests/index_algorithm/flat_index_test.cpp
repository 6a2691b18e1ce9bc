#include "index_algorithm/flat_index.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/allocator.hpp"
#include "common/failure.hpp"
#include "common/random.hpp"
#include "distance/distance.hpp"
#include "distance/distance_algorithm.hpp"
#include "index_algorithm/index_operations.hpp"
#include "vec_set.hpp"
#include "test_support.hpp"

namespace quillmere {
namespace {

using testing_support::failure_of;
using testing_support::kNoFailure;

using Rows = std::vector<std::vector<float>>;
using Pairs = std::vector<CandidatePair>;

static_assert(IndexKNN<FlatIndex>);

const float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr DistanceAlgorithm kAlgorithms[] = {DistanceAlgorithm::L2Sqr, DistanceAlgorithm::Cosine};

FlatIndex make_index(DistanceAlgorithm d, std::uint64_t dim, const Rows& rows) {
  FlatIndex index(dim, d);
  std::vector<std::span<const float>> views(rows.begin(), rows.end());
  index.add_all(views);
  return index;
}

std::vector<std::uint64_t> indices_of(const Pairs& pairs) {
  std::vector<std::uint64_t> out;
  for (const CandidatePair& p : pairs) out.push_back(p.index);
  return out;
}

// (is NaN, distance with -0 == +0, row): the order of every search answer.
std::tuple<bool, float, std::uint64_t> order_key(const CandidatePair& p) {
  const bool nan = std::isnan(p.distance);
  return {nan, nan ? 0.0f : p.distance + 0.0f, p.index};
}

// Every row's distance with q on the left, fully sorted, first k kept.
Pairs brute_force(DistanceAlgorithm d, const VecSet<float>& rows, std::span<const float> q,
                  std::uint64_t k) {
  Pairs all;
  for (std::uint64_t r = 0; r < rows.len(); ++r) all.push_back({r, distance(d, q, rows[r])});
  std::sort(all.begin(), all.end(), [](const CandidatePair& a, const CandidatePair& b) {
    return order_key(a) < order_key(b);
  });
  if (all.size() > k) all.resize(k);
  return all;
}

// Same rows, and the same distance bits (any NaN matches any NaN).
void expect_same_answer(const Pairs& got, const Pairs& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i].index, want[i].index) << "position " << i;
    if (std::isnan(want[i].distance)) {
      ASSERT_TRUE(std::isnan(got[i].distance)) << "position " << i;
    } else {
      ASSERT_EQ(std::bit_cast<std::uint32_t>(got[i].distance),
                std::bit_cast<std::uint32_t>(want[i].distance))
          << "position " << i << ": " << got[i].distance << " vs " << want[i].distance;
    }
  }
}

TEST(FlatIndex, DimensionZero) {
  EXPECT_NE(failure_of([] { FlatIndex(0, DistanceAlgorithm::L2Sqr); }), kNoFailure);
  const FlatIndex index(DistanceAlgorithm::Cosine, VecSet<float>::with_capacity(0, 4));
  const std::vector<float> q{1, 2};
  for (std::uint64_t k : {0, 3})
    EXPECT_EQ(failure_of([&] { (void)index.knn(q, k); }), "chunk size must be non-zero");
}

TEST(FlatIndex, EmptyAnswers) {
  const std::vector<float> q{1, 2, 3};
  for (DistanceAlgorithm d : kAlgorithms) {
    SCOPED_TRACE(name(d));
    const FlatIndex empty(3, d);
    EXPECT_EQ(empty.dist(), d);
    EXPECT_EQ(empty.vec_set().len(), 0u);
    for (std::uint64_t k : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{5},
                            std::numeric_limits<std::uint64_t>::max()})
      EXPECT_TRUE(empty.knn(q, k).empty());
    const FlatIndex full = make_index(d, 3, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}});
    EXPECT_TRUE(full.knn(q, 0).empty());
  }
}

TEST(FlatIndex, MoreThanAllRowsAnswersEveryRowAscending) {
  const FlatIndex index =
      make_index(DistanceAlgorithm::L2Sqr, 2, {{3, 0}, {1, 0}, {-2, 0}, {0, 0}, {1, 0}});
  const std::vector<float> q{0, 0};
  for (std::uint64_t k : {std::uint64_t{5}, std::uint64_t{6}, std::uint64_t{1000},
                          std::numeric_limits<std::uint64_t>::max()}) {
    SCOPED_TRACE(k);
    const Pairs got = index.knn(q, k);
    EXPECT_EQ(indices_of(got), (std::vector<std::uint64_t>{3, 1, 4, 2, 0}));
    expect_same_answer(got, brute_force(index.dist(), index.vec_set(), q, k));
  }
}

// Rows 4, 1 and 6 are equally near: the smaller row numbers win the cut-off and order first.
TEST(FlatIndex, TiesGoToTheSmallerRows) {
  struct Case {
    DistanceAlgorithm d;
    Rows rows;
    std::vector<float> q;
  };
  const Case cases[] = {
      {DistanceAlgorithm::L2Sqr, {{5, 5}, {1, 0}, {3, 3}, {4, 4}, {0, 1}, {9, 9}, {-1, 0}}, {0, 0}},
      {DistanceAlgorithm::Cosine,
       {{-1, 0}, {1, 0}, {0, -3}, {-2, 1}, {0, 1}, {-1, -1}, {1, 0}},
       {1, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(name(c.d));
    const FlatIndex index = make_index(c.d, 2, c.rows);
    const Pairs two = index.knn(c.q, 2);
    EXPECT_EQ(indices_of(two), (std::vector<std::uint64_t>{1, 4}));
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].distance, two[1].distance);
    EXPECT_EQ(indices_of(index.knn(c.q, 3)), (std::vector<std::uint64_t>{1, 4, 6}));
    EXPECT_EQ(indices_of(index.knn(c.q, 1)), (std::vector<std::uint64_t>{1}));
  }
}

// The query's length is never compared with the dimension: L2Sqr runs over the common prefix,
// Cosine's dot product over the common prefix and each norm over its whole vector.
TEST(FlatIndex, QueriesOfOtherLengthsAreNotRefused) {
  const Rows rows = {{1, 2, 100, 100}, {1, 2, 0, 0}, {0, 0, 5, 5}, {-1, 2, 3, -4}, {0, 0, 0, 0}};
  const std::vector<std::vector<float>> queries = {{1, 2}, {}, {3}, {1, 2, 0, 0, 9, 9}};
  for (DistanceAlgorithm d : kAlgorithms) {
    const FlatIndex index = make_index(d, 4, rows);
    for (const auto& q : queries) {
      SCOPED_TRACE(testing::Message() << name(d) << ", query length " << q.size());
      expect_same_answer(index.knn(q, 10), brute_force(d, index.vec_set(), q, 10));
    }
  }
  const std::vector<float> q{1, 2};
  // Rows 0 and 1 both match the query's two positions exactly.
  const Pairs l2 = make_index(DistanceAlgorithm::L2Sqr, 4, rows).knn(q, 2);
  EXPECT_EQ(indices_of(l2), (std::vector<std::uint64_t>{0, 1}));
  EXPECT_EQ(l2[0].distance, 0.0f);
  // Row 1's whole norm equals the query's, so only row 1 is at cosine distance ~0.
  const Pairs cosine = make_index(DistanceAlgorithm::Cosine, 4, rows).knn(q, 5);
  EXPECT_EQ(cosine[0].index, 1u);
  EXPECT_NEAR(cosine[0].distance, 0.0f, 1e-6f);
  EXPECT_GT(cosine[1].distance, 0.5f);
}

// Under both algorithms a NaN element gives a NaN distance. NaN rows are taken only while the
// result has room and then rank after every numeric row, by row number.
TEST(FlatIndex, NaNRowsRankLastAndOnlyFillFreeRoom) {
  const Rows rows = {{kNaN, 1}, {1, 1}, {2, 1}, {1, kNaN}, {3, 1}};
  const std::vector<float> q{0, 1};
  struct Case {
    std::uint64_t k;
    std::vector<std::uint64_t> rows;
  };
  // Row 0 (NaN) is taken first and evicted by the next number whenever the set is full.
  const Case cases[] = {{1, {1}},          {2, {1, 2}},          {3, {1, 2, 4}},
                        {4, {1, 2, 4, 0}}, {5, {1, 2, 4, 0, 3}}, {9, {1, 2, 4, 0, 3}}};
  for (DistanceAlgorithm d : kAlgorithms) {
    const FlatIndex index = make_index(d, 2, rows);
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << name(d) << ", k " << c.k);
      const Pairs got = index.knn(q, c.k);
      EXPECT_EQ(indices_of(got), c.rows);
      expect_same_answer(got, brute_force(d, index.vec_set(), q, c.k));
    }
  }
  // Offered after the numeric rows, a NaN row finds the set full and is refused.
  const FlatIndex late = make_index(DistanceAlgorithm::L2Sqr, 2, {{1, 1}, {2, 1}, {kNaN, 1}});
  EXPECT_EQ(indices_of(late.knn(q, 2)), (std::vector<std::uint64_t>{0, 1}));
  EXPECT_EQ(indices_of(late.knn(q, 3)), (std::vector<std::uint64_t>{0, 1, 2}));
}

// Values from a small grid, so that equal distances are common and ties are decided across
// blocks of rows; a few rows repeat an earlier row or the query, or are all zeros.
VecSet<float> grid_rows(ChaCha12Rng& rng, std::uint64_t dim, std::uint64_t rows, bool coarse) {
  VecSet<float> set = VecSet<float>::with_capacity(dim, rows);
  std::vector<float> v(dim);
  for (std::uint64_t r = 0; r < rows; ++r) {
    const std::uint64_t kind = rng.gen_index(40);
    if (kind == 0 && r > 0) {
      const std::span<const float> earlier = set[rng.gen_index(r)];
      set.push(std::vector<float>(earlier.begin(), earlier.end()));
      continue;
    }
    for (float& x : v)
      x = kind == 1                            ? 0.0f
          : kind == 2 && rng.gen_index(2) == 0 ? -0.0f
          : coarse ? static_cast<float>(static_cast<int>(rng.gen_index(5)) - 2) * 0.5f
                   : rng.gen_f32(2.0f) - 1.0f;
    set.push(v);
  }
  return set;
}

TEST(FlatIndex, MatchesBruteForceBitForBit) {
  ChaCha12Rng rng(ChaCha12Rng::Seed{0x51, 0x7e, 0x11});
  const std::uint64_t dims[] = {1, 7, 8, 16, 33, 128, 300};
  for (std::uint64_t dim : dims) {
    // More than one block of rows (4096 in a kernel call), and a count that is no multiple of
    // any lane width.
    const std::uint64_t rows = dim >= 128 ? 4096 + 1337 : 2 * 4096 + 809;
    for (bool coarse : {true, false}) {
      const VecSet<float> set = grid_rows(rng, dim, rows, coarse);
      for (DistanceAlgorithm d : kAlgorithms) {
        const FlatIndex index(d, set);
        for (int query = 0; query < 4; ++query) {
          // Queries of the dimension, one row of the set, and (dim > 3) shorter and longer.
          const std::span<const float> row = set[rng.gen_index(rows)];
          std::vector<float> q(row.begin(), row.end());
          if (query == 1)
            for (float& x : q) x = rng.gen_f32(2.0f) - 1.0f;
          if (query == 2 && dim > 3) q.resize(dim - 3);
          if (query == 3) q.resize(dim + 5, 0.5f);
          const Pairs all = brute_force(d, set, q, rows);
          for (std::uint64_t k : {std::uint64_t{1}, std::uint64_t{10}, std::uint64_t{100}, rows}) {
            SCOPED_TRACE(testing::Message() << name(d) << ", dim " << dim << ", coarse " << coarse
                                            << ", query " << query << ", k " << k);
            expect_same_answer(index.knn(q, k), Pairs(all.begin(), all.begin() + k));
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace quillmere
