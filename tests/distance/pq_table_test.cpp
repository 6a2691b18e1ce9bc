#include "distance/pq_table.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <random>
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
#include "distance/k_means.hpp"
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
using Bytes = std::vector<std::uint8_t>;

constexpr DistanceAlgorithm kAlgorithms[] = {DistanceAlgorithm::L2Sqr, DistanceAlgorithm::Cosine};

VecSet<float> random_set(std::size_t n, std::size_t dim, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  PodVec<float> flat;
  for (std::size_t i = 0; i < n * dim; ++i) flat.push_back(u(gen));
  return VecSet<float>(dim, std::move(flat));
}

PQConfig pq_config(std::uint64_t n_bits, std::uint64_t m, DistanceAlgorithm d,
                   std::optional<std::uint64_t> train_size = std::nullopt,
                   std::uint64_t max_iter = 3, float tol = 0.0f) {
  return PQConfig{n_bits, m, d, train_size, max_iter, tol};
}

// The centroid chosen for sub-space g by a code, under either layout.
unsigned code_of(std::span<const std::uint8_t> code, std::uint64_t n_bits, std::uint64_t g) {
  return n_bits == 4 ? (code[g / 2] >> (4 * (g % 2))) & 0xFu : code[g];
}

// The quantized distance by its definition: sums from +0.0 in sub-space order.
float reference_quantized(const PQTable& t, const PQLookupTable& lookup,
                          std::span<const std::uint8_t> code) {
  float s = 0.0f, n = 0.0f;
  for (std::uint64_t g = 0; g < t.config().m; ++g) {
    const std::uint64_t idx = (g << t.config().n_bits) + code_of(code, t.config().n_bits, g);
    s = s + lookup.values[idx];
    n = n + t.centroid_sq_norms()[idx];
  }
  if (t.config().dist == DistanceAlgorithm::L2Sqr) return s;
  float den = std::sqrt(n) * lookup.query_norm;
  if (!(den > 1e-10f)) den = 1e-10f;
  return 1.0f - s / den;
}

// Random codes of the table's layout, every centroid index reachable; spare bits are 0.
VecSet<std::uint8_t> random_codes(const PQTable& t, std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  PodVec<std::uint8_t> flat;
  for (std::size_t i = 0; i < n; ++i) {
    Bytes code(t.code_len(), 0);
    for (std::uint64_t g = 0; g < t.config().m; ++g) {
      const unsigned c = gen() % t.k();
      if (t.config().n_bits == 8)
        code[g] = static_cast<std::uint8_t>(c);
      else
        code[g / 2] = static_cast<std::uint8_t>(code[g / 2] | (c << (4 * (g % 2))));
    }
    flat.append(std::span<const std::uint8_t>(code));
  }
  return VecSet<std::uint8_t>(t.code_len(), std::move(flat));
}

// The same codes with random, non-zero upper bits in the last byte of every code (4 bits, odd m).
VecSet<std::uint8_t> with_spare_nibble(const PQTable& t, VecSet<std::uint8_t> codes,
                                       unsigned seed) {
  if (t.config().n_bits != 4 || t.config().m % 2 == 0) return codes;
  std::mt19937 gen(seed);
  for (std::uint64_t r = 0; r < codes.len(); ++r) {
    std::uint8_t& last = codes.row_mut(r).back();
    last = static_cast<std::uint8_t>(last | ((1 + gen() % 15) << 4));
  }
  return codes;
}

// ---------------------------------------------------------------------------------------------

TEST(PQGroups, SplitsIntoContiguousRangesLargerFirst) {
  using G = std::vector<DimRange>;
  EXPECT_EQ(pq_groups(10, 4), (G{{0, 3}, {3, 6}, {6, 8}, {8, 10}}));
  EXPECT_EQ(pq_groups(7, 7), (G{{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}, {6, 7}}));
  EXPECT_EQ(pq_groups(5, 1), (G{{0, 5}}));
  EXPECT_EQ(pq_groups(9, 2), (G{{0, 5}, {5, 9}}));
  for (std::uint64_t dim = 1; dim <= 24; ++dim) {
    for (std::uint64_t m = 1; m <= dim; ++m) {
      const G groups = pq_groups(dim, m);
      ASSERT_EQ(groups.size(), m) << dim << "/" << m;
      const std::uint64_t small = dim / m;
      for (std::uint64_t g = 0; g < m; ++g) {
        EXPECT_EQ(groups[g].start, g == 0 ? 0 : groups[g - 1].end);
        EXPECT_EQ(groups[g].end - groups[g].start, g < dim % m ? small + 1 : small)
            << dim << "/" << m;
      }
      EXPECT_EQ(groups.back().end, dim);
    }
  }
}

