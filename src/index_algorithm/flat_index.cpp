#include "index_algorithm/flat_index.hpp"

#include <algorithm>
#include <span>
#include <vector>

#include "common/exact_float.hpp"
#include "common/failure.hpp"
#include "distance/distance.hpp"

namespace quillmere {

void FlatIndex::add_all(std::span<const std::span<const float>> rows) {
  vec_set_.reserve_more(rows.size());
  for (std::span<const float> v : rows) vec_set_.push(v);
}
namespace {

// Rows scored per kernel call. Each call has a cost of its own that does not shrink with the
// block: the query's norm for Cosine (a scalar sum as long as the query), and in the staggered
// kernel of wide rows a table of the query and the ramp of its quarters (about 0.8 % of a block
// of 512 rows at 3072 dimensions). 4096 rows leave these at a few tenths of a percent of a
// scan. The block's distances (16 KiB) are on the heap: Python lets a thread's stack be as small
// as 32 KiB, and a search from such a thread, a few C calls deep, must not run off its end.
constexpr std::uint64_t kBlockRows = 4096;

}  // namespace

std::vector<CandidatePair> FlatIndex::knn(std::span<const float> q, std::uint64_t k) const {
  const ExactFloatMode exact;
  if (vec_set_.dim() == 0) fail("chunk size must be non-zero");
  if (k == 0) return {};                              // a set of capacity 0 takes nothing
  ResultSet result = ResultSet::of_distinct_rows(k);  // each row is offered once
  const std::uint64_t rows = vec_set_.len();
  const std::uint64_t dim = vec_set_.dim();
  const float* data = vec_set_.data().data();
  std::vector<float> dists(std::min(rows, kBlockRows));
  for (std::uint64_t begin = 0; begin < rows; begin += kBlockRows) {
    const std::uint64_t count = std::min(kBlockRows, rows - begin);
    distance_to_rows(dist_, q,
                     RowBatch::contiguous(data + begin * dim, count, dim, rows - begin - count),
                     dists.data());
    result.add_all(begin, std::span<const float>(dists.data(), count));
  }
  return std::move(result).into_sorted_vec();
}

std::vector<CandidatePair> FlatIndex::knn_pq(std::span<const float> q, std::uint64_t k,
                                             std::uint64_t ef, const PQTable& pq) const {
  const ExactFloatMode exact;
  assert_eq(dist_, pq.config().dist, "Distance algorithm mismatch.");
  ResultSet candidates = ResultSet::of_distinct_rows(std::max(ef, k));
  const PQLookupTable lookup = pq.create_lookup(q);
  const VecSet<std::uint8_t>& codes = pq.encoded_vec_set();
  if (codes.dim() == 0) fail("chunk size must be non-zero");
  const std::uint64_t rows = codes.len();
  std::vector<float> dists(std::min(rows, kBlockRows));
  for (std::uint64_t begin = 0; begin < rows; begin += kBlockRows) {
    const std::uint64_t end = std::min(rows, begin + kBlockRows);
    pq_distances(dist_, codes, begin, end, lookup, dists.data());
    candidates.add_all(begin, std::span<const float>(dists.data(), end - begin));
  }
  // The candidates' exact distances in one batch of scattered rows (the same bits as one at a
  // time, with the rows prefetched), handed to the re-ranking by row.
  const std::span<const CandidatePair> members = candidates.members();
  std::vector<const float*> rows_of(members.size());
  for (std::size_t i = 0; i < members.size(); ++i) rows_of[i] = vec_set_[members[i].index].data();
  std::vector<float> exact_dists(members.size());
  distance_to_rows(dist_, q, RowBatch::scattered(rows_of.data(), rows_of.size(), vec_set_.dim()),
                   exact_dists.data());
  std::vector<CandidatePair> by_row(members.size());
  for (std::size_t i = 0; i < members.size(); ++i) by_row[i] = {members[i].index, exact_dists[i]};
  std::ranges::sort(by_row, {}, &CandidatePair::index);
  return std::move(candidates).pq_resort(k, [&](std::uint64_t r) {
    return std::ranges::lower_bound(by_row, r, {}, &CandidatePair::index)->distance;
  });
}

}  // namespace quillmere
