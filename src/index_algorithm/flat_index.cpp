#include "index_algorithm/flat_index.hpp"

#include <algorithm>

#include "common/failure.hpp"
#include "distance/distance.hpp"

namespace quillmere {
namespace {

// Rows scored per kernel call: enough to amortise the call, small enough for the stack.
constexpr std::uint64_t kBlockRows = 512;

}  // namespace

std::vector<CandidatePair> FlatIndex::knn(std::span<const float> q, std::uint64_t k) const {
  if (vec_set.dim() == 0) fail("chunk size must be non-zero");
  if (k == 0) return {};  // a set of capacity 0 takes nothing
  ResultSet result(k);
  const std::uint64_t rows = vec_set.len();
  const std::uint64_t dim = vec_set.dim();
  const float* data = vec_set.data().data();
  float dists[kBlockRows];
  for (std::uint64_t begin = 0; begin < rows; begin += kBlockRows) {
    const std::uint64_t count = std::min(kBlockRows, rows - begin);
    distance_to_rows(dist, q, RowBatch::contiguous(data + begin * dim, count, dim), dists);
    for (std::uint64_t i = 0; i < count; ++i) result.add(begin + i, dists[i]);
  }
  return std::move(result).into_sorted_vec();
}

}  // namespace quillmere
