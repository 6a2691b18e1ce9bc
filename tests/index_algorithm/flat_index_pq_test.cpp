#include "index_algorithm/flat_index.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "common/allocator.hpp"
#include "common/failure.hpp"
#include "common/random.hpp"
#include "distance/distance.hpp"
#include "distance/distance_algorithm.hpp"
#include "distance/pq_table.hpp"
#include "index_algorithm/candidate_pair.hpp"
#include "index_algorithm/index_operations.hpp"
#include "vec_set.hpp"
#include "test_support.hpp"

namespace quillmere {
namespace {

using testing_support::failure_of;
using testing_support::fixed_rng;
using testing_support::kNoFailure;
using testing_support::same_bits;

using Row = std::vector<float>;
using Pairs = std::vector<CandidatePair>;

static_assert(IndexPQ<FlatIndex>);

constexpr std::uint64_t kDim = 16;
constexpr std::uint64_t kRows = 1100;  // more than one scoring block of the flat index
const float kNaN = std::numeric_limits<float>::quiet_NaN();

// Random rows; the second half are the first half negated, so a zero query ties them in pairs.
VecSet<float> make_rows(unsigned seed, bool with_nan = false) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> flat(kRows * kDim);
  for (std::uint64_t i = 0; i < kRows / 2 * kDim; ++i) flat[i] = u(gen);
  for (std::uint64_t i = 0; i < kRows / 2 * kDim; ++i) flat[kRows / 2 * kDim + i] = -flat[i];
  if (with_nan)
    for (std::uint64_t r : {3u, 600u, 1099u}) flat[r * kDim + r % kDim] = kNaN;
  return VecSet<float>(kDim, PodVec<float>(std::span<const float>(flat)));
}

Row random_query(unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  Row q(kDim);
  for (float& x : q) x = u(gen);
  return q;
}

// (is NaN, distance, row): the order of candidates, -0.0 equal to +0.0.
std::tuple<bool, float, std::uint64_t> key(const CandidatePair& p) {
  const bool nan = std::isnan(p.distance);
  return {nan, nan ? 0.0f : p.distance, p.index};
}

// The max(ef, k) best codes by quantized distance (full sort by distance, then row), each then
// offered in that order with its exact distance to a set of k that refuses NaN and ties with
// its worst member once full.
Pairs reference_knn_pq(const FlatIndex& index, const PQTable& table, std::span<const float> q,
                       std::uint64_t k, std::uint64_t ef) {
  const PQLookupTable lookup = table.create_lookup(q);
  Pairs quantized;
  for (std::uint64_t r = 0; r < table.encoded_vec_set().len(); ++r)
    quantized.push_back({r, distance(index.dist(), table.encoded_vec_set()[r], lookup)});
  std::sort(quantized.begin(), quantized.end(),
            [](const CandidatePair& a, const CandidatePair& b) { return key(a) < key(b); });
  quantized.resize(std::min<std::size_t>(quantized.size(), std::max(ef, k)));
  Pairs out;
  for (const CandidatePair& c : quantized) {
    const float exact = distance(index.dist(), q, index.vec_set()[c.index]);
    if (out.size() >= k) {
      if (k == 0 || std::isnan(exact) || exact >= out.back().distance) continue;
      out.pop_back();
    }
    const CandidatePair p{c.index, exact};
    out.insert(std::upper_bound(
                   out.begin(), out.end(), p,
                   [](const CandidatePair& a, const CandidatePair& b) { return key(a) < key(b); }),
               p);
  }
  return out;
}

::testing::AssertionResult same_pairs(const Pairs& expected, const Pairs& actual) {
  if (expected.size() != actual.size())
    return ::testing::AssertionFailure() << "sizes " << expected.size() << " vs " << actual.size();
  for (std::size_t i = 0; i < expected.size(); ++i)
    if (expected[i].index != actual[i].index ||
        !same_bits(expected[i].distance, actual[i].distance))
      return ::testing::AssertionFailure()
             << "entry " << i << ": expected (" << expected[i].index << ", " << expected[i].distance
             << "), got (" << actual[i].index << ", " << actual[i].distance << ")";
  return ::testing::AssertionSuccess();
}

struct PQCase {
  const char* name;
  FlatIndex index;
  PQTable table;
};

class FlatIndexPQTest : public ::testing::Test {
 protected:
  static const std::vector<PQCase>& cases() {
    static const std::vector<PQCase> all = [] {
      struct Build {
        const char* name;
        DistanceAlgorithm d;
        std::uint64_t n_bits, m;
        bool with_nan;
      };
      const Build builds[] = {
          {"L2Sqr 8 bits m 4", DistanceAlgorithm::L2Sqr, 8, 4, false},
          {"Cosine 8 bits m 4", DistanceAlgorithm::Cosine, 8, 4, false},
          {"L2Sqr 4 bits m 5", DistanceAlgorithm::L2Sqr, 4, 5, false},
          {"Cosine 4 bits m 3", DistanceAlgorithm::Cosine, 4, 3, false},
          {"L2Sqr 4 bits m 4 with NaN rows", DistanceAlgorithm::L2Sqr, 4, 4, true},
          {"Cosine 4 bits m 2 with NaN rows", DistanceAlgorithm::Cosine, 4, 2, true},
      };
      std::vector<PQCase> out;
      unsigned seed = 1;
      for (const Build& s : builds) {
        FlatIndex index(s.d, make_rows(seed, s.with_nan));
        ChaCha12Rng rng = fixed_rng(static_cast<std::uint8_t>(seed++));
        PQTable table =
            PQTable::from_vec_set(index.vec_set(), PQConfig{s.n_bits, s.m, s.d, 300, 3, 0.0f}, rng);
        out.push_back(PQCase{s.name, std::move(index), std::move(table)});
      }
      return out;
    }();
    return all;
  }
  static const PQCase& pq_case(std::size_t i) { return cases()[i]; }
};

TEST_F(FlatIndexPQTest, TableOfTheOtherDistanceIsRefused) {
  const PQCase& l2 = pq_case(0);
  const PQCase& cos = pq_case(1);
  const Row q = random_query(1);
  EXPECT_EQ(failure_of([&] { (void)cos.index.knn_pq(q, 3, 10, l2.table); }),
            "assertion `left == right` failed: Distance algorithm mismatch.\n  left: Cosine\n "
            "right: L2Sqr");
  EXPECT_EQ(failure_of([&] { (void)l2.index.knn_pq(q, 3, 10, cos.table); }),
            "assertion `left == right` failed: Distance algorithm mismatch.\n  left: L2Sqr\n "
            "right: Cosine");
  // The kinds are compared before the query's length.
  EXPECT_EQ(failure_of([&] { (void)l2.index.knn_pq(Row(3, 1.0f), 3, 10, cos.table); }),
            "assertion `left == right` failed: Distance algorithm mismatch.\n  left: L2Sqr\n "
            "right: Cosine");
}

TEST_F(FlatIndexPQTest, QueryOfAnotherLengthFailsInTheLookup) {
  const PQCase& s = pq_case(0);
  EXPECT_EQ(failure_of([&] { (void)s.index.knn_pq(Row(kDim - 1, 0.5f), 3, 10, s.table); }),
            "assertion `left == right` failed\n  left: 15\n right: 16");
  EXPECT_EQ(failure_of([&] { (void)s.index.knn_pq(Row(kDim + 1, 0.5f), 0, 0, s.table); }),
            "assertion `left == right` failed\n  left: 17\n right: 16");
}

TEST_F(FlatIndexPQTest, CodeSetWithoutDimensionFails) {
  const PQCase& s = pq_case(2);
  PQTable tampered = s.table;
  tampered.TEST_parts().encoded_vec_set = VecSet<std::uint8_t>::with_capacity(0, 0);
  EXPECT_EQ(failure_of([&] { (void)s.index.knn_pq(random_query(2), 3, 10, tampered); }),
            "chunk size must be non-zero");
}

TEST_F(FlatIndexPQTest, ZeroCountAnswersNothing) {
  for (const PQCase& s : cases()) {
    const Row q = random_query(3);
    EXPECT_TRUE(s.index.knn_pq(q, 0, 0, s.table).empty()) << s.name;
    EXPECT_TRUE(s.index.knn_pq(q, 0, 50, s.table).empty()) << s.name;
  }
}

TEST_F(FlatIndexPQTest, GathersByQuantizedDistanceThenReRanksExactly) {
  struct Search {
    std::uint64_t k, ef;
  };
  const Search searches[] = {{1, 0},   {5, 1},   {5, 5},   {7, 2},
                             {10, 40}, {3, 200}, {25, 30}, {9, kRows + 5}};
  for (const PQCase& s : cases()) {
    std::vector<Row> queries = {random_query(10), random_query(11), Row(kDim, 0.0f)};
    const std::span<const float> own = s.index.vec_set()[17];
    queries.emplace_back(own.begin(), own.end());
    for (std::size_t qi = 0; qi < queries.size(); ++qi) {
      const Row& q = queries[qi];
      for (const Search& search : searches) {
        const Pairs answer = s.index.knn_pq(q, search.k, search.ef, s.table);
        EXPECT_TRUE(same_pairs(reference_knn_pq(s.index, s.table, q, search.k, search.ef), answer))
            << s.name << ", query " << qi << ", k " << search.k << ", ef " << search.ef;
        ASSERT_EQ(answer.size(), search.k) << s.name;
        for (std::size_t i = 0; i < answer.size(); ++i) {
          EXPECT_TRUE(same_bits(distance(s.index.dist(), q, s.index.vec_set()[answer[i].index]),
                                answer[i].distance));
          if (i > 0) {
            EXPECT_LT(key(answer[i - 1]), key(answer[i])) << s.name << ": not nearest first";
          }
        }
        // A width below k gathers k candidates.
        if (search.ef < search.k) {
          EXPECT_TRUE(same_pairs(s.index.knn_pq(q, search.k, search.k, s.table), answer)) << s.name;
        }
      }
    }
  }
}

TEST_F(FlatIndexPQTest, WidthCoveringEveryRowGivesTheExactAnswer) {
  for (const PQCase& s : cases()) {
    for (unsigned seed : {20u, 21u, 22u}) {
      const Row q = random_query(seed);
      for (std::uint64_t k : {1u, 8u, 60u}) {
        EXPECT_TRUE(same_pairs(s.index.knn(q, k), s.index.knn_pq(q, k, kRows, s.table)))
            << s.name << ", k " << k;
        EXPECT_TRUE(same_pairs(s.index.knn(q, k), s.index.knn_pq(q, k, 5 * kRows, s.table)))
            << s.name << ", k " << k;
      }
    }
  }
}

}  // namespace
}  // namespace quillmere
