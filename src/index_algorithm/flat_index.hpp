// FlatIndex: the exhaustive index. Every query is compared with every stored row, so its
// answers are exact. It keeps nothing but the distance kind and the vectors (no norms, no
// cache).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "distance/distance_algorithm.hpp"
#include "distance/pq_table.hpp"
#include "index_algorithm/candidate_pair.hpp"
#include "vec_set.hpp"

namespace quillmere {

class FlatIndex {
 public:
  // An empty index; dim 0 fails (remainder by zero).
  FlatIndex(std::uint64_t dim, DistanceAlgorithm d) : dist_(d), vec_set_(dim, PodVec<float>()) {}
  FlatIndex(DistanceAlgorithm d, VecSet<float> vectors) : dist_(d), vec_set_(std::move(vectors)) {}

  DistanceAlgorithm dist() const { return dist_; }
  const VecSet<float>& vec_set() const { return vec_set_; }

  // Appends the rows in order; room for all of them is made first, so that a failed allocation
  // adds none.
  void add_all(std::span<const std::span<const float>> rows);
  // Moves the last row into row r (VecSet::swap_remove).
  void swap_remove(std::uint64_t r) { vec_set_.swap_remove(r); }

  // The k nearest rows, q as the left argument of every distance. Rows are offered in
  // ascending order, so ties at the cut-off go to the smaller row numbers.
  std::vector<CandidatePair> knn(std::span<const float> q, std::uint64_t k) const;

  // Keeps the max(ef, k) rows nearest by quantized distance over every code of `pq`, then
  // re-ranks them by exact distance and answers the k nearest. `pq` must be built for `dist`
  // ("Distance algorithm mismatch.") and for queries of q's length.
  std::vector<CandidatePair> knn_pq(std::span<const float> q, std::uint64_t k, std::uint64_t ef,
                                    const PQTable& pq) const;

  friend bool operator==(const FlatIndex&, const FlatIndex&) = default;

 private:
  DistanceAlgorithm dist_;
  VecSet<float> vec_set_;
};

}  // namespace quillmere