TEST(PQGroups, DimensionsNearTheTopOfTheRangeStillSplitEvenly) {
  // ceil((dim - start) / remaining) must not wrap around for the largest dimensions.
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const std::vector<DimRange> halves = pq_groups(kMax, 2);
  const std::vector<DimRange> thirds = pq_groups(kMax, 3);
  const std::vector<DimRange> expected_halves = {{0, std::uint64_t{1} << 63},
                                                 {std::uint64_t{1} << 63, kMax}};
  const std::uint64_t third = kMax / 3;  // 2^64 - 1 is a multiple of 3
  const std::vector<DimRange> expected_thirds = {{0, third}, {third, 2 * third}, {2 * third, kMax}};
  EXPECT_EQ(halves, expected_halves);
  EXPECT_EQ(thirds, expected_thirds);
}

TEST(PQGroups, RefusesDimensionThenMThenTooManySubSpaces) {
  EXPECT_EQ(failure_of([] { (void)pq_groups(0, 0); }), "dim must be greater than 0 in PQTable.");
  EXPECT_EQ(failure_of([] { (void)pq_groups(0, 3); }), "dim must be greater than 0 in PQTable.");
  EXPECT_EQ(failure_of([] { (void)pq_groups(3, 0); }), "m must be greater than 0 in PQTable.");
  EXPECT_EQ(failure_of([] { (void)pq_groups(3, 4); }),
            "dim must be greater than or equal to m in PQTable.");
}

TEST(PQTableBuild, ConfigurationFailures) {
  const VecSet<float> set = random_set(10, 4, 1);
  const VecSet<float> empty = VecSet<float>::with_capacity(4, 0);
  const VecSet<float> no_dim = VecSet<float>::with_capacity(0, 0);
  const DistanceAlgorithm l2 = DistanceAlgorithm::L2Sqr;
  // The bit width is checked before anything else, and before the generator is touched.
  for (std::uint64_t n_bits : {0u, 5u, 16u}) {
    for (std::optional<std::uint64_t> train :
         {std::optional<std::uint64_t>{3}, std::optional<std::uint64_t>{1000},
          std::optional<std::uint64_t>{}}) {
      ChaCha12Rng rng = fixed_rng(), untouched = fixed_rng();
      EXPECT_EQ(failure_of([&] {
                  (void)PQTable::from_vec_set(set, pq_config(n_bits, 0, l2, train), rng);
                }),
                "n_bits must be 4 or 8 in PQTable.");
      EXPECT_EQ(rng.next_u64(), untouched.next_u64()) << "a sample was drawn before the check";
    }
  }
  struct Case {
    const char* name;
    const VecSet<float>* set;
    PQConfig config;
    std::string message;
  };
  const Case cases[] = {
      {"dim zero", &no_dim, pq_config(4, 2, l2), "dim must be greater than 0 in PQTable."},
      {"dim zero with a sample", &no_dim, pq_config(4, 2, l2, 3),
       "dim must be greater than 0 in PQTable."},
      {"m zero", &set, pq_config(4, 0, l2), "m must be greater than 0 in PQTable."},
      {"m beyond dim", &set, pq_config(8, 5, l2),
       "dim must be greater than or equal to m in PQTable."},
      {"sample larger than the set", &set, pq_config(4, 2, l2, 11),
       "range end index 11 out of range for slice of length 10"},
      {"empty sample", &set, pq_config(4, 2, l2, 0), "cannot sample empty range"},
      {"empty set", &empty, pq_config(8, 2, l2), "cannot sample empty range"},
  };
  for (const Case& c : cases) {
    ChaCha12Rng rng = fixed_rng();
    EXPECT_EQ(failure_of([&] { (void)PQTable::from_vec_set(*c.set, c.config, rng); }), c.message)
        << c.name;
  }
}

