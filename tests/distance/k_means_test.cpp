#include "distance/k_means.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "common/allocator.hpp"
#include "common/failure.hpp"
#include "common/parallel.hpp"
#include "common/random.hpp"
#include "distance/distance.hpp"
#include "distance/distance_algorithm.hpp"
#include "vec_set.hpp"
#include "test_support.hpp"

namespace quillmere {
namespace {

using testing_support::failure_of;
using testing_support::fixed_rng;
using testing_support::kNoFailure;
using testing_support::same_bits;

using Row = std::vector<float>;
using Rows = std::vector<Row>;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();
constexpr DistanceAlgorithm kAlgorithms[] = {DistanceAlgorithm::L2Sqr, DistanceAlgorithm::Cosine};

VecSet<float> make_set(std::uint64_t dim, const Rows& rows) {
  PodVec<float> flat;
  for (const Row& r : rows) flat.append(std::span<const float>(r));
  return VecSet<float>(dim, std::move(flat));
}

Rows random_rows(std::size_t n, std::size_t dim, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  Rows rows(n, Row(dim));
  for (Row& r : rows)
    for (float& x : r) x = u(gen);
  return rows;
}

Rows rows_of(const VecSet<float>& set) {
  Rows out;
  for (std::span<const float> r : set.iter()) out.emplace_back(r.begin(), r.end());
  return out;
}

KMeansConfig config_of(std::uint64_t k, std::uint64_t max_iter, float tol, DistanceAlgorithm d,
                       std::optional<DimRange> selected = std::nullopt) {
  return KMeansConfig{k, max_iter, tol, d, selected};
}

// Element-wise bit equality (NaN matches NaN), with the first difference reported.
::testing::AssertionResult same_rows(const Rows& expected, const Rows& actual) {
  if (expected.size() != actual.size())
    return ::testing::AssertionFailure()
           << "row counts " << expected.size() << " vs " << actual.size();
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (expected[i].size() != actual[i].size())
      return ::testing::AssertionFailure() << "row " << i << " widths differ";
    for (std::size_t j = 0; j < expected[i].size(); ++j)
      if (!same_bits(expected[i][j], actual[i][j]))
        return ::testing::AssertionFailure() << "row " << i << " component " << j << ": expected "
                                             << expected[i][j] << ", got " << actual[i][j];
  }
  return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------------------------
// A straightforward k-means: k-means++ seeding over the selected components, then Lloyd.

Rows views_of(const Rows& rows, std::uint64_t start, std::uint64_t end) {
  Rows views;
  for (const Row& r : rows) views.emplace_back(r.begin() + start, r.begin() + end);
  return views;
}

std::uint64_t reference_nearest(const Row& v, const Rows& centroids, DistanceAlgorithm d) {
  std::uint64_t best = 0;
  float best_d = distance(d, v, centroids[0]);
  for (std::uint64_t j = 1; j < centroids.size(); ++j) {
    const float x = distance(d, v, centroids[j]);
    if (x < best_d || (std::isnan(best_d) && !std::isnan(x))) {
      best = j;
      best_d = x;
    }
  }
  return best;
}

Rows reference_seeds(const Rows& views, std::uint64_t k, DistanceAlgorithm d, ChaCha12Rng& rng) {
  const std::uint64_t n = views.size();
  Rows seeds{views[rng.gen_index(n)]};
  std::vector<float> weights(n, kInf);
  for (std::uint64_t i = 1; i < k; ++i) {
    for (std::uint64_t r = 0; r < n; ++r) {
      const float x = distance(d, seeds.back(), views[r]);
      if (x < weights[r]) weights[r] = x;
    }
    bool usable = true, any_positive = false;
    float total = 0.0f;
    for (float w : weights) {
      if (w < 0.0f || std::isinf(w)) usable = false;
      if (w > 0.0f) any_positive = true;
      total = total + w;
    }
    if (!any_positive || std::isinf(total)) usable = false;
    std::uint64_t pick = n;
    if (usable) {
      const float u = rng.gen_f32(total);
      float running = 0.0f;
      for (std::uint64_t r = 0; r < n; ++r) {
        running = running + weights[r];
        if (running > u) {
          pick = r;
          break;
        }
      }
    } else {
      pick = rng.gen_index(n);
    }
    EXPECT_LT(pick, n);
    seeds.push_back(views[pick]);
  }
  return seeds;
}

Rows reference_kmeans(const Rows& rows, const KMeansConfig& c, ChaCha12Rng& rng) {
  const DimRange range = c.selected.value_or(DimRange{0, rows[0].size()});
  const Rows views = views_of(rows, range.start, range.end);
  const std::size_t width = range.end - range.start;
  Rows centroids = reference_seeds(views, c.k, c.dist, rng);
  for (std::uint64_t iter = 0; iter < c.max_iter; ++iter) {
    std::vector<std::vector<std::uint64_t>> members(c.k);
    for (std::uint64_t r = 0; r < views.size(); ++r)
      members[reference_nearest(views[r], centroids, c.dist)].push_back(r);
    Rows next = centroids;
    for (std::uint64_t j = 0; j < c.k; ++j) {
      if (members[j].empty()) continue;
      Row sum(width, 0.0f);
      for (std::uint64_t r : members[j])
        for (std::size_t i = 0; i < width; ++i) sum[i] = sum[i] + views[r][i];
      for (float& x : sum) x = x / static_cast<float>(members[j].size());
      next[j] = sum;
    }
    float shift = -kInf;
    for (std::uint64_t j = 0; j < c.k; ++j) {
      const float s = distance(DistanceAlgorithm::L2Sqr, centroids[j], next[j]);
      if (!std::isnan(s) && shift < s) shift = s;
    }
    centroids = next;
    if (shift < c.tol) break;
  }
  return centroids;
}

// The configuration a model keeps, compared with the tolerance by bits (it may be NaN).
::testing::AssertionResult same_config(const KMeansConfig& expected, const KMeansConfig& actual) {
  KMeansConfig a = expected, b = actual;
  if (!same_bits(a.tol, b.tol)) return ::testing::AssertionFailure() << "tolerances differ";
  a.tol = b.tol = 0.0f;
  if (!(a == b)) return ::testing::AssertionFailure() << "configurations differ";
  return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------------------------

TEST(KMeansFailures, EachConditionStopsWithItsMessage) {
  const VecSet<float> five_dims = make_set(5, random_rows(6, 5, 1));
  const VecSet<float> no_rows = make_set(3, {});
  const VecSet<float> dim_zero = VecSet<float>::with_capacity(0, 0);
  const DistanceAlgorithm l2 = DistanceAlgorithm::L2Sqr;
  struct Case {
    const char* name;
    const VecSet<float>* set;
    KMeansConfig config;
    std::string message;
  };
  const Case cases[] = {
      {"k zero", &five_dims, config_of(0, 3, 0.0f, l2),
       "The number of clusters should be greater than 0."},
      {"k zero before an empty set", &no_rows, config_of(0, 3, 0.0f, l2),
       "The number of clusters should be greater than 0."},
      {"end beyond dim", &five_dims, config_of(2, 3, 0.0f, l2, DimRange{0, 6}),
       "The selected range should be in the range [0, vec_set.dim())"},
      {"end beyond dim before dim zero", &dim_zero, config_of(2, 3, 0.0f, l2, DimRange{0, 1}),
       "The selected range should be in the range [0, vec_set.dim())"},
      {"dim zero", &dim_zero, config_of(2, 3, 0.0f, l2), "chunk size must be non-zero"},
      {"empty set", &no_rows, config_of(2, 3, 0.0f, l2), "cannot sample empty range"},
      {"empty set, start beyond end", &no_rows, config_of(2, 3, 0.0f, l2, DimRange{3, 1}),
       "cannot sample empty range"},
      {"start equal to end with rows", &five_dims, config_of(2, 3, 0.0f, l2, DimRange{2, 2}),
       "attempt to divide by zero"},
  };
  for (const Case& c : cases) {
    ChaCha12Rng rng = fixed_rng();
    EXPECT_EQ(failure_of([&] { (void)KMeans::from_vec_set(*c.set, c.config, rng); }), c.message)
        << c.name;
  }
  // A start beyond the end fails as a slice range once the set has rows.
  ChaCha12Rng rng = fixed_rng();
  const std::string reversed = failure_of([&] {
    (void)KMeans::from_vec_set(five_dims, config_of(2, 3, 0.0f, l2, DimRange{4, 2}), rng);
  });
  EXPECT_EQ(reversed, "slice index starts at 4 but ends at 2");

  for (const VecSet<float>& empty :
       {VecSet<float>::with_capacity(3, 0), VecSet<float>::with_capacity(0, 0)})
    EXPECT_EQ(failure_of([&] {
                (void)find_nearest_base(std::vector<float>{1, 2, 3}, empty, l2);
              }),
              "The number of centroids should be greater than 0.");
}

TEST(KMeansFindNearest, TiesKeepTheEarlierAndNaNNeverDisplacesANumber) {
  // One-component centroids against the query [0]: the L2Sqr distance of centroid x is x * x.
  struct Case {
    const char* name;
    Row centroids;
    std::uint64_t nearest;
  };
  const Case cases[] = {
      {"single", {3}, 0},
      {"equal distances keep the earlier", {2, 1, -1}, 1},
      {"equal from the start", {1, -1, 1}, 0},
      {"NaN first is displaced", {kNaN, 3, 2}, 2},
      {"NaN never displaces", {0.5f, kNaN}, 0},
      {"NaN between numbers", {1, kNaN, 0.5f}, 2},
      {"all NaN", {kNaN, kNaN, kNaN}, 0},
  };
  for (const Case& c : cases) {
    const VecSet<float> centroids(1, PodVec<float>(std::span<const float>(c.centroids)));
    const auto [index, d] =
        find_nearest_base(std::vector<float>{0}, centroids, DistanceAlgorithm::L2Sqr);
    EXPECT_EQ(index, c.nearest) << c.name;
    EXPECT_TRUE(
        same_bits(d, distance(DistanceAlgorithm::L2Sqr, std::vector<float>{0}, centroids[index])))
        << c.name;
  }
  // Cosine: [1, 0] and [2, 0] are both at distance 0 from [3, 0]; the earlier one wins.
  const VecSet<float> cos_centroids = make_set(2, {{0, 1}, {2, 0}, {1, 0}});
  EXPECT_EQ(
      find_nearest_base(std::vector<float>{3, 0}, cos_centroids, DistanceAlgorithm::Cosine).first,
      1u);
  // A query with a NaN component is at NaN distance from every centroid: centroid 0.
  EXPECT_EQ(
      find_nearest_base(std::vector<float>{kNaN, 5}, cos_centroids, DistanceAlgorithm::L2Sqr).first,
      0u);
}

TEST(KMeansFindNearest, LooksOnlyAtTheSelectedComponents) {
  const VecSet<float> centroids = make_set(2, {{0, 0}, {10, 10}});
  const KMeans ranged{config_of(2, 0, 0.0f, DistanceAlgorithm::L2Sqr, DimRange{2, 4}), centroids};
  EXPECT_EQ(ranged.find_nearest(std::vector<float>{10, 10, 0, 0, 10, 10}), 0u);
  EXPECT_EQ(ranged.find_nearest(std::vector<float>{0, 0, 9, 9, 0, 0}), 1u);
  EXPECT_EQ(ranged.find_nearest(std::vector<float>{0, 0, 9, 9}), 1u);  // end == length
  EXPECT_EQ(failure_of([&] {
              (void)ranged.find_nearest(std::vector<float>{0, 0, 9});
            }),
            "range end index 4 out of range for slice of length 3");
  // Without a range the first centroid-width components are compared.
  const KMeans whole{config_of(2, 0, 0.0f, DistanceAlgorithm::L2Sqr), centroids};
  EXPECT_EQ(whole.find_nearest(std::vector<float>{10, 10, 0, 0}), 1u);
  EXPECT_EQ(whole.find_nearest(std::vector<float>{1, 1, 10, 10}), 0u);
}

TEST(KMeansLloyd, OneClusterConvergesToTheRowOrderMean) {
  // Row order matters: 1e8 + 1 rounds back to 1e8, so the sum in row order is exactly 1, and
  // all-negative-zero components sum from +0.0 to +0.0.
  const Rows rows = {{1e8f, -0.0f}, {1, -0.0f}, {-1e8f, -0.0f}, {1, -0.0f}};
  for (DistanceAlgorithm d : kAlgorithms) {
    for (float tol : {1e-6f, 0.0f, kNaN}) {
      ChaCha12Rng rng = fixed_rng();
      const KMeans model = KMeans::from_vec_set(make_set(2, rows), config_of(1, 10, tol, d), rng);
      ASSERT_EQ(model.centroids.len(), 1u);
      EXPECT_TRUE(same_rows({{0.25f, 0.0f}}, rows_of(model.centroids)))
          << name(d) << " tol " << tol;
      EXPECT_TRUE(same_config(config_of(1, 10, tol, d), model.config));
    }
  }
  // Over a larger set: the mean is the sum in row order from +0.0 divided by the count.
  const Rows many = random_rows(37, 3, 7);
  Row mean(3, 0.0f);
  for (const Row& r : many)
    for (std::size_t i = 0; i < 3; ++i) mean[i] = mean[i] + r[i];
  for (float& x : mean) x = x / 37.0f;
  ChaCha12Rng rng = fixed_rng(3);
  const KMeans model = KMeans::from_vec_set(make_set(3, many),
                                            config_of(1, 5, 1e-3f, DistanceAlgorithm::L2Sqr), rng);
  EXPECT_TRUE(same_rows({mean}, rows_of(model.centroids)));
}

TEST(KMeansSeeding, NoIterationsReturnsTheSeedRowsSelectedComponents) {
  const Rows rows = random_rows(50, 5, 11);
  const VecSet<float> set = make_set(5, rows);
  for (DistanceAlgorithm d : kAlgorithms) {
    // k = 1: the first seed is row gen_index(n).
    ChaCha12Rng rng = fixed_rng(1), copy = rng;
    const KMeans one = KMeans::from_vec_set(set, config_of(1, 0, 0.0f, d, DimRange{3, 5}), rng);
    const Row& first = rows[copy.gen_index(rows.size())];
    EXPECT_TRUE(same_rows({{first[3], first[4]}}, rows_of(one.centroids)));
    EXPECT_EQ(rng.next_u32(), copy.next_u32());  // nothing else drawn for one cluster

    // Every seed is some row's components 1..4, and the end equal to the dimension is accepted.
    for (DimRange range : {DimRange{1, 4}, DimRange{0, 5}, DimRange{4, 5}}) {
      ChaCha12Rng r = fixed_rng(2);
      const KMeans model = KMeans::from_vec_set(set, config_of(8, 0, 0.0f, d, range), r);
      ASSERT_EQ(model.centroids.dim(), range.end - range.start);
      ASSERT_EQ(model.centroids.len(), 8u);
      const Rows views = views_of(rows, range.start, range.end);
      for (const Row& c : rows_of(model.centroids)) {
        bool found = false;
        for (const Row& v : views) found = found || same_rows({v}, {c});
        EXPECT_TRUE(found);
      }
    }
  }
}

TEST(KMeansSeeding, RepeatedRowsGiveRepeatedCentroidsThatKeepTheirPositions) {
  // All rows identical: every centroid is that row, whatever the iterations.
  const Rows same(9, Row{0.5f, -2.0f, 3.0f});
  for (DistanceAlgorithm d : kAlgorithms) {
    ChaCha12Rng rng = fixed_rng();
    const KMeans model = KMeans::from_vec_set(make_set(3, same), config_of(4, 5, 0.0f, d), rng);
    EXPECT_TRUE(same_rows(Rows(4, same[0]), rows_of(model.centroids))) << name(d);
  }
  // Two distinct rows and k = 3: the seeds are both rows plus a repeat; the higher-index copy
  // gets no member and keeps its position, so the iterations change nothing.
  const Rows two = {{0, 0}, {10, 10}, {0, 0}, {10, 10}, {10, 10}};
  for (std::uint8_t salt = 0; salt < 6; ++salt) {
    ChaCha12Rng a = fixed_rng(salt), b = fixed_rng(salt);
    const Rows seeds = rows_of(
        KMeans::from_vec_set(make_set(2, two), config_of(3, 0, 0.0f, DistanceAlgorithm::L2Sqr), a)
            .centroids);
    const Rows final = rows_of(
        KMeans::from_vec_set(make_set(2, two), config_of(3, 6, 0.0f, DistanceAlgorithm::L2Sqr), b)
            .centroids);
    ASSERT_EQ(seeds.size(), 3u);
    EXPECT_NE(seeds[0], seeds[1]);
    EXPECT_TRUE(seeds[2] == seeds[0] || seeds[2] == seeds[1]);
    EXPECT_TRUE(same_rows(seeds, final));
  }
}

TEST(KMeansSeeding, RowsWithNaNKeepInfiniteWeightsAndJoinClusterZero) {
  Rows rows = random_rows(20, 2, 5);
  rows[7] = {kNaN, 0.25f};
  rows[13] = {0.5f, kNaN};
  const VecSet<float> set = make_set(2, rows);
  for (DistanceAlgorithm d : kAlgorithms) {
    ChaCha12Rng seed_rng = fixed_rng(4);
    const KMeans seeds = KMeans::from_vec_set(set, config_of(5, 0, 0.0f, d), seed_rng);
    EXPECT_EQ(seeds.centroids.len(), 5u);
    // One iteration: the NaN rows join cluster 0, whose mean becomes NaN in both components.
    ChaCha12Rng rng = fixed_rng(4);
    const KMeans model = KMeans::from_vec_set(set, config_of(5, 1, 0.0f, d), rng);
    ASSERT_EQ(model.centroids.len(), 5u);
    EXPECT_TRUE(std::isnan(model.centroids[0][0]) && std::isnan(model.centroids[0][1])) << name(d);
    EXPECT_EQ(model.find_nearest(rows[7]), 0u);
    // Same seeds, same generator use as the straightforward k-means.
    ChaCha12Rng ref_rng = fixed_rng(4), longer_rng = fixed_rng(4);
    const KMeans longer = KMeans::from_vec_set(set, config_of(5, 4, 0.0f, d), longer_rng);
    EXPECT_TRUE(same_rows(reference_kmeans(rows, config_of(5, 4, 0.0f, d), ref_rng),
                          rows_of(longer.centroids)))
        << name(d);
  }
}

TEST(KMeansReference, MatchesAStraightforwardImplementationBitForBit) {
  Rows parallel;  // Cosine: rows along four directions, so some weights round below zero
  {
    const Rows dirs = random_rows(4, 6, 21);
    std::mt19937 gen(22);
    std::uniform_real_distribution<float> scale(0.1f, 30.0f);
    for (int i = 0; i < 120; ++i) {
      Row r = dirs[i % 4];
      const float s = scale(gen);
      for (float& x : r) x = x * s;
      parallel.push_back(r);
    }
  }
  Rows few_distinct;
  for (int i = 0; i < 40; ++i) few_distinct.push_back(random_rows(3, 6, 31)[i % 3]);
  Rows with_zeros = random_rows(60, 6, 41);
  for (int i = 0; i < 60; i += 7) with_zeros[i] = Row(6, 0.0f);
  const Rows random = random_rows(300, 6, 51);

  struct Data {
    const char* name;
    const Rows* rows;
  };
  const Data datasets[] = {{"random", &random},
                           {"parallel", &parallel},
                           {"few distinct", &few_distinct},
                           {"with zeros", &with_zeros}};
  struct Setting {
    std::uint64_t k, max_iter;
    float tol;
    std::optional<DimRange> selected;
  };
  const Setting settings[] = {
      {1, 3, 0.0f, std::nullopt},   {2, 10, 1e-4f, DimRange{0, 6}}, {7, 0, 0.0f, DimRange{2, 5}},
      {7, 1, 0.0f, std::nullopt},   {16, 4, 0.0f, DimRange{1, 6}},  {16, 30, 1e-3f, std::nullopt},
      {5, 6, kInf, DimRange{3, 4}}, {5, 6, kNaN, std::nullopt},     {64, 2, 0.0f, DimRange{0, 2}},
  };
  for (const Data& data : datasets) {
    const VecSet<float> set = make_set(6, *data.rows);
    for (DistanceAlgorithm d : kAlgorithms) {
      for (const Setting& s : settings) {
        const KMeansConfig c = config_of(s.k, s.max_iter, s.tol, d, s.selected);
        ChaCha12Rng rng = fixed_rng(9), ref_rng = fixed_rng(9);
        const KMeans model = KMeans::from_vec_set(set, c, rng);
        EXPECT_TRUE(same_config(c, model.config));
        EXPECT_TRUE(same_rows(reference_kmeans(*data.rows, c, ref_rng), rows_of(model.centroids)))
            << data.name << ", " << name(d) << ", k " << s.k << ", max_iter " << s.max_iter
            << ", tol " << s.tol;
        EXPECT_EQ(rng.next_u64(), ref_rng.next_u64()) << "generator use differs: " << data.name;
      }
    }
  }
}

TEST(KMeansLloyd, InfiniteToleranceStopsAfterOneIteration) {
  const VecSet<float> set = make_set(4, random_rows(200, 4, 61));
  for (DistanceAlgorithm d : kAlgorithms) {
    ChaCha12Rng a = fixed_rng(), b = fixed_rng(), c = fixed_rng(), e = fixed_rng();
    const KMeans once = KMeans::from_vec_set(set, config_of(6, 1, 0.0f, d), a);
    const KMeans stopped = KMeans::from_vec_set(set, config_of(6, 50, kInf, d), b);
    EXPECT_EQ(once.centroids, stopped.centroids);
    // A NaN tolerance never stops early: it runs as far as a zero tolerance.
    const KMeans nan_tol = KMeans::from_vec_set(set, config_of(6, 3, kNaN, d), c);
    const KMeans zero_tol = KMeans::from_vec_set(set, config_of(6, 3, 0.0f, d), e);
    EXPECT_EQ(nan_tol.centroids, zero_tol.centroids);
    EXPECT_NE(once.centroids, zero_tol.centroids);
  }
}

TEST(KMeansPool, CentroidsDoNotDependOnThePoolSize) {
  const Rows rows = random_rows(3000, 16, 71);
  const VecSet<float> set = make_set(16, rows);
  struct Setting {
    DistanceAlgorithm d;
    std::uint64_t k, max_iter;
    std::optional<DimRange> selected;
  };
  const Setting settings[] = {
      {DistanceAlgorithm::L2Sqr, 16, 6, std::nullopt},
      {DistanceAlgorithm::Cosine, 16, 6, DimRange{4, 12}},
      {DistanceAlgorithm::L2Sqr, 256, 3, DimRange{0, 4}},
      {DistanceAlgorithm::Cosine, 256, 3, DimRange{10, 16}},
  };
  for (const Setting& s : settings) {
    const KMeansConfig c = config_of(s.k, s.max_iter, 0.0f, s.d, s.selected);
    PodVec<float> with_one, with_eight;
    {
      pool::ScopedThreadCount one(1);
      ChaCha12Rng rng = fixed_rng(5);
      with_one = KMeans::from_vec_set(set, c, rng).centroids.data();
    }
    {
      pool::ScopedThreadCount eight(8);
      ChaCha12Rng rng = fixed_rng(5);
      with_eight = KMeans::from_vec_set(set, c, rng).centroids.data();
    }
    EXPECT_EQ(with_one.size(), s.k * (s.selected ? s.selected->end - s.selected->start : 16));
    EXPECT_TRUE(with_one == with_eight) << name(s.d) << ", k " << s.k;
  }
}

}  // namespace
}  // namespace quillmere
