// The four families of index operations. There is no virtual dispatch: each index type
// implements the families it supports, and the table layer picks the call by the index's kind.
// Every search answers CandidatePairs in ascending order, nearest first.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>
#include <vector>

#include "distance/pq_table.hpp"
#include "index_algorithm/candidate_pair.hpp"

namespace quillmere {

// knn(q, k): at most k nearest rows.
template <class I>
concept IndexKNN = requires(const I& index, std::span<const float> q, std::uint64_t k) {
  { index.knn(q, k) } -> std::same_as<std::vector<CandidatePair>>;
};

// knn_with_ef(q, k, ef): at most k rows, searched with width max(ef, k).
template <class I>
concept IndexKNNWithEf = requires(const I& index, std::span<const float> q, std::uint64_t k,
                                  std::uint64_t ef) {
  { index.knn_with_ef(q, k, ef) } -> std::same_as<std::vector<CandidatePair>>;
};

// knn_pq(q, k, ef, pq): candidates by quantized distance with width max(ef, k), re-ranked by
// exact distance.
template <class I>
concept IndexPQ = requires(const I& index, std::span<const float> q, std::uint64_t k,
                           std::uint64_t ef, const PQTable& pq) {
  { index.knn_pq(q, k, ef, pq) } -> std::same_as<std::vector<CandidatePair>>;
};

}  // namespace quillmere