TEST(PQTableBuild, TrainsEverySubSpaceFromOneGeneratorAndEncodesEveryRow) {
  const VecSet<float> set = random_set(120, 7, 2);
  struct Case {
    std::uint64_t n_bits, m;
    DistanceAlgorithm d;
    std::optional<std::uint64_t> train;
    std::uint64_t code_len;
  };
  const Case cases[] = {
      {4, 3, DistanceAlgorithm::L2Sqr, 40, 2},  {4, 4, DistanceAlgorithm::Cosine, std::nullopt, 2},
      {4, 7, DistanceAlgorithm::Cosine, 60, 4}, {4, 1, DistanceAlgorithm::L2Sqr, std::nullopt, 1},
      {8, 3, DistanceAlgorithm::L2Sqr, 100, 3}, {8, 2, DistanceAlgorithm::Cosine, std::nullopt, 2},
  };
  for (const Case& c : cases) {
    const PQConfig config = pq_config(c.n_bits, c.m, c.d, c.train);
    const std::string label = std::to_string(c.n_bits) + " bits, m " + std::to_string(c.m) + ", " +
                              std::string(name(c.d));
    ChaCha12Rng rng = fixed_rng(7), replay = fixed_rng(7);
    const PQTable t = PQTable::from_vec_set(set, config, rng);
    EXPECT_EQ(t.config(), config) << label;
    EXPECT_EQ(t.dim(), 7u);
    EXPECT_EQ(t.k(), std::uint64_t{1} << c.n_bits);
    EXPECT_EQ(t.code_len(), c.code_len) << label;

    // The same models trained one after another on the same sample from the same generator.
    const std::vector<DimRange> groups = pq_groups(7, c.m);
    std::optional<VecSet<float>> sample;
    if (c.train) sample.emplace(set.random_sample(*c.train, replay));
    ASSERT_EQ(t.kmeans().size(), c.m);
    for (std::uint64_t g = 0; g < c.m; ++g) {
      const KMeansConfig kc{t.k(), config.max_iter, config.tol, c.d, groups[g]};
      const KMeans expected = KMeans::from_vec_set(sample ? *sample : set, kc, replay);
      EXPECT_EQ(t.kmeans()[g].config, kc) << label << ", sub-space " << g;
      EXPECT_EQ(t.kmeans()[g].centroids, expected.centroids) << label << ", sub-space " << g;
      EXPECT_EQ(t.kmeans()[g].centroids.len(), t.k());
    }
    EXPECT_EQ(rng.next_u64(), replay.next_u64()) << label;

    // Norms: zero for L2Sqr, sums of squares from -0.0 for Cosine, indexed (g << n_bits) + c.
    ASSERT_EQ(t.centroid_sq_norms().size(), c.m * t.k());
    for (std::uint64_t g = 0; g < c.m; ++g) {
      for (std::uint64_t j = 0; j < t.k(); ++j) {
        float s = -0.0f;
        for (float x : t.kmeans()[g].centroids[j]) s = s + x * x;
        const float expected = c.d == DistanceAlgorithm::Cosine ? s : 0.0f;
        EXPECT_TRUE(same_bits(expected, t.centroid_sq_norms()[(g << c.n_bits) + j])) << label;
      }
    }

    // Every row of the set is encoded, with each model's nearest centroid.
    ASSERT_EQ(t.encoded_vec_set().dim(), c.code_len);
    ASSERT_EQ(t.encoded_vec_set().len(), set.len()) << label;
    for (std::uint64_t r = 0; r < set.len(); ++r) {
      const std::span<const std::uint8_t> code = t.encoded_vec_set()[r];
      for (std::uint64_t g = 0; g < c.m; ++g)
        ASSERT_EQ(code_of(code, c.n_bits, g), t.kmeans()[g].find_nearest(set[r]))
            << label << ", row " << r;
      if (c.n_bits == 4 && c.m % 2 == 1) {
        ASSERT_EQ(code.back() >> 4, 0) << label << ", row " << r;
      }
    }
  }
}

TEST(PQTableBuild, SampleSmallerThanKStillYieldsKCentroids) {
  const VecSet<float> set = random_set(30, 4, 3);
  for (std::uint64_t n_bits : {4u, 8u}) {
    ChaCha12Rng rng = fixed_rng(1), replay = fixed_rng(1);
    const PQTable t =
        PQTable::from_vec_set(set, pq_config(n_bits, 2, DistanceAlgorithm::L2Sqr, 5), rng);
    const VecSet<float> sample = set.random_sample(5, replay);
    const std::vector<DimRange> groups = pq_groups(4, 2);
    for (std::uint64_t g = 0; g < 2; ++g) {
      ASSERT_EQ(t.kmeans()[g].centroids.len(), t.k());
      // Five distinct rows: each centroid is one of them (repeats among the seeds keep theirs).
      for (std::span<const float> c : t.kmeans()[g].centroids.iter()) {
        bool found = false;
        for (std::span<const float> r : sample.iter())
          found = found || (r[groups[g].start] == c[0] && r[groups[g].start + 1] == c[1]);
        EXPECT_TRUE(found) << n_bits << " bits, sub-space " << g;
      }
    }
    EXPECT_EQ(t.encoded_vec_set().len(), 30u);
  }
}

