// Product quantization: the dimensions split into m contiguous sub-spaces, a k-means model of
// 16 or 256 centroids trained on each, and every vector stored as one centroid index per
// sub-space (4 or 8 bits each). Per query, a lookup table of partial distances turns the
// quantized distance of a code into a sum of m table entries.
//
// Code layout (one row of encoded_vec_set), code(g) being the centroid chosen for sub-space g:
//   8 bits: byte i = code(i), code_len = m.
//   4 bits: byte i = code(2i) | code(2i+1) << 4; for odd m the last byte holds code(m-1) in its
//           low four bits and 0 above; code_len = ceil(m/2).
// Lookup values and centroid norms are indexed (g << n_bits) + centroid.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/allocator.hpp"
#include "common/random.hpp"
#include "distance/distance_algorithm.hpp"
#include "distance/k_means.hpp"
#include "vec_set.hpp"

namespace quillmere {

struct PQConfig {
  std::uint64_t n_bits;                     // 4 or 8
  std::uint64_t m;                          // sub-spaces, 1 ..= dim
  DistanceAlgorithm dist;                   // must equal the distance of every index using it
  std::optional<std::uint64_t> train_size;  // rows sampled for training; absent = all rows
  std::uint64_t max_iter;                   // for every sub-space's k-means
  float tol;                                // for every sub-space's k-means

  friend bool operator==(const PQConfig&, const PQConfig&) = default;
};

// The bytes of one code (see the layout above).
constexpr std::uint64_t pq_code_len(std::uint64_t n_bits, std::uint64_t m) {
  return n_bits == 4 ? m - m / 2 : m;
}

// The m sub-spaces of `dim` components, [start, end) in ascending order; their sizes differ
// by at most one, the larger first.
std::vector<DimRange> pq_groups(std::uint64_t dim, std::uint64_t m);

struct PQTable;

// The partial distances of one query, for one search. Must not outlive its table.
struct PQLookupTable {
  PodVec<float> values;  // L2Sqr: squared distance to each centroid; Cosine: dot product
  const PQTable* table;
  float query_norm;  // Cosine: |query|; L2Sqr: 0
};

// The stored record of a PQ table, field by field in the table file's order.
struct PQParts {
  PQConfig config;
  std::uint64_t dim;                     // length of every encoded vector and of every query
  std::uint64_t k;                       // centroids per sub-space: 1 << n_bits
  std::uint64_t code_len;                // bytes per code
  VecSet<std::uint8_t> encoded_vec_set;  // row i: the code of row i of the encoded set
  std::vector<KMeans> kmeans;            // one model per sub-space, in order
  PodVec<float> centroid_sq_norms;       // Cosine: |centroid|^2; L2Sqr: 0

  friend bool operator==(const PQParts&, const PQParts&) = default;
};

// A trained PQ table: its stored parts and two caches derived from the codes. The parts are
// changed only by the table's own members, which keep the caches in step with the codes.
class PQTable {
 public:
  // A table of stored parts (read from a file), without its caches: check() it against its
  // rows, then rebuild_caches().
  explicit PQTable(PQParts parts) : parts_(std::move(parts)) {}

  // Trains the models (on a sample of train_size rows when given) and encodes every row.
  static PQTable from_vec_set(const VecSet<float>& vec_set, const PQConfig& config,
                              ChaCha12Rng& rng);

  const PQParts& parts() const { return parts_; }
  const PQConfig& config() const { return parts_.config; }
  std::uint64_t dim() const { return parts_.dim; }
  std::uint64_t k() const { return parts_.k; }
  std::uint64_t code_len() const { return parts_.code_len; }
  const VecSet<std::uint8_t>& encoded_vec_set() const { return parts_.encoded_vec_set; }
  const std::vector<KMeans>& kmeans() const { return parts_.kmeans; }
  const PodVec<float>& centroid_sq_norms() const { return parts_.centroid_sq_norms; }
  // Cosine: per code, its centroids' squared norms summed as the quantized distance sums them,
  // which does not depend on the query; empty for L2Sqr.
  const PodVec<float>& code_sq_norms() const { return code_sq_norms_; }
  // The codes again, in the block layout of the vector kernels (16 codes side by side per 4
  // bytes of code, kernels.hpp): as much memory as the codes, rounded up to 16 codes and to 4
  // bytes per code.
  const PodVec<std::uint8_t>& code_blocks() const { return code_blocks_; }

  // The first inconsistency of a table from outside (a file) with itself or with the rows it
  // should encode (`rows` rows of dimension `rows_dim` under `rows_dist`), as a message ("PQ
  // table with 6-bit codes"); nullopt when it is consistent, as rebuild_caches and the searches
  // require.
  std::optional<std::string> check(std::uint64_t rows_dim, DistanceAlgorithm rows_dist,
                                   std::uint64_t rows) const;

  // Computes the caches from the codes.
  // REQUIRES: a consistent table (check() found nothing).
  void rebuild_caches();

  // A query of another length than `dim` fails with a bare equality assertion.
  PQLookupTable create_lookup(std::span<const float> query) const;

  // Test hook: the parts, to make a table disagree with itself; the caches stay as they are.
  PQParts& TEST_parts() { return parts_; }

  friend bool operator==(const PQTable&, const PQTable&) = default;

 private:
  PQParts parts_;
  PodVec<float> code_sq_norms_;
  PodVec<std::uint8_t> code_blocks_;
};

// The quantized distance of one code under `d`, which must be the table's own distance.
float distance(DistanceAlgorithm d, std::span<const std::uint8_t> code,
               const PQLookupTable& lookup);

// The quantized distances of code rows [begin, end) of `codes`: out[i - begin] is
// distance(d, codes[i], lookup), with the same checks.
void pq_distances(DistanceAlgorithm d, const VecSet<std::uint8_t>& codes, std::uint64_t begin,
                  std::uint64_t end, const PQLookupTable& lookup, float* out);

// The quantized distances of the code rows `ids[0..n)` (any order), with the same checks.
void pq_distances_of_ids(DistanceAlgorithm d, const VecSet<std::uint8_t>& codes,
                         const std::uint32_t* ids, std::size_t n, const PQLookupTable& lookup,
                         float* out);

}  // namespace quillmere
