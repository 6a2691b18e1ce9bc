#include "database/table_file.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <tuple>
#include <utility>

#include "common/allocator.hpp"
#include "common/parallel.hpp"
#include "database/byte_codec.hpp"
#include "database/metadata_section.hpp"

namespace quillmere::table_file {
namespace {

std::string corruption(const std::string& what) { return "Corrupt table file: " + what; }

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
  const HNSWInnerConfig& c = h.config;
  w.u64(c.dim);
  write_dist(w, c.dist);
  w.u64(c.max_elements);
  w.u64(c.max_links);
  w.u64(c.max_links_level0);
  w.u64(c.ef_construction);
  w.u64(c.ef_search);
  w.f32(c.level_multiplier);
  w.u64(c.parallel_threshold);
  write_vec_set(w, h.vec_set);
  const std::uint64_t n = h.len();
  w.u64(n * c.max_links_level0);
  for (std::uint64_t node = 0; node < n; ++node) {
    const std::span<const std::uint32_t> s = h.slots(node, 0);
    w.bytes(s.data(), s.size() * 4);
  }
  w.u64(n);
  for (std::uint64_t node = 0; node < n; ++node) {
    w.u64(h.vec_level[node] * c.max_links);
    for (std::uint64_t l = 1; l <= h.vec_level[node]; ++l) {
      const std::span<const std::uint32_t> s = h.slots(node, l);
      w.bytes(s.data(), s.size() * 4);
    }
  }
  w.u64(n);
  for (std::uint64_t node = 0; node < n; ++node) {
    w.u64(h.vec_level[node] + 1);
    for (std::uint64_t l = 0; l <= h.vec_level[node]; ++l) w.u64(h.stored_links_len(node, l));
  }
  w.seq(h.vec_level.span());
  w.u64(h.num_deleted);
  w.opt_u64(h.enter_level);
  w.opt_u64(h.enter_point);
}

void write_pq(Writer& w, const PQTable& pq) {
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

[[noreturn]] void corrupt(const std::string& what) { throw ReadFailure{corruption(what)}; }

// a * b, or nullopt when it does not fit 64 bits.
std::optional<std::uint64_t> product(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
  return r;
}

DistanceAlgorithm read_dist(Reader& r) { return static_cast<DistanceAlgorithm>(r.variant()); }

template <class T>
VecSet<T> read_vec_set(Reader& r, const char* what) {
  const std::uint64_t dim = r.u64();
  PodVec<T> data = r.seq<T>();
  if (dim == 0) corrupt(std::string(what) + " has dimension 0");
  if (data.size() % dim != 0)
    corrupt(std::string(what) + " holds " + std::to_string(data.size()) +
            " elements, not a multiple of its dimension " + std::to_string(dim));
  return VecSet<T>(dim, std::move(data));
}

// The links of an HNSW index in the index's own block layout ([count, slots] per node and
// level), read straight into place: nodes of level 0 need no allocation of their own.
struct LinkBlocks {
  std::uint64_t m = 0, m0 = 0;
  PodVec<std::uint32_t> level0;              // per node: [count, M0 slots]
  std::vector<PodVec<std::uint32_t>> upper;  // per node: for L >= 1, [count, M slots]
  PodVec<std::uint64_t> upper_levels;        // per node, from its slot count

  std::uint32_t* block(std::uint64_t node, std::uint64_t level) {
    return level == 0 ? level0.data() + node * (m0 + 1) : upper[node].data() + (level - 1) * (m + 1);
  }
  const std::uint32_t* block(std::uint64_t node, std::uint64_t level) const {
    return const_cast<LinkBlocks*>(this)->block(node, level);
  }
};

void check_node_count(Reader& r, std::uint64_t n, const char* what) {
  const std::uint64_t count = r.count<8>();
  if (count != n)
    corrupt("HNSW " + std::string(what) + " for " + std::to_string(count) + " nodes, " + std::to_string(n) +
            " vectors");
}

void read_level0_slots(Reader& r, std::uint64_t n, LinkBlocks& b) {
  const std::uint64_t slots = r.count<4>();
  if (product(n, b.m0) != slots)
    corrupt(std::to_string(slots) + " level-0 link slots for " + std::to_string(n) + " nodes");
  b.level0.resize_for_overwrite(n * (b.m0 + 1));
  // The file holds the slots without the counts. They are read straight into the top of the
  // array (node j's slots at n + j * M0), a slice small enough to stay in cache at a time,
  // and each node's slots are moved down to its block right away: the block of node j ends
  // where the slots of node j + 1 begin at the earliest, so no unread slot is overwritten.
  constexpr std::uint64_t kSliceBytes = 256 << 10;
  const std::uint64_t per_slice = std::max<std::uint64_t>(1, kSliceBytes / (b.m0 * 4));
  std::uint32_t* const top = b.level0.data() + n;
  for (std::uint64_t first = 0; first < n; first += per_slice) {
    const std::uint64_t end = std::min(n, first + per_slice);
    r.bytes(top + first * b.m0, (end - first) * b.m0 * 4);
    for (std::uint64_t node = first; node < end; ++node)
      std::memmove(b.block(node, 0) + 1, top + node * b.m0, b.m0 * 4);
  }
}

void read_upper_slots(Reader& r, std::uint64_t n, LinkBlocks& b) {
  check_node_count(r, n, "upper links");
  b.upper.resize(n);
  b.upper_levels.resize_for_overwrite(n);
  for (std::uint64_t node = 0; node < n; ++node) {
    const std::uint64_t slots = r.count<4>();
    if (slots % b.m != 0)
      corrupt("HNSW node " + std::to_string(node) + " has " + std::to_string(slots) +
              " upper slots, not a multiple of " + std::to_string(b.m));
    const std::uint64_t levels = slots / b.m;
    b.upper_levels[node] = levels;
    if (levels == 0) continue;
    b.upper[node].resize_for_overwrite(levels * (b.m + 1));
    for (std::uint64_t l = 1; l <= levels; ++l) r.bytes(b.block(node, l) + 1, b.m * 4);
  }
}

void read_link_counts(Reader& r, std::uint64_t n, LinkBlocks& b) {
  check_node_count(r, n, "link counts");
  for (std::uint64_t node = 0; node < n; ++node) {
    const std::uint64_t counts = r.count<8>();
    if (counts != b.upper_levels[node] + 1)
      corrupt("HNSW node " + std::to_string(node) + " has " + std::to_string(b.upper_levels[node] * b.m) +
              " upper slots and " + std::to_string(counts) + " link counts");
    for (std::uint64_t l = 0; l < counts; ++l) {
      const std::uint64_t count = r.u64();
      if (count > (l == 0 ? b.m0 : b.m))
        corrupt("HNSW node " + std::to_string(node) + " has " + std::to_string(count) + " links on level " +
                std::to_string(l));
      *b.block(node, l) = static_cast<std::uint32_t>(count);
    }
  }
}

// Whether every one of `count` ids is below n. Written as one pass without an early exit so
// that it runs as wide compares: level 0 holds nearly all of a graph's links.
bool ids_below(const std::uint32_t* ids, std::uint32_t count, std::uint64_t n) {
  if (n > std::numeric_limits<std::uint32_t>::max()) return true;
  const auto limit = static_cast<std::uint32_t>(n);
  std::uint32_t outside = 0;
  for (std::uint32_t i = 0; i < count; ++i) outside |= ids[i] >= limit ? 1u : 0u;
  return outside == 0;
}

struct BadLink {
  std::uint64_t level;
  std::uint32_t target;
};

// A node's first link, level by level, that names no node or a node whose top level is below
// the link's level. Every node reaches level 0, so there only the id range needs checking.
std::optional<BadLink> bad_link(const LinkBlocks& b, const PodVec<std::uint64_t>& levels, std::uint64_t node) {
  const std::uint64_t n = levels.size();
  for (std::uint64_t l = 0; l <= levels[node]; ++l) {
    const std::uint32_t* block = b.block(node, l);
    if (l == 0 && ids_below(block + 1, block[0], n)) continue;
    for (std::uint32_t i = 1; i <= block[0]; ++i) {
      if (block[i] >= n || levels[block[i]] < l) return BadLink{l, block[i]};
    }
  }
  return std::nullopt;
}

// Reports the first bad link in node order. The nodes are checked in parallel slices, each
// noting its first bad node; the earliest of those is the one a single pass would report.
void check_links(const LinkBlocks& b, const PodVec<std::uint64_t>& levels) {
  constexpr std::uint64_t kNodesPerSlice = 8192;
  const std::uint64_t n = levels.size();
  std::vector<std::uint64_t> first_bad((n + kNodesPerSlice - 1) / kNodesPerSlice, n);
  pool::parallel_for(first_bad.size(), [&](std::size_t s0, std::size_t s1) {
    for (std::size_t s = s0; s < s1; ++s) {
      const std::uint64_t end = std::min(n, (s + 1) * kNodesPerSlice);
      for (std::uint64_t node = s * kNodesPerSlice; node < end; ++node) {
        if (bad_link(b, levels, node)) {
          first_bad[s] = node;
          break;
        }
      }
    }
  });
  for (const std::uint64_t node : first_bad) {
    if (node == n) continue;
    const BadLink bad = *bad_link(b, levels, node);
    corrupt("HNSW node " + std::to_string(node) + " links to node " + std::to_string(bad.target) + " on level " +
            std::to_string(bad.level));
  }
}

// The levels must agree with the slots and counts read per node; answers the top level.
std::uint64_t check_levels(const LinkBlocks& b, const PodVec<std::uint64_t>& levels) {
  std::uint64_t top = 0;
  for (std::uint64_t node = 0; node < levels.size(); ++node) {
    top = std::max(top, levels[node]);
    if (levels[node] != b.upper_levels[node])
      corrupt("HNSW node " + std::to_string(node) + " of level " + std::to_string(levels[node]) + " has " +
              std::to_string(b.upper_levels[node] * b.m) + " upper slots and " +
              std::to_string(b.upper_levels[node] + 1) + " link counts");
  }
  return top;
}

// The HNSW record after its vectors.
struct Graph {
  LinkBlocks links;
  PodVec<std::uint64_t> levels;
  std::uint64_t num_deleted = 0;
  std::optional<std::uint64_t> enter_level, enter_point;
};

Graph read_graph(Reader& r, std::uint64_t n, std::uint64_t m, std::uint64_t m0) {
  Graph g;
  g.links.m = m;
  g.links.m0 = m0;
  read_level0_slots(r, n, g.links);
  read_upper_slots(r, n, g.links);
  read_link_counts(r, n, g.links);
  g.levels = r.seq<std::uint64_t>();
  g.num_deleted = r.u64();
  g.enter_level = r.opt_u64();
  g.enter_point = r.opt_u64();
  return g;
}

void check_graph(const Graph& g, std::uint64_t n) {
  if (g.levels.size() != n)
    corrupt("HNSW levels for " + std::to_string(g.levels.size()) + " nodes, " + std::to_string(n) + " vectors");
  const std::uint64_t top = check_levels(g.links, g.levels);
  check_links(g.links, g.levels);
  const bool entry_ok = n == 0 ? !g.enter_level && !g.enter_point
                               : g.enter_level && g.enter_point && *g.enter_point < n &&
                                     g.levels[*g.enter_point] == *g.enter_level && *g.enter_level == top;
  if (!entry_ok) corrupt("HNSW entry point inconsistent with the nodes");
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

  const std::uint64_t n = vectors.len();
  const std::uint64_t m = c.max_links, m0 = c.max_links_level0;
  if (c.dim != vectors.dim())
    corrupt("HNSW dimension " + std::to_string(c.dim) + " for vectors of dimension " +
            std::to_string(vectors.dim()));
  if (m < 2 || m > 10000 || m0 != 2 * m)
    corrupt("HNSW link capacities " + std::to_string(m) + " and " + std::to_string(m0));
  // 1 / ln M for M >= 2 is at most 1 / ln 2; a larger one would draw levels without bound.
  if (!(c.level_multiplier > 0.0f && c.level_multiplier <= 1.0f / std::log(2.0f)) || c.ef_construction == 0)
    corrupt("HNSW level multiplier or construction width out of range");

  // The norms need only the vectors: the pool computes them while the links are read.
  Graph g;
  PodVec<float> norms;
  pool::join([&] { g = read_graph(r, n, m, m0); }, [&] { norms = HNSWIndex::norms_of(vectors, c.dist); });
  check_graph(g, n);
  return HNSWIndex::from_parts(c, std::move(vectors), std::move(g.links.level0), std::move(g.links.upper),
                               std::move(g.levels), std::move(norms), g.num_deleted, g.enter_level,
                               g.enter_point);
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
  return PQTable{c, dim, k, code_len, std::move(codes), std::move(models), std::move(norms), {}, {}};
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
  return MetadataVecTable{std::move(metadata), std::move(*inner), std::move(pq), ChaCha12Rng::from_entropy()};
}

}  // namespace

Result<void> validate(const MetadataVecTable& t) {
  const std::uint64_t rows = t.len();
  if (t.metadata.size() != rows)
    return make_error(ErrorKind::CorruptFile, corruption(std::to_string(t.metadata.size()) + " metadata maps for " +
                                                         std::to_string(rows) + " rows"));
  if (t.pq_table) {
    if (std::optional<std::string> problem = t.pq_table->check(t.dim(), t.dist(), rows))
      return make_error(ErrorKind::CorruptFile, corruption(*problem));
  }
  return {};
}

Result<void> save(const MetadataVecTable& table, File& out) {
  FileSink sink(out);
  auto w = std::make_unique<Writer>(sink);
  write_metadata(*w, table.metadata);
  w->u32(table.inner.kind());
  if (const FlatIndex* f = table.inner.flat()) {
    write_dist(*w, f->dist);
    write_vec_set(*w, f->vec_set);
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
