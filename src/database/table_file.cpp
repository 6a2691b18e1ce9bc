#include "database/table_file.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/allocator.hpp"
#include "common/parallel.hpp"
#include "database/byte_codec.hpp"
#include "database/metadata_section.hpp"
#include "index_algorithm/hnsw_loader.hpp"

namespace quillmere::table_file {
namespace {

std::string corrupt_message(const std::string& what) { return "Corrupt table file: " + what; }

// ---------------------------------------------------------------------------------------------
// Writing

// DistanceAlgorithm, an enum of two variants without fields.
void write_dist(Writer& w, DistanceAlgorithm d) { w.u32(static_cast<std::uint32_t>(d)); }

template <class T>
void write_vec_set(Writer& w, const VecSet<T>& set) {
  w.u64(set.dim());
  w.seq(set.data().span());
}

void write_hnsw(Writer& w, const HNSWIndex& h) {
  const HNSWInnerConfig& c = h.config();
  w.u64(c.dim);
  write_dist(w, c.dist);
  w.u64(c.max_elements);
  w.u64(c.max_links);
  w.u64(c.max_links_level0);
  w.u64(c.ef_construction);
  w.u64(c.ef_search);
  w.f32(c.level_multiplier);
  w.u64(c.parallel_threshold);
  write_vec_set(w, h.vec_set());
  const std::uint64_t n = h.len();
  w.u64(n * c.max_links_level0);
  for (std::uint64_t node = 0; node < n; ++node) {
    const std::span<const std::uint32_t> s = h.slots(node, 0);
    w.bytes(s.data(), s.size() * 4);
  }
  w.u64(n);
  for (std::uint64_t node = 0; node < n; ++node) {
    w.u64(h.level(node) * c.max_links);
    for (std::uint64_t l = 1; l <= h.level(node); ++l) {
      const std::span<const std::uint32_t> s = h.slots(node, l);
      w.bytes(s.data(), s.size() * 4);
    }
  }
  w.u64(n);
  for (std::uint64_t node = 0; node < n; ++node) {
    w.u64(h.level(node) + 1);
    for (std::uint64_t l = 0; l <= h.level(node); ++l) w.u64(h.stored_links_len(node, l));
  }
  w.seq(h.levels().span());
  w.u64(h.num_deleted());
  w.opt_u64(h.enter_level());
  w.opt_u64(h.enter_point());
}

void write_pq(Writer& w, const PQTable& table) {
  const PQParts& pq = table.parts();
  const PQConfig& c = pq.config;
  w.u64(c.n_bits);
  w.u64(c.m);
  write_dist(w, c.dist);
  w.opt_u64(c.train_size);
  w.u64(c.max_iter);
  w.f32(c.tol);
  w.u64(pq.dim);
  w.u64(pq.k);
  w.u64(pq.code_len);
  write_vec_set(w, pq.encoded_vec_set);
  w.u64(pq.kmeans.size());
  for (const KMeans& model : pq.kmeans) {
    w.u64(model.config.k);
    w.u64(model.config.max_iter);
    w.f32(model.config.tol);
    write_dist(w, model.config.dist);
    w.u8(model.config.selected ? 1 : 0);
    if (model.config.selected) {
      w.u64(model.config.selected->start);
      w.u64(model.config.selected->end);
    }
    write_vec_set(w, model.centroids);
  }
  w.seq(pq.centroid_sq_norms.span());
}

// ---------------------------------------------------------------------------------------------
// Reading

[[noreturn]] void throw_corrupt(const std::string& what) {
  throw ReadFailure{corrupt_message(what)};
}

DistanceAlgorithm read_dist(Reader& r) { return static_cast<DistanceAlgorithm>(r.variant()); }

template <class T>
VecSet<T> read_vec_set(Reader& r, const char* what) {
  const std::uint64_t dim = r.u64();
  PodVec<T> data = r.seq<T>();
  if (dim == 0) throw_corrupt(std::string(what) + " has dimension 0");
  if (data.size() % dim != 0)
    throw_corrupt(std::string(what) + " holds " + std::to_string(data.size()) +
                  " elements, not a multiple of its dimension " + std::to_string(dim));
  return VecSet<T>(dim, std::move(data));
}

// Stops the read at the problem a check of the index found.
void check(const std::optional<std::string>& problem) {
  if (problem) [[unlikely]]
    throw_corrupt(*problem);
}

// The HNSW record after its vectors, into the loader's link blocks.
void read_graph(Reader& r, std::uint64_t n, HNSWIndex::Loader& graph) {
  const HNSWIndex::Loader::Fill fill = [&r](void* into, std::size_t bytes) {
    r.bytes(into, bytes);
  };
  check(graph.level0_slots(r.count<4>(), fill));
  check(graph.upper_slot_lists(r.count<8>()));
  for (std::uint64_t node = 0; node < n; ++node) check(graph.upper_slots(node, r.count<4>(), fill));
  check(graph.link_count_lists(r.count<8>()));
  for (std::uint64_t node = 0; node < n; ++node) {
    const std::uint64_t counts = r.count<8>();
    check(graph.link_counts(node, counts));
    for (std::uint64_t l = 0; l < counts; ++l) check(graph.link_count(node, l, r.u64()));
  }
  PodVec<std::uint64_t> levels = r.seq<std::uint64_t>();
  const std::uint64_t num_deleted = r.u64();
  const std::optional<std::uint64_t> enter_level = r.opt_u64();
  const std::optional<std::uint64_t> enter_point = r.opt_u64();
  graph.set_nodes(std::move(levels), num_deleted, enter_level, enter_point);
}

HNSWIndex read_hnsw(Reader& r) {
  HNSWInnerConfig c{};
  c.dim = r.u64();
  c.dist = read_dist(r);
  c.max_elements = r.u64();
  c.max_links = r.u64();
  c.max_links_level0 = r.u64();
  c.ef_construction = r.u64();
  c.ef_search = r.u64();
  c.level_multiplier = r.f32();
  c.parallel_threshold = r.u64();
  VecSet<float> vectors = read_vec_set<float>(r, "the HNSW vector set");
  check(HNSWIndex::Loader::check_config(c, vectors.dim()));

  // The norms need only the vectors: the pool computes them while the links are read.
  const std::uint64_t n = vectors.len();
  HNSWIndex::Loader graph(c, n);
  PodVec<float> norms;
  pool::join([&] { read_graph(r, n, graph); },
             [&] { norms = HNSWIndex::norms_of(vectors, c.dist); });
  check(graph.check());
  return std::move(graph).finish(std::move(vectors), std::move(norms));
}

PQTable read_pq(Reader& r) {
  PQConfig c{};
  c.n_bits = r.u64();
  c.m = r.u64();
  c.dist = read_dist(r);
  c.train_size = r.opt_u64();
  c.max_iter = r.u64();
  c.tol = r.f32();
  const std::uint64_t dim = r.u64(), k = r.u64(), code_len = r.u64();
  VecSet<std::uint8_t> codes = read_vec_set<std::uint8_t>(r, "the PQ code set");
  std::vector<KMeans> models;
  const std::uint64_t n_models = r.count<41>();  // the smallest KMeans record
  models.reserve(n_models);
  for (std::uint64_t g = 0; g < n_models; ++g) {
    KMeansConfig kc{};
    kc.k = r.u64();
    kc.max_iter = r.u64();
    kc.tol = r.f32();
    kc.dist = read_dist(r);
    if (r.tag()) {
      const std::uint64_t start = r.u64();
      kc.selected = DimRange{start, r.u64()};
    }
    models.push_back(KMeans{kc, read_vec_set<float>(r, "a PQ centroid set")});
  }
  PodVec<float> norms = r.seq<float>();
  return PQTable(
      PQParts{c, dim, k, code_len, std::move(codes), std::move(models), std::move(norms)});
}

// Everything after the metadata: the index, then the optional PQ table.
void read_index_and_pq(Reader& r, std::optional<DynamicIndex>& inner, std::optional<PQTable>& pq) {
  if (r.variant() == DynamicIndex::Flat) {
    const DistanceAlgorithm d = read_dist(r);
    inner.emplace(FlatIndex(d, read_vec_set<float>(r, "the vector set")));
  } else {
    inner.emplace(read_hnsw(r));
  }
  if (r.tag()) pq = read_pq(r);
}

// Metadata sections from this size on are turned into maps on the pool while the rest of the
// file is read; for a smaller one, waking the pool costs more than building its maps.
constexpr std::size_t kBackgroundMapBytes = 64 << 10;

MetadataVecTable read_table(Reader& r) {
  const MetadataSection section = MetadataSection::read(r);
  // The maps take one allocation per entry, which is what reading them costs. Every check of
  // the metadata is done by now, so the errors still come in file order.
  std::vector<Metadata> metadata;
  std::optional<DynamicIndex> inner;
  std::optional<PQTable> pq;
  if (section.size_bytes() >= kBackgroundMapBytes) {
    pool::join([&] { read_index_and_pq(r, inner, pq); }, [&] { metadata = section.build_maps(); });
  } else {
    metadata = section.build_maps();
    read_index_and_pq(r, inner, pq);
  }
  return MetadataVecTable{std::move(metadata), std::move(*inner), std::move(pq),
                          ChaCha12Rng::from_entropy()};
}

}  // namespace

Result<void> validate(const MetadataVecTable& t) {
  const std::uint64_t rows = t.len();
  if (t.metadata.size() != rows)
    return make_error(ErrorKind::CorruptFile,
                      corrupt_message(std::to_string(t.metadata.size()) + " metadata maps for " +
                                      std::to_string(rows) + " rows"));
  if (t.pq_table) {
    if (std::optional<std::string> problem = t.pq_table->check(t.dim(), t.dist(), rows))
      return make_error(ErrorKind::CorruptFile, corrupt_message(*problem));
  }
  return {};
}

Result<void> save(const MetadataVecTable& table, File& out) {
  FileSink sink(out);
  auto w = std::make_unique<Writer>(sink);
  write_metadata(*w, table.metadata);
  w->u32(table.inner.kind());
  if (const FlatIndex* f = table.inner.flat()) {
    write_dist(*w, f->dist());
    write_vec_set(*w, f->vec_set());
  } else {
    write_hnsw(*w, *table.inner.hnsw());
  }
  w->u8(table.pq_table ? 1 : 0);
  if (table.pq_table) write_pq(*w, *table.pq_table);
  w->flush();
  if (w->failure()) return std::unexpected(*w->failure());
  return {};
}

Result<MetadataVecTable> load(File& in) {
  FileSource source(in);
  auto reader = std::make_unique<Reader>(source);
  try {
    MetadataVecTable table = read_table(*reader);
    if (Result<void> ok = validate(table); !ok) return std::unexpected(ok.error());
    if (table.pq_table) table.pq_table->rebuild_caches();
    return table;
  } catch (const ReadFailure& f) {
    return make_error(f.kind, f.message);
  }
}

}  // namespace quillmere::table_file

namespace quillmere {

Result<void> MetadataVecTable::save(File& out) const { return table_file::save(*this, out); }

Result<MetadataVecTable> MetadataVecTable::load(File& in) { return table_file::load(in); }

}  // namespace quillmere