// ---------------------------------------------------------------------------------------------

class PQLookupTest : public ::testing::Test {
 protected:
  static const PQTable& table(std::uint64_t n_bits, std::uint64_t m, DistanceAlgorithm d) {
    // Tables are built once per configuration for the whole suite.
    static std::map<std::tuple<std::uint64_t, std::uint64_t, DistanceAlgorithm>, PQTable> cache;
    const auto key = std::tuple(n_bits, m, d);
    if (auto it = cache.find(key); it != cache.end()) return it->second;
    ChaCha12Rng rng = fixed_rng(static_cast<std::uint8_t>(n_bits + m));
    return cache.emplace(key, PQTable::from_vec_set(data(), pq_config(n_bits, m, d, 280, 2), rng))
        .first->second;
  }
  static const VecSet<float>& data() {
    static const VecSet<float> set = random_set(303, 8, 4);
    return set;
  }
  static Row query(unsigned seed) {
    const VecSet<float> q = random_set(1, 8, seed);
    return Row(q[0].begin(), q[0].end());
  }
};

TEST_F(PQLookupTest, QueryLengthMustEqualTheDimension) {
  const PQTable& t = table(4, 3, DistanceAlgorithm::L2Sqr);
  EXPECT_EQ(failure_of([&] { (void)t.create_lookup(Row(7, 1.0f)); }),
            "assertion `left == right` failed\n  left: 7\n right: 8");
  EXPECT_EQ(failure_of([&] { (void)t.create_lookup(Row(9, 1.0f)); }),
            "assertion `left == right` failed\n  left: 9\n right: 8");
  EXPECT_EQ(failure_of([&] { (void)t.create_lookup(Row(8, 1.0f)); }), kNoFailure);
}

TEST_F(PQLookupTest, ValuesArePartialDistancesPerSubSpaceAndCentroid) {
  const Row q = query(10);
  for (DistanceAlgorithm d : kAlgorithms) {
    for (std::uint64_t n_bits : {4u, 8u}) {
      const PQTable& t = table(n_bits, 3, d);
      const PQLookupTable lookup = t.create_lookup(q);
      EXPECT_EQ(lookup.table, &t);
      ASSERT_EQ(lookup.values.size(), 3 * t.k());
      const std::vector<DimRange> groups = pq_groups(8, 3);
      for (std::uint64_t g = 0; g < 3; ++g) {
        const std::span<const float> part(q.data() + groups[g].start,
                                          groups[g].end - groups[g].start);
        for (std::uint64_t c = 0; c < t.k(); ++c) {
          const std::span<const float> centroid = t.kmeans()[g].centroids[c];
          float expected = -0.0f;
          for (std::size_t i = 0; i < part.size(); ++i)
            expected = d == DistanceAlgorithm::L2Sqr
                           ? expected + (part[i] - centroid[i]) * (part[i] - centroid[i])
                           : expected + part[i] * centroid[i];
          ASSERT_TRUE(same_bits(expected, lookup.values[(g << n_bits) + c]))
              << name(d) << ", " << n_bits;
        }
      }
      float sq = -0.0f;
      for (float x : q) sq = sq + x * x;
      EXPECT_TRUE(
          same_bits(d == DistanceAlgorithm::Cosine ? std::sqrt(sq) : 0.0f, lookup.query_norm));
    }
  }
}

TEST_F(PQLookupTest, QuantizedDistanceIsTheSumOfTheCodesPartialDistances) {
  for (DistanceAlgorithm d : kAlgorithms) {
    for (std::uint64_t n_bits : {4u, 8u}) {
      for (std::uint64_t m : {1u, 3u, 4u}) {
        const PQTable& t = table(n_bits, m, d);
        for (unsigned seed : {20u, 21u}) {
          const PQLookupTable lookup = t.create_lookup(query(seed));
          for (std::span<const std::uint8_t> code : t.encoded_vec_set().iter())
            ASSERT_TRUE(same_bits(reference_quantized(t, lookup, code), distance(d, code, lookup)))
                << name(d) << ", " << n_bits << " bits, m " << m;
        }
        // L2Sqr: a row's own code against the row scores the smallest partial distance of
        // every sub-space.
        if (d == DistanceAlgorithm::L2Sqr) {
          for (std::uint64_t r : {0u, 17u, 302u}) {
            const PQLookupTable lookup = t.create_lookup(data()[r]);
            float expected = 0.0f;
            for (std::uint64_t g = 0; g < m; ++g) {
              float best = lookup.values[g << n_bits];
              for (std::uint64_t c = 1; c < t.k(); ++c)
                best = std::min(best, lookup.values[(g << n_bits) + c]);
              expected = expected + best;
            }
            EXPECT_TRUE(same_bits(expected, distance(d, t.encoded_vec_set()[r], lookup)));
          }
        }
      }
    }
  }
}

