// HNSWIndex's search entry points (the descent, one level's search and the two nearest-neighbour
// queries) over the walks of hnsw_walk.hpp, with exact or quantized scores.
#include "index_algorithm/hnsw_index.hpp"

#include "common/exact_float.hpp"
#include "index_algorithm/hnsw_walk.hpp"

namespace quillmere {

namespace hnsw_walk {
Scratch& scratch() {
  thread_local Scratch s;
  return s;
}
}  // namespace hnsw_walk

std::uint64_t HNSWIndex::greedy_search_until_level(std::uint64_t target,
                                                   std::span<const float> query) const {
  const ExactFloatMode exact;
  const hnsw_walk::ExactScorer scorer(*this, NormedVector{query, norm_for(config_.dist, query)});
  return hnsw_walk::descend(*this, target, scorer);
}

ResultSet HNSWIndex::search_on_level(std::uint64_t start, std::uint64_t level, std::uint64_t width,
                                     std::span<const float> query) const {
  const ExactFloatMode exact;
  const hnsw_walk::ExactScorer scorer(*this, NormedVector{query, norm_for(config_.dist, query)});
  return hnsw_walk::search_level(*this, start, level, width, scorer);
}

std::vector<CandidatePair> HNSWIndex::knn_with_ef(std::span<const float> query, std::uint64_t k,
                                                  std::uint64_t ef) const {
  const ExactFloatMode exact;
  if (vec_set_.len() == 0) return {};  // dimension 0 fails in len()
  const hnsw_walk::ExactScorer scorer(*this, NormedVector{query, norm_for(config_.dist, query)});
  const std::uint64_t start = hnsw_walk::descend(*this, 0, scorer);
  std::vector<CandidatePair> found =
      std::move(hnsw_walk::search_level(*this, start, 0, std::max(ef, k), scorer))
          .into_sorted_vec();
  if (found.size() > k) found.resize(k);
  return found;
}

std::vector<CandidatePair> HNSWIndex::knn_pq(std::span<const float> query, std::uint64_t k,
                                             std::uint64_t ef, const PQTable& pq) const {
  const ExactFloatMode exact;
  if (vec_set_.len() == 0) return {};
  assert_eq(config_.dist, pq.config().dist, "Distance algorithm mismatch.");
  const PQLookupTable lookup = pq.create_lookup(query);
  const std::uint64_t width = std::max(ef, k);
  const hnsw_walk::PQScorer quantized(config_.dist, pq, lookup);
  const std::uint64_t start = hnsw_walk::descend(*this, 0, quantized);
  ResultSet candidates = hnsw_walk::search_level(*this, start, 0, width, quantized);
  const NormedVector q{query, norm_for(config_.dist, query)};
  return std::move(candidates).pq_resort(k, [&](std::uint64_t r) {
    return distance(config_.dist, NormedVector{vec_set_[r], norms_[r]}, q);
  });
}

}  // namespace quillmere
