#include "index_algorithm/flat_index.hpp"

#include <algorithm>

#include "common/exact_float.hpp"
#include "common/failure.hpp"
#include "distance/distance.hpp"

namespace quillmere {
namespace {

// Rows scored per kernel call: enough to amortise the call, small enough for the stack.
constexpr std::uint64_t kBlockRows = 512;

}  // namespace

std::vector<CandidatePair> FlatIndex::knn(std::span<const float> q, std::uint64_t k) const {
  const ExactFloatMode exact;
  if (vec_set.dim() == 0) fail("chunk size must be non-zero");
  if (k == 0) return {};  // a set of capacity 0 takes nothing
  ResultSet result = ResultSet::of_distinct_rows(k);  // each row is offered once
  const std::uint64_t rows = vec_set.len();
  const std::uint64_t dim = vec_set.dim();
  const float* data = vec_set.data().data();
  float dists[kBlockRows];
  for (std::uint64_t begin = 0; begin < rows; begin += kBlockRows) {
    const std::uint64_t count = std::min(kBlockRows, rows - begin);
    distance_to_rows(dist, q, RowBatch::contiguous(data + begin * dim, count, dim, rows - begin - count), dists);
    for (std::uint64_t i = 0; i < count; ++i) result.add(begin + i, dists[i]);
  }
  return std::move(result).into_sorted_vec();
}

std::vector<CandidatePair> FlatIndex::knn_pq(std::span<const float> q, std::uint64_t k,
                                             std::uint64_t ef, const PQTable& pq) const {
  const ExactFloatMode exact;
  assert_eq(dist, pq.config.dist, "Distance algorithm mismatch.");
  ResultSet candidates = ResultSet::of_distinct_rows(std::max(ef, k));
  const PQLookupTable lookup = pq.create_lookup(q);
  const VecSet<std::uint8_t>& codes = pq.encoded_vec_set;
  if (codes.dim() == 0) fail("chunk size must be non-zero");
  const std::uint64_t rows = codes.len();
  float dists[kBlockRows];
  for (std::uint64_t begin = 0; begin < rows; begin += kBlockRows) {
    const std::uint64_t end = std::min(rows, begin + kBlockRows);
    pq_distances(dist, codes, begin, end, lookup, dists);
    for (std::uint64_t r = begin; r < end; ++r) candidates.add(r, dists[r - begin]);
  }
  return std::move(candidates).pq_resort(
      k, [&](std::uint64_t r) { return distance(dist, q, vec_set[r]); });
}

}  // namespace quillmere
