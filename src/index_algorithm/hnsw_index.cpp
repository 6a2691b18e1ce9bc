// HNSWIndex structure: parameters, nodes, link accessors and the level draw.
#include "index_algorithm/hnsw_index.hpp"

#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

#include "common/exact_float.hpp"
#include "common/failure.hpp"
#include "common/parallel.hpp"
#include "distance/distance.hpp"

namespace quillmere {
namespace {

constexpr std::uint64_t kMaxNodes = std::uint64_t{1} << 32;  // ids must fit the 32-bit slots

std::uint32_t saturated_count(std::size_t n) {
  return n > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                       : static_cast<std::uint32_t>(n);
}

}  // namespace

HNSWInnerConfig HNSWIndex::parameters(const HNSWConfig& request, DistanceAlgorithm dist,
                                      std::uint64_t dim) {
  if (request.max_links > kMaxLinks)
    std::fputs("M parameter exceeds 10_000 may lead to adverse effects.\n", stderr);
  const std::uint64_t m = std::min(request.max_links, kMaxLinks);
  if (m < kMinLinks) fail("M must be at least 2 in HNSWIndex.");
  const std::uint64_t ef_construction = std::max(request.ef_construction, 2 * m);
  return HNSWInnerConfig{dim,
                         dist,
                         request.max_elements,
                         m,
                         level0_links(m),
                         ef_construction,
                         ef_construction / 2,
                         level_multiplier(m),
                         1000};
}

float HNSWIndex::level_multiplier(std::uint64_t m) {
  return 1.0f / std::log(static_cast<float>(m));
}

HNSWIndex::HNSWIndex(const HNSWInnerConfig& c)
    : config_(c), vec_set_(VecSet<float>::with_capacity(c.dim, 0)) {}

PodVec<float> HNSWIndex::norms_of(const VecSet<float>& vec_set, DistanceAlgorithm dist) {
  const ExactFloatMode exact;
  // Squared norms in batches spread over the pool: the L2Sqr distance from a zero vector sums
  // (0 - x)^2 = x^2 term by term in the same order as the squared norm, so the bits are the same.
  const std::uint64_t n = vec_set.len();
  const std::uint64_t dim = vec_set.dim();
  // The zero vector is as long as one row: made only when a row exists (a table file may
  // declare any dimension for no rows at all).
  if (n == 0) return {};
  const PodVec<float> zero(dim);
  PodVec<float> norms;
  norms.resize_for_overwrite(n);
  constexpr std::size_t kRowsPerTask = 4096;
  pool::parallel_for((n + kRowsPerTask - 1) / kRowsPerTask, [&](std::size_t t0, std::size_t t1) {
    const std::size_t begin = t0 * kRowsPerTask, end = std::min<std::size_t>(n, t1 * kRowsPerTask);
    float* out = norms.data() + begin;
    distance_to_rows(DistanceAlgorithm::L2Sqr, zero.span(),
                     RowBatch::contiguous(vec_set.data().data() + begin * dim, end - begin, dim),
                     out);
    if (dist == DistanceAlgorithm::Cosine)
      for (float* x = out; x < norms.data() + end; ++x) *x = std::sqrt(*x);
  });
  return norms;
}

std::uint64_t HNSWIndex::level_from_draw(std::uint32_t x, float level_multiplier) {
  const ExactFloatMode exact;
  constexpr float kUnit = 1.0f / 8388608.0f;  // 2^-23
  // A draw of 0 would give an infinite level: take the smallest non-zero fraction instead.
  const float u = x >> 9 == 0 ? kUnit : static_cast<float>(x >> 9) * kUnit;
  const float level = std::floor(-std::log(u) * level_multiplier);
  if (!(level > 0.0f)) return 0;  // negative or NaN
  if (level >= 18446744073709551616.0f) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(level);
}

std::uint64_t HNSWIndex::push_init(std::span<const float> vector, std::uint64_t level) {
  const std::uint64_t id = vec_set_.len();  // dimension 0 fails here (division by zero)
  return push_node(vector, level, upper_block(id, level));
}

PodVec<std::uint32_t> HNSWIndex::upper_block(std::uint64_t id, std::uint64_t level) const {
  if (id >= kMaxNodes) fail("HNSWIndex cannot hold more than 4294967296 nodes.");
  const std::uint64_t m = config_.max_links;
  if (level > 0 && m + 1 > SIZE_MAX / level) fail("capacity overflow");
  return PodVec<std::uint32_t>(level * (m + 1));
}

std::uint64_t HNSWIndex::push_node(std::span<const float> vector, std::uint64_t level,
                                   PodVec<std::uint32_t> upper) {
  const std::uint64_t id = vec_set_.push(vector);  // checks the length before anything grows
  level0_.resize(level0_.size() + config_.max_links_level0 + 1);
  upper_.push_back(std::move(upper));
  levels_.push_back(level);
  norms_.push_back(norm_for(config_.dist, vector));
  return id;
}

void HNSWIndex::fail_links_len(std::uint64_t node, std::uint64_t level) const {
  fail("links_len[" + std::to_string(node) + "][" + std::to_string(level) + "] exceeds limit " +
       std::to_string(capacity(level)) + ".");
}

void HNSWIndex::put_links(std::uint64_t node, std::uint64_t level,
                          std::span<const std::uint32_t> ids) {
  check_level(node, level);
  std::uint32_t* b = block(node, level);
  b[0] = saturated_count(ids.size());  // stored before the check, as the count of record
  get_links_len_checked(node, level);
  std::copy(ids.begin(), ids.end(), b + 1);
}

VecSet<float> HNSWIndex::take_vectors() && { return std::move(vec_set_); }

}  // namespace quillmere
