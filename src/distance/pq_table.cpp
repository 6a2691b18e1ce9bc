#include "distance/pq_table.hpp"

#include <cmath>

#include "common/exact_float.hpp"
#include "common/failure.hpp"
#include "common/parallel.hpp"
#include "distance/distance.hpp"
#include "distance/kernels.hpp"

namespace quillmere {
namespace {

kernels::PQScan scan_of(const PQLookupTable& lookup, const std::uint8_t* codes,
                        std::uint64_t count) {
  const PQTable& t = *lookup.table;
  const bool cosine = t.config().dist == DistanceAlgorithm::Cosine;
  return {codes,
          static_cast<std::size_t>(t.code_len()),
          static_cast<std::size_t>(count),
          static_cast<std::size_t>(t.config().m),
          static_cast<unsigned>(t.config().n_bits),
          lookup.values.data(),
          cosine ? t.centroid_sq_norms().data() : nullptr,
          lookup.query_norm};
}

// The checks of the quantized distance before it reads a code, in its order: the kind, then the
// code's length for the table's n_bits (an n_bits other than 4 or 8 fails there).
void check_code(DistanceAlgorithm d, const PQTable& t, std::uint64_t len) {
  assert_eq(d, t.config().dist, "DistanceAlgorithm mismatch in PQLookupTable.");
  if (t.config().n_bits == 4) {
    assert_eq(len, pq_code_len(4, t.config().m), "encoded.len() mismatch in PQTable.");
  } else if (t.config().n_bits == 8) {
    assert_eq(len, t.config().m);
  } else {
    fail("n_bits must be 4 or 8 in PQTable.");
  }
}

// Whether every index a code can select lies inside the lookup's arrays, as with any table
// built here: then the codes are scored without a check per index.
bool selects_inside(const PQLookupTable& lookup) {
  const PQTable& t = *lookup.table;
  const std::uint64_t entries = t.config().m << t.config().n_bits;
  return lookup.values.size() >= entries &&
         (t.config().dist != DistanceAlgorithm::Cosine || t.centroid_sq_norms().size() >= entries);
}

// One code scored with each index it selects checked, in sub-space order, before the sum: an
// index beyond `values` (or, for Cosine, beyond the centroid norms) is an index out of range.
float checked_code_distance(const kernels::PQScan& scan, const PQLookupTable& lookup,
                            const std::uint8_t* code) {
  const PQTable& t = *lookup.table;
  for (std::size_t g = 0; g < scan.m; ++g) {
    const unsigned c = scan.n_bits == 4 ? (code[g >> 1] >> ((g & 1) * 4)) & 0xFu : code[g];
    const std::uint64_t index = (std::uint64_t{g} << scan.n_bits) + c;
    if (index >= lookup.values.size()) fail_index(index, lookup.values.size());
    if (scan.sq_norms != nullptr && index >= t.centroid_sq_norms().size())
      fail_index(index, t.centroid_sq_norms().size());
  }
  return kernels::pq_code_ref(scan, code);
}

}  // namespace

std::vector<DimRange> pq_groups(std::uint64_t dim, std::uint64_t m) {
  if (dim == 0) fail("dim must be greater than 0 in PQTable.");
  if (m == 0) fail("m must be greater than 0 in PQTable.");
  if (dim < m) fail("dim must be greater than or equal to m in PQTable.");
  std::vector<DimRange> groups;
  groups.reserve(m);
  std::uint64_t start = 0, remaining = m;
  while (true) {
    const std::uint64_t left = dim - start;  // rounded-up division that cannot overflow
    const std::uint64_t end = start + left / remaining + (left % remaining != 0);
    groups.push_back({start, end});
    --remaining;
    if (end == dim) break;
    start = end;
  }
  return groups;
}

std::optional<std::string> PQTable::check(std::uint64_t rows_dim, DistanceAlgorithm rows_dist,
                                          std::uint64_t rows) const {
  const PQParts& p = parts_;
  auto bad = [](const std::string& what) { return "PQ table " + what; };
  if (p.config.n_bits != 4 && p.config.n_bits != 8)
    return bad("with " + std::to_string(p.config.n_bits) + "-bit codes");
  if (p.k != (std::uint64_t{1} << p.config.n_bits))
    return bad("with " + std::to_string(p.k) + " centroids per sub-space");
  if (p.dim != rows_dim)
    return bad("of dimension " + std::to_string(p.dim) + " for a table of dimension " +
               std::to_string(rows_dim));
  if (p.config.dist != rows_dist) return bad("for another distance than the table's");
  if (p.config.m < 1 || p.config.m > p.dim)
    return bad("with " + std::to_string(p.config.m) + " sub-spaces");
  const std::uint64_t expected_len = pq_code_len(p.config.n_bits, p.config.m);
  if (p.code_len != expected_len || p.encoded_vec_set.dim() != expected_len)
    return bad("with codes of " + std::to_string(p.encoded_vec_set.dim()) + " bytes");
  if (p.encoded_vec_set.len() != rows)
    return bad("with " + std::to_string(p.encoded_vec_set.len()) + " codes for " +
               std::to_string(rows) + " rows");
  if (p.kmeans.size() != p.config.m)
    return bad("with " + std::to_string(p.kmeans.size()) + " models for " +
               std::to_string(p.config.m) + " sub-spaces");
  const std::vector<DimRange> groups = pq_groups(p.dim, p.config.m);
  for (std::size_t g = 0; g < groups.size(); ++g) {
    const VecSet<float>& centroids = p.kmeans[g].centroids;
    if (centroids.len() != p.k || centroids.dim() != groups[g].end - groups[g].start)
      return bad("model " + std::to_string(g) + " does not fit its sub-space");
  }
  if (p.centroid_sq_norms.size() != p.config.m * p.k)
    return bad("with " + std::to_string(p.centroid_sq_norms.size()) + " centroid norms");
  return std::nullopt;
}

PQTable PQTable::from_vec_set(const VecSet<float>& vec_set, const PQConfig& config,
                              ChaCha12Rng& rng) {
  const ExactFloatMode exact;
  if (config.n_bits != 4 && config.n_bits != 8) fail("n_bits must be 4 or 8 in PQTable.");
  // Before the sample: drawing rows of no dimension would divide by zero counting them.
  if (vec_set.dim() == 0) fail("dim must be greater than 0 in PQTable.");
  std::optional<VecSet<float>> sample;
  if (config.train_size) sample.emplace(vec_set.random_sample(*config.train_size, rng));
  const VecSet<float>& training = sample ? *sample : vec_set;
  const std::uint64_t k = std::uint64_t{1} << config.n_bits;
  const std::vector<DimRange> groups = pq_groups(vec_set.dim(), config.m);

  std::vector<KMeans> models;
  models.reserve(groups.size());
  PodVec<float> norms;
  norms.reserve(groups.size() * k);
  for (const DimRange& range : groups) {
    const KMeansConfig kc{k, config.max_iter, config.tol, config.dist, range};
    KMeans model = KMeans::from_vec_set(training, kc, rng);
    for (std::span<const float> c : model.centroids.iter())
      norms.push_back(config.dist == DistanceAlgorithm::Cosine ? sq_norm(c) : 0.0f);
    models.push_back(std::move(model));
  }

  // Every row's code depends only on the row and the models, so rows are encoded in parallel.
  const std::uint64_t code_len = pq_code_len(config.n_bits, config.m);
  const std::uint64_t rows = vec_set.len();
  std::vector<NearestCentroid> nearest(models.begin(), models.end());
  PodVec<std::uint8_t> bytes(rows * code_len);
  pool::parallel_for(rows, [&](std::size_t begin, std::size_t end) {
    for (std::size_t r = begin; r < end; ++r) {
      const std::span<const float> row = vec_set[r];
      std::uint8_t* code = bytes.data() + r * code_len;
      if (config.n_bits == 8) {
        for (std::uint64_t g = 0; g < config.m; ++g)
          code[g] = static_cast<std::uint8_t>(nearest[g].find(row));
      } else {
        for (std::uint64_t i = 0; i < config.m / 2; ++i)
          code[i] = static_cast<std::uint8_t>(nearest[2 * i].find(row) |
                                              (nearest[2 * i + 1].find(row) << 4));
        if (config.m % 2 == 1)
          code[config.m / 2] = static_cast<std::uint8_t>(nearest[config.m - 1].find(row));
      }
    }
  });
  VecSet<std::uint8_t> codes(code_len, std::move(bytes));
  PQTable table(PQParts{config, vec_set.dim(), k, code_len, std::move(codes), std::move(models),
                        std::move(norms)});
  table.rebuild_caches();
  return table;
}

void PQTable::rebuild_caches() {
  const ExactFloatMode exact;
  const PQParts& p = parts_;
  const std::uint64_t rows = p.encoded_vec_set.len();
  code_blocks_ = PodVec<std::uint8_t>(kernels::pq_blocks_bytes(p.code_len, rows));
  pool::parallel_for(rows, [&](std::size_t begin, std::size_t end) {
    kernels::pq_fill_blocks(p.encoded_vec_set.data().data(), p.code_len, begin, end,
                            code_blocks_.data());
  });
  code_sq_norms_.clear();
  if (p.config.dist != DistanceAlgorithm::Cosine) return;
  code_sq_norms_.resize_for_overwrite(rows);
  // A code's N is what the L2Sqr scan scores it with the centroid norms as the lookup table:
  // the same terms summed in the same order from +0.0, by the kernel that runs many codes at once.
  const kernels::Kernels& kern = kernels::active_kernels();
  pool::parallel_for(rows, [&](std::size_t begin, std::size_t end) {
    kernels::PQScan scan{p.encoded_vec_set[begin].data(),
                         static_cast<std::size_t>(p.code_len),
                         end - begin,
                         static_cast<std::size_t>(p.config.m),
                         static_cast<unsigned>(p.config.n_bits),
                         p.centroid_sq_norms.data(),
                         nullptr,
                         0.0f};
    scan.blocks = code_blocks_.data();
    scan.first = begin;
    kern.pq_scan(scan, code_sq_norms_.data() + begin);
  });
}

PQLookupTable PQTable::create_lookup(std::span<const float> query) const {
  const ExactFloatMode exact;
  const PQParts& p = parts_;
  assert_eq(static_cast<std::uint64_t>(query.size()), p.dim);
  PQLookupTable lookup{PodVec<float>(), this, 0.0f};
  lookup.values.reserve(p.config.m * p.k);
  const std::vector<DimRange> groups = pq_groups(query.size(), p.config.m);
  for (std::size_t g = 0; g < groups.size(); ++g) {
    const std::span<const float> part =
        query.subspan(groups[g].start, groups[g].end - groups[g].start);
    const VecSet<float>& centroids = p.kmeans[g].centroids;
    const std::size_t base = lookup.values.size();
    lookup.values.resize(base + centroids.len());
    const RowBatch rows =
        RowBatch::contiguous(centroids.data().data(), centroids.len(), centroids.dim());
    if (p.config.dist == DistanceAlgorithm::L2Sqr) {
      distance_to_rows(DistanceAlgorithm::L2Sqr, part, rows, lookup.values.data() + base);
    } else {
      // The plain dot product: the precomputed-norm form's dot, without its cosine finish.
      for (std::uint64_t c = 0; c < centroids.len(); ++c)
        lookup.values[base + c] = dot(part, centroids[c]);
    }
  }
  if (p.config.dist == DistanceAlgorithm::Cosine) lookup.query_norm = std::sqrt(sq_norm(query));
  return lookup;
}

float distance(DistanceAlgorithm d, std::span<const std::uint8_t> code,
               const PQLookupTable& lookup) {
  const ExactFloatMode exact;
  check_code(d, *lookup.table, code.size());
  const kernels::PQScan scan = scan_of(lookup, code.data(), 1);
  if (!selects_inside(lookup)) return checked_code_distance(scan, lookup, code.data());
  return kernels::pq_code_ref(scan, code.data());
}

void pq_distances(DistanceAlgorithm d, const VecSet<std::uint8_t>& codes, std::uint64_t begin,
                  std::uint64_t end, const PQLookupTable& lookup, float* out) {
  const ExactFloatMode exact;
  check_code(d, *lookup.table, codes.dim());
  if (begin >= end) return;
  (void)codes[end - 1];  // range check of the last row
  kernels::PQScan scan = scan_of(lookup, codes[begin].data(), end - begin);
  if (!selects_inside(lookup)) {
    for (std::uint64_t i = begin; i < end; ++i)
      out[i - begin] = checked_code_distance(scan, lookup, codes[i].data());
    return;
  }
  // The caches belong to the table's own codes only.
  const PQTable& t = *lookup.table;
  if (&codes == &t.encoded_vec_set()) {
    if (t.code_sq_norms().size() == codes.len() && scan.sq_norms != nullptr)
      scan.code_norms = t.code_sq_norms().data() + begin;
    if (t.code_blocks().size() == kernels::pq_blocks_bytes(scan.code_len, codes.len())) {
      scan.blocks = t.code_blocks().data();
      scan.first = begin;
    }
  }
  kernels::active_kernels().pq_scan(scan, out);
}

void pq_distances_of_ids(DistanceAlgorithm d, const VecSet<std::uint8_t>& codes,
                         const std::uint32_t* ids, std::size_t n, const PQLookupTable& lookup,
                         float* out) {
  const ExactFloatMode exact;
  if (n == 0) return;
  check_code(d, *lookup.table, codes.dim());
  const kernels::PQScan scan = scan_of(lookup, nullptr, 1);
  const bool inside = selects_inside(lookup);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t* code = codes[ids[i]].data();
    out[i] = inside ? kernels::pq_code_ref(scan, code) : checked_code_distance(scan, lookup, code);
  }
}

}  // namespace quillmere