TEST_F(PQLookupTest, CosineWithAZeroQueryIsOneForEveryCode) {
  for (std::uint64_t n_bits : {4u, 8u}) {
    const PQTable& t = table(n_bits, 3, DistanceAlgorithm::Cosine);
    const PQLookupTable lookup = t.create_lookup(Row(8, 0.0f));
    EXPECT_EQ(lookup.query_norm, 0.0f);
    std::vector<float> batch(t.encoded_vec_set().len());
    pq_distances(DistanceAlgorithm::Cosine, t.encoded_vec_set(), 0, batch.size(), lookup,
                 batch.data());
    for (std::uint64_t r = 0; r < batch.size(); ++r) {
      ASSERT_EQ(distance(DistanceAlgorithm::Cosine, t.encoded_vec_set()[r], lookup), 1.0f);
      ASSERT_EQ(batch[r], 1.0f);
    }
  }
}

TEST_F(PQLookupTest, ScoringFailures) {
  const Row q = query(30);
  const PQTable& t4 = table(4, 3, DistanceAlgorithm::L2Sqr);
  const PQTable& t8 = table(8, 3, DistanceAlgorithm::L2Sqr);
  const PQLookupTable l4 = t4.create_lookup(q);
  const PQLookupTable l8 = t8.create_lookup(q);
  PQTable tampered = table(4, 3, DistanceAlgorithm::Cosine);
  tampered.TEST_parts().config.n_bits = 6;
  const PQLookupTable lt = tampered.create_lookup(q);
  const Bytes two(2, 0), three(3, 0), four(4, 0);
  const VecSet<std::uint8_t> three_wide(3,
                                        PodVec<std::uint8_t>(std::span<const std::uint8_t>(three)));
  const VecSet<std::uint8_t> two_wide(2, PodVec<std::uint8_t>(std::span<const std::uint8_t>(two)));
  const std::string mismatch =
      "assertion `left == right` failed: DistanceAlgorithm mismatch in PQLookupTable.\n  left: "
      "Cosine\n right: L2Sqr";
  const std::string nibble_len =
      "assertion `left == right` failed: encoded.len() mismatch in PQTable.\n  left: 3\n right: 2";
  float out[1];
  const DistanceAlgorithm l2 = DistanceAlgorithm::L2Sqr, cos = DistanceAlgorithm::Cosine;
  EXPECT_EQ(failure_of([&] { (void)distance(cos, two, l4); }), mismatch);
  EXPECT_EQ(failure_of([&] { pq_distances(cos, two_wide, 0, 1, l4, out); }), mismatch);
  EXPECT_EQ(failure_of([&] { (void)distance(l2, three, l4); }), nibble_len);
  EXPECT_EQ(failure_of([&] { pq_distances(l2, three_wide, 0, 1, l4, out); }), nibble_len);
  EXPECT_EQ(
      failure_of([&] { (void)distance(l2, Bytes(1, 0), l4); }),
      "assertion `left == right` failed: encoded.len() mismatch in PQTable.\n  left: 1\n right: 2");
  EXPECT_EQ(failure_of([&] { (void)distance(l2, four, l8); }),
            "assertion `left == right` failed\n  left: 4\n right: 3");
  EXPECT_EQ(failure_of([&] { (void)distance(l2, two, l8); }),
            "assertion `left == right` failed\n  left: 2\n right: 3");
  EXPECT_EQ(failure_of([&] { pq_distances(l2, two_wide, 0, 1, l8, out); }),
            "assertion `left == right` failed\n  left: 2\n right: 3");
  EXPECT_EQ(failure_of([&] { (void)distance(cos, two, lt); }), "n_bits must be 4 or 8 in PQTable.");
  EXPECT_EQ(failure_of([&] { pq_distances(cos, two_wide, 0, 1, lt, out); }),
            "n_bits must be 4 or 8 in PQTable.");
  // The kind is compared first.
  EXPECT_EQ(failure_of([&] { (void)distance(cos, four, l8); }), mismatch);
  EXPECT_EQ(failure_of([&] { (void)distance(l2, two, l4); }), kNoFailure);
  EXPECT_EQ(failure_of([&] { (void)distance(l2, three, l8); }), kNoFailure);

  // A lookup with fewer values than codes can select: the length is still checked first, and
  // only an index a code does select is out of range.
  PQLookupTable short_lookup = t4.create_lookup(q);
  short_lookup.values.truncate(40);  // sub-space 2 keeps centroids 0..7
  EXPECT_EQ(failure_of([&] { (void)distance(l2, three, short_lookup); }), nibble_len);
  const Bytes inside{0x21, 0x07}, beyond{0x21, 0x09};
  EXPECT_EQ(distance(l2, inside, short_lookup), distance(l2, inside, l4));
  EXPECT_EQ(failure_of([&] { (void)distance(l2, beyond, short_lookup); }),
            "index out of bounds: the len is 40 but the index is 41");
  const VecSet<std::uint8_t> both(2, PodVec<std::uint8_t>{0x21, 0x07, 0x21, 0x09});
  float two_out[2];
  EXPECT_EQ(failure_of([&] { pq_distances(l2, both, 0, 1, short_lookup, two_out); }), kNoFailure);
  EXPECT_EQ(two_out[0], distance(l2, inside, l4));
  EXPECT_EQ(failure_of([&] { pq_distances(l2, both, 0, 2, short_lookup, two_out); }),
            "index out of bounds: the len is 40 but the index is 41");
}

