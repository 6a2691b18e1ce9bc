// The distance operation of a DistanceAlgorithm, over two vectors and over two vectors with
// precomputed norms, plus batch forms that compare one query with many rows at once.
//
// Sums are single precision, one term at a time in ascending index order from -0.0, without
// fused multiply-add; every form gives the same bits as that definition. Lengths are not
// compared: dot products and differences run over the positions both vectors have, norms over
// each whole vector. Nothing here fails; invalid numbers propagate into the result.
#pragma once

#include <cstddef>
#include <span>

#include "common/allocator.hpp"
#include "distance/distance_algorithm.hpp"

namespace quillmere {

// A vector with its precomputed norm: the squared norm for L2Sqr, the norm for Cosine.
struct NormedVector {
  std::span<const float> vec;
  float norm;
};

float dot(std::span<const float> a, std::span<const float> b);
float sq_norm(std::span<const float> a);
// What NormedVector::norm holds for `d`: the squared norm (L2Sqr) or its square root (Cosine).
float norm_for(DistanceAlgorithm d, std::span<const float> a);

// L2Sqr: sum of (a_i - b_i)^2 over the common prefix.
// Cosine: 1 - dot / max(sqrt(|a|^2) * sqrt(|b|^2), floor), a NaN denominator taken as the floor.
float distance(DistanceAlgorithm d, std::span<const float> a, std::span<const float> b);
// L2Sqr: (na + nb) - (dot + dot), not clamped at 0. Cosine: 1 - dot / max(na * nb, floor).
float distance(DistanceAlgorithm d, NormedVector a, NormedVector b);

// The rows of a batch: `count` rows of `row_len` elements, either consecutive (`rows`) or
// scattered (`row_ptrs`). Consecutive rows may be followed in memory by `following` rows that
// the caller scores next (a scan in blocks), so that the kernels keep prefetching across the
// end of a block.
struct RowBatch {
  const float* rows = nullptr;
  const float* const* row_ptrs = nullptr;
  std::size_t count = 0;
  std::size_t row_len = 0;
  std::size_t following = 0;

  static RowBatch contiguous(const float* rows, std::size_t count, std::size_t row_len,
                             std::size_t following = 0) {
    return {rows, nullptr, count, row_len, following};
  }
  static RowBatch scattered(const float* const* ptrs, std::size_t count, std::size_t row_len) {
    return {nullptr, ptrs, count, row_len, 0};
  }
};

// out[i] = distance(d, q, row i): q on the left, each row on the right.
void distance_to_rows(DistanceAlgorithm d, std::span<const float> q, const RowBatch& batch,
                      float* out);
// out[i] = distance(d, {row i, row_norms[i]}, {q, q_norm}).
void distance_to_rows(DistanceAlgorithm d, NormedVector q, const RowBatch& batch,
                      const float* row_norms, float* out);
// out[k * batch.count + i] = distance(d, {row i, row_norms[i]}, qs[k]) for every query k: the
// same bits as a distance_to_rows call per query, with the rows read once for several queries.
void distance_to_rows(DistanceAlgorithm d, std::span<const NormedVector> qs, const RowBatch& batch,
                      const float* row_norms, float* out);

// Rows copied into column order, for scoring many queries (or one query) against the same rows
// with no transposition: k-means centroids and training views.
class ColumnSet {
 public:
  // Copies `count` rows of `width` components, row i starting at rows + i * stride; the rows'
  // norms are kept for Cosine.
  ColumnSet(DistanceAlgorithm d, const float* rows, std::size_t count, std::size_t width,
            std::size_t stride);

  std::size_t count() const { return count_; }

  // out[i - begin] = distance(d, q, row i) for the rows [begin, end): q on the left.
  // REQUIRES: begin is a multiple of kAlign.
  void distances(std::span<const float> q, std::size_t begin, std::size_t end, float* out) const;

  static constexpr std::size_t kAlign = 16;

 private:
  DistanceAlgorithm d_;
  std::size_t count_, width_, lanes_;
  PodVec<float> cols_;   // component j of row i at j * lanes_ + i
  PodVec<float> roots_;  // Cosine: sqrt(|row i|^2), padded to lanes_
};

}  // namespace quillmere
