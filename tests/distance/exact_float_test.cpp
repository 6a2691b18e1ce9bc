// The core's float work gives the same bits when a foreign library has set flush-to-zero and
// denormals-are-zero on the calling thread (and so on the pool tasks it starts), on data whose
// sums and distances are subnormal.
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <random>
#include <vector>

#include "common/allocator.hpp"
#include "common/parallel.hpp"
#include "distance/k_means.hpp"
#include "distance/pq_table.hpp"
#include "index_algorithm/flat_index.hpp"
#include "index_algorithm/hnsw_index.hpp"
#include "test_support.hpp"
#include "vec_set.hpp"

namespace quillmere {
namespace {

using testing_support::fixed_rng;
using testing_support::same_bits;

constexpr unsigned kFlushBits = 0x8040;  // FTZ | DAZ

// f() run with both bits set on this thread, as a -ffast-math library leaves them; the mode is
// the caller's again afterwards.
template <class F>
auto flushing(F f) {
  const unsigned saved = _mm_getcsr();
  _mm_setcsr(saved | kFlushBits);
  auto result = f();
  const unsigned during = _mm_getcsr();
  _mm_setcsr(saved);
  EXPECT_EQ(during & kFlushBits, kFlushBits) << "the caller's mode is kept";
  return result;
}

// Rows whose components are around 1e-20: squared differences, and so L2 distances, are
// subnormal; scaled by 1e-19 instead, the components themselves are subnormal (for k-means sums).
VecSet<float> tiny_rows(std::size_t n, std::size_t dim, float scale, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> u(0.5f, 1.5f);
  PodVec<float> flat;
  for (std::size_t i = 0; i < n * dim; ++i) flat.push_back(u(gen) * scale);
  return VecSet<float>(dim, std::move(flat));
}

std::vector<float> bits_of(const std::vector<CandidatePair>& pairs) {
  std::vector<float> out;
  for (const CandidatePair& p : pairs) {
    out.push_back(static_cast<float>(p.index));
    out.push_back(p.distance);
  }
  return out;
}

void expect_same(const std::vector<float>& exact, const std::vector<float>& flushed) {
  ASSERT_EQ(exact.size(), flushed.size());
  for (std::size_t i = 0; i < exact.size(); ++i)
    EXPECT_TRUE(same_bits(exact[i], flushed[i])) << i << ": " << exact[i] << " vs " << flushed[i];
}

TEST(ExactFloat, KMeansCentroidsOfSubnormalRows) {
  const VecSet<float> rows = tiny_rows(400, 4, 1e-39f, 1);
  const KMeansConfig config{8, 10, 0.0f, DistanceAlgorithm::L2Sqr, std::nullopt};
  auto fit = [&] {
    // A pool started now: oneTBB gives its tasks the mode of the thread that started it.
    const pool::ScopedThreadCount fresh_pool(2);
    pool::parallel_for(64, [](std::size_t, std::size_t) {});
    ChaCha12Rng rng = fixed_rng();
    const KMeans model = KMeans::from_vec_set(rows, config, rng);
    return std::vector<float>(model.centroids.data().begin(), model.centroids.data().end());
  };
  const std::vector<float> exact = fit();
  ASSERT_NE(exact[0], 0.0f);
  expect_same(exact, flushing(fit));
}

TEST(ExactFloat, QuantizedDistancesThatAreSubnormal) {
  const VecSet<float> rows = tiny_rows(300, 6, 1e-20f, 2);
  const std::vector<float> query(6, 1e-20f);
  for (DistanceAlgorithm d : {DistanceAlgorithm::L2Sqr, DistanceAlgorithm::Cosine}) {
    SCOPED_TRACE(static_cast<int>(d));
    ChaCha12Rng rng = fixed_rng();
    const PQTable pq = PQTable::from_vec_set(rows, PQConfig{4, 3, d, std::nullopt, 5, 0.0f}, rng);
    auto score = [&] {
      const PQLookupTable lookup = pq.create_lookup(query);
      std::vector<float> out(pq.encoded_vec_set().len());
      pq_distances(d, pq.encoded_vec_set(), 0, out.size(), lookup, out.data());
      out.push_back(distance(d, pq.encoded_vec_set()[7], lookup));
      return out;
    };
    const std::vector<float> exact = score();
    if (d == DistanceAlgorithm::L2Sqr) {
      ASSERT_LT(exact.back(), 1e-38f);  // subnormal indeed
    }
    expect_same(exact, flushing(score));
  }
}

TEST(ExactFloat, SearchesOverSubnormalDistances) {
  const VecSet<float> rows = tiny_rows(1200, 8, 1e-20f, 3);
  const std::vector<float> query(8, 1e-20f);
  const FlatIndex flat(DistanceAlgorithm::L2Sqr, rows);
  expect_same(bits_of(flat.knn(query, 20)), flushing([&] { return bits_of(flat.knn(query, 20)); }));

  auto build_and_search = [&] {
    ChaCha12Rng rng = fixed_rng();
    const HNSWIndex index = HNSWIndex::build_on_vec_set(rows, DistanceAlgorithm::L2Sqr,
                                                        HNSWConfig{rows.len(), 40, 8}, false, rng);
    std::vector<float> out = bits_of(index.knn_with_ef(query, 20, 40));
    for (std::uint64_t node = 0; node < index.len(); ++node)
      for (std::uint32_t id : index.get_links(node, 0)) out.push_back(static_cast<float>(id));
    return out;
  };
  expect_same(build_and_search(), flushing(build_and_search));
}

}  // namespace
}  // namespace quillmere