TEST_F(PQLookupTest, OddMIgnoresTheUpperNibbleOfTheLastByte) {
  for (DistanceAlgorithm d : kAlgorithms) {
    for (std::uint64_t m : {1u, 3u, 5u}) {
      const PQTable& t = table(4, m, d);
      const PQLookupTable lookup = t.create_lookup(query(40));
      const VecSet<std::uint8_t> clean = random_codes(t, 77, 41);
      const VecSet<std::uint8_t> dirty = with_spare_nibble(t, clean, 42);
      ASSERT_NE(clean, dirty);
      std::vector<float> a(77), b(77);
      pq_distances(d, clean, 0, 77, lookup, a.data());
      pq_distances(d, dirty, 0, 77, lookup, b.data());
      for (std::uint64_t r = 0; r < 77; ++r) {
        ASSERT_TRUE(same_bits(distance(d, clean[r], lookup), distance(d, dirty[r], lookup)))
            << m << ", " << r;
        ASSERT_TRUE(same_bits(a[r], b[r])) << name(d) << ", m " << m << ", row " << r;
        ASSERT_TRUE(same_bits(a[r], distance(d, clean[r], lookup)));
      }
    }
  }
}

TEST_F(PQLookupTest, BatchScoringEqualsPerCodeScoringBitForBit) {
  for (DistanceAlgorithm d : kAlgorithms) {
    for (std::uint64_t n_bits : {4u, 8u}) {
      for (std::uint64_t m : {1u, 2u, 3u, 5u, 8u}) {
        const PQTable& t = table(n_bits, m, d);
        const std::string label =
            std::string(name(d)) + ", " + std::to_string(n_bits) + " bits, m " + std::to_string(m);
        const PQLookupTable lookup = t.create_lookup(query(50 + static_cast<unsigned>(m)));
        // Trained codes (303 rows) and random codes that reach every centroid; counts that leave
        // a tail after every group of lanes.
        for (const VecSet<std::uint8_t>& codes :
             {t.encoded_vec_set(), random_codes(t, 45, 51), random_codes(t, 3, 52),
              with_spare_nibble(t, random_codes(t, 17, 53), 54)}) {
          const std::uint64_t n = codes.len();
          for (auto [begin, end] : {std::pair<std::uint64_t, std::uint64_t>{0, n},
                                    {1, n},
                                    {n / 2, n - 1},
                                    {n - 1, n}}) {
            std::vector<float> out(end - begin + 1, 12345.0f);
            pq_distances(d, codes, begin, end, lookup, out.data());
            for (std::uint64_t r = begin; r < end; ++r)
              ASSERT_TRUE(same_bits(distance(d, codes[r], lookup), out[r - begin]))
                  << label << ", rows " << n << ", range " << begin << ".." << end << ", row " << r;
            EXPECT_EQ(out.back(), 12345.0f) << "wrote past the range: " << label;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace quillmere
