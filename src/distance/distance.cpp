#include "distance/distance.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "common/exact_float.hpp"
#include "distance/kernels.hpp"

namespace quillmere {
namespace {

using kernels::cosine_finish;

inline float l2_from_norms(float dot, float na, float nb) { return (na + nb) - (dot + dot); }

inline std::size_t common_len(std::span<const float> a, std::span<const float> b) {
  return std::min(a.size(), b.size());
}

kernels::RowSource source_of(const RowBatch& batch) {
  return {batch.rows, batch.row_len, batch.row_ptrs, batch.following};
}

// Turns the dots of one query (of norm q_norm) with rows into distances of the
// precomputed-norm form.
void finish_dots(DistanceAlgorithm d, float q_norm, const float* row_norms, std::size_t count,
                 float* out) {
  if (d == DistanceAlgorithm::L2Sqr) {
    for (std::size_t i = 0; i < count; ++i) out[i] = l2_from_norms(out[i], row_norms[i], q_norm);
  } else {
    for (std::size_t i = 0; i < count; ++i) out[i] = cosine_finish(out[i], row_norms[i] * q_norm);
  }
}

}  // namespace

float dot(std::span<const float> a, std::span<const float> b) {
  ExactFloatMode mode;
  return kernels::dot_ref(a.data(), b.data(), common_len(a, b));
}

float sq_norm(std::span<const float> a) {
  ExactFloatMode mode;
  return kernels::sq_norm_ref(a.data(), a.size());
}

float norm_for(DistanceAlgorithm d, std::span<const float> a) {
  const float s = sq_norm(a);
  return d == DistanceAlgorithm::L2Sqr ? s : std::sqrt(s);
}

float distance(DistanceAlgorithm d, std::span<const float> a, std::span<const float> b) {
  ExactFloatMode mode;
  const std::size_t n = common_len(a, b);
  if (d == DistanceAlgorithm::L2Sqr) return kernels::l2sqr_ref(a.data(), b.data(), n);
  float p, q, dt;
  if (a.size() == b.size()) {
    kernels::cosine_sums_ref(a.data(), b.data(), n, &p, &q, &dt);
  } else {
    p = kernels::sq_norm_ref(a.data(), a.size());
    q = kernels::sq_norm_ref(b.data(), b.size());
    dt = kernels::dot_ref(a.data(), b.data(), n);
  }
  return cosine_finish(dt, std::sqrt(p) * std::sqrt(q));
}

float distance(DistanceAlgorithm d, NormedVector a, NormedVector b) {
  ExactFloatMode mode;
  const float dt = kernels::dot_ref(a.vec.data(), b.vec.data(), common_len(a.vec, b.vec));
  if (d == DistanceAlgorithm::L2Sqr) return l2_from_norms(dt, a.norm, b.norm);
  return cosine_finish(dt, a.norm * b.norm);
}

void distance_to_rows(DistanceAlgorithm d, std::span<const float> q, const RowBatch& batch,
                      float* out) {
  ExactFloatMode mode;
  const kernels::Kernels& k = kernels::active_kernels();
  const kernels::RowSource src = source_of(batch);
  const std::size_t n = std::min(q.size(), batch.row_len);
  if (d == DistanceAlgorithm::L2Sqr) {
    k.l2sqr(q.data(), src, batch.count, n, out);
    return;
  }
  const float q_root = std::sqrt(kernels::sq_norm_ref(q.data(), q.size()));
  k.cosine(q.data(), q_root, src, batch.count, n, batch.row_len, out);
}

void distance_to_rows(DistanceAlgorithm d, NormedVector q, const RowBatch& batch,
                      const float* row_norms, float* out) {
  ExactFloatMode mode;
  const std::size_t n = std::min(q.vec.size(), batch.row_len);
  kernels::active_kernels().dot(q.vec.data(), source_of(batch), batch.count, n, out);
  finish_dots(d, q.norm, row_norms, batch.count, out);
}

void distance_to_rows(DistanceAlgorithm d, std::span<const NormedVector> qs, const RowBatch& batch,
                      const float* row_norms, float* out) {
  ExactFloatMode mode;
  const kernels::Kernels& k = kernels::active_kernels();
  const std::size_t count = batch.count;
  // Queries go to the kernel in groups of equal length (in practice all of them at once).
  const float* vecs[8];
  for (std::size_t first = 0; first < qs.size();) {
    std::size_t nq = 0;
    while (first + nq < qs.size() && nq < std::size(vecs) &&
           qs[first + nq].vec.size() == qs[first].vec.size()) {
      vecs[nq] = qs[first + nq].vec.data();
      ++nq;
    }
    k.dot_queries(vecs, nq, source_of(batch), count, std::min(qs[first].vec.size(), batch.row_len),
                  out + first * count);
    first += nq;
  }
  for (std::size_t q = 0; q < qs.size(); ++q)
    finish_dots(d, qs[q].norm, row_norms, count, out + q * count);
}

ColumnSet::ColumnSet(DistanceAlgorithm d, const float* rows, std::size_t count, std::size_t width,
                     std::size_t stride)
    : d_(d),
      count_(count),
      width_(width),
      lanes_((count + kAlign - 1) / kAlign * kAlign),
      cols_(width * lanes_) {
  for (std::size_t i = 0; i < count; ++i)
    for (std::size_t j = 0; j < width; ++j) cols_[j * lanes_ + i] = rows[i * stride + j];
  if (d == DistanceAlgorithm::Cosine) {
    roots_.resize(lanes_);
    for (std::size_t i = 0; i < count; ++i)
      roots_[i] = std::sqrt(kernels::sq_norm_ref(rows + i * stride, width));
  }
}

void ColumnSet::distances(std::span<const float> q, std::size_t begin, std::size_t end,
                          float* out) const {
  if (begin >= end) return;
  ExactFloatMode mode;
  const kernels::Kernels& k = kernels::active_kernels();
  kernels::ColumnScan scan{
      q.data(), std::min(q.size(), width_), cols_.data(), lanes_, begin, end, roots_.data(), 0.0f};
  if (d_ == DistanceAlgorithm::L2Sqr) {
    k.l2sqr_columns(scan, out);
  } else {
    scan.q_root = std::sqrt(kernels::sq_norm_ref(q.data(), q.size()));
    k.cosine_columns(scan, out);
  }
}

}  // namespace quillmere
