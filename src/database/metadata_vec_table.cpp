#include "database/metadata_vec_table.hpp"

#include <cmath>
#include <limits>

#include "common/failure.hpp"

namespace quillmere {

Result<MetadataVecTable> MetadataVecTable::create(std::uint64_t dim, DistanceAlgorithm dist) {
  if (dim == 0) return make_error(ErrorKind::InvalidArgument, "Dimension must be greater than 0");
  return MetadataVecTable{
      {}, DynamicIndex(FlatIndex(dim, dist)), std::nullopt, ChaCha12Rng::from_entropy()};
}

void MetadataVecTable::add(std::span<const float> vector, Metadata meta) {
  std::vector<Metadata> metas;
  metas.push_back(std::move(meta));
  batch_add(std::span<const std::span<const float>>(&vector, 1), std::move(metas));
}

// Room is made before anything changes, so that running out of memory (std::bad_alloc, raised
// as MemoryError) leaves the table as it was; the HNSW insertion reserves its own memory before
// it links anything.
void MetadataVecTable::batch_add(std::span<const std::span<const float>> vectors,
                                 std::vector<Metadata> metas) {
  assert_eq(static_cast<std::uint64_t>(vectors.size()), static_cast<std::uint64_t>(metas.size()));
  for (std::span<const float> v : vectors) assert_eq(static_cast<std::uint64_t>(v.size()), dim());
  grow_for(metadata, metadata.size() + metas.size());
  if (HNSWIndex* h = inner.hnsw()) {
    h->inner_batch_add(vectors, rng);
  } else {
    inner.flat()->add_all(vectors);
  }
  metadata.insert(metadata.end(), std::make_move_iterator(metas.begin()),
                  std::make_move_iterator(metas.end()));
  pq_table.reset();
}

void MetadataVecTable::build_hnsw_index(std::optional<std::uint64_t> ef_construction) {
  if (inner.is_hnsw()) return;
  const FlatIndex& flat = *inner.flat();
  HNSWIndex built = HNSWIndex::build_on_vec_set(
      flat.vec_set(), flat.dist(),
      HNSWConfig{flat.vec_set().len(), ef_construction.value_or(kDefaultEfConstruction), kMaxLinks},
      false, rng);
  inner = DynamicIndex(std::move(built));
}

void MetadataVecTable::clear_hnsw_index() {
  HNSWIndex* h = inner.hnsw();
  if (h == nullptr) return;
  const DistanceAlgorithm dist = h->config().dist;
  FlatIndex flat(dist, std::move(*h).take_vectors());
  inner = DynamicIndex(std::move(flat));
}

Result<void> MetadataVecTable::build_pq_table(std::optional<float> train_proportion,
                                              std::optional<std::uint64_t> n_bits,
                                              std::optional<std::uint64_t> m) {
  if (pq_table) return {};
  const std::uint64_t rows = len();
  if (rows == 0)
    return make_error(ErrorKind::InvalidArgument, "Cannot build PQ table for an empty table");
  const float p = train_proportion.value_or(kDefaultTrainProportion);
  if (!(p > 0.0f && p < 1.0f))
    return make_error(ErrorKind::InvalidArgument, "Train proportion must be in (0, 1)");
  float sample = p * static_cast<float>(rows);
  if (sample < 1.0f) sample = 1.0f;
  // 2^64, the first float no u64 holds: larger samples saturate.
  constexpr float kBeyondU64 = 0x1p64f;
  const std::uint64_t train_size = sample >= kBeyondU64 ? std::numeric_limits<std::uint64_t>::max()
                                                        : static_cast<std::uint64_t>(sample);
  if (n_bits && *n_bits != 4 && *n_bits != 8)
    return make_error(ErrorKind::InvalidArgument, "n_bits must be 4 or 8");
  const std::uint64_t d = dim();
  const std::uint64_t sub_spaces = m.value_or(d / 3 + (d % 3 != 0));
  if (sub_spaces < 1 || sub_spaces > d)
    return make_error(ErrorKind::InvalidArgument, "m must be in 1..=dim");
  const PQConfig config{
      n_bits.value_or(kDefaultPqBits), sub_spaces, dist(), train_size, kPqMaxIter, kPqTolerance};
  pq_table = PQTable::from_vec_set(inner.vec_set(), config, rng);
  return {};
}

std::uint64_t MetadataVecTable::delete_rows(const Metadata& pattern) {
  clear_hnsw_index();
  pq_table.reset();
  std::vector<std::uint64_t> matches;
  for (std::uint64_t r = 0; r < metadata.size(); ++r) {
    bool all = true;
    for (const auto& [key, value] : pattern) {
      const auto it = metadata[r].find(key);
      if (it == metadata[r].end() || it->second != value) {
        all = false;
        break;
      }
    }
    if (all) matches.push_back(r);
  }
  // From the largest row down, so that the row moved into a hole is never one still to go.
  FlatIndex& rows = *inner.flat();
  for (auto it = matches.rbegin(); it != matches.rend(); ++it) {
    const std::uint64_t r = *it;
    if (r + 1 != metadata.size()) metadata[r] = std::move(metadata.back());
    metadata.pop_back();
    rows.swap_remove(r);
  }
  return matches.size();
}

std::vector<std::pair<Metadata, float>> MetadataVecTable::search(
    std::span<const float> query, std::uint64_t k, std::optional<std::uint64_t> ef,
    std::optional<float> upper_bound) const {
  std::vector<CandidatePair> found;
  const HNSWIndex* h = inner.hnsw();
  if (ef && pq_table) {
    found =
        h ? h->knn_pq(query, k, *ef, *pq_table) : inner.flat()->knn_pq(query, k, *ef, *pq_table);
  } else if (h) {
    found = h->knn_with_ef(query, k, ef.value_or(h->config().ef_search));
  } else {
    found = inner.flat()->knn(query, k);
  }
  const float bound = upper_bound.value_or(std::numeric_limits<float>::infinity());
  std::vector<std::pair<Metadata, float>> out;
  for (const CandidatePair& c : found) {
    if (!(c.distance <= bound)) continue;  // NaN distances and a NaN bound drop everything
    if (c.index >= metadata.size()) fail_index(c.index, metadata.size());
    out.emplace_back(metadata[c.index], c.distance);
  }
  return out;
}

std::vector<std::pair<std::vector<float>, Metadata>> MetadataVecTable::extract_data() const {
  const VecSet<float>& rows = inner.vec_set();
  const std::uint64_t n = std::min<std::uint64_t>(rows.len(), metadata.size());
  std::vector<std::pair<std::vector<float>, Metadata>> out;
  out.reserve(n);
  for (std::uint64_t r = 0; r < n; ++r) {
    const std::span<const float> v = rows[r];
    out.emplace_back(std::vector<float>(v.begin(), v.end()), metadata[r]);
  }
  return out;
}

}  // namespace quillmere
