// HNSWIndex: the hierarchical navigable small-world graph index of one table. Every node is a
// row of the index's own vector set (node id = row number) with a random top level; level 0
// holds every node. Every distance the index computes is the precomputed-norm form, with the
// norms kept per node (the norm for Cosine, the squared norm for L2Sqr; never persisted).
//
// Link storage: level 0 in one flat array of fixed blocks, node after node; the levels above
// in one array per node, level L (>= 1) in block L-1. A block is [count, M slots] (M0 = 2M
// slots on level 0), so a node's count and its neighbours share a cache line. Slots past a
// level's count are never cleared: they hold 0 from the node's creation or ids left over from
// a longer list. Counts are kept as 32-bit words; a count above the level's capacity (which
// only an inconsistent file can bring) is kept saturated and fails every checked read alike.
//
// No lock of its own: searches only read and may run at once; insertion needs exclusive
// access (the table's write lock) and fans its searches out to the data-parallel pool.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common/allocator.hpp"
#include "common/failure.hpp"
#include "common/random.hpp"
#include "distance/distance_algorithm.hpp"
#include "distance/pq_table.hpp"
#include "index_algorithm/candidate_pair.hpp"
#include "vec_set.hpp"

namespace quillmere {

// What an insertion reserved before its first change, and the buffers of linking one node
// (hnsw_insert.cpp).
namespace hnsw_insert {
struct Insertion;
struct LinkBuffers;
}  // namespace hnsw_insert

// The index's parameters (persisted at the head of the index record).
struct HNSWInnerConfig {
  std::uint64_t dim;
  DistanceAlgorithm dist;
  std::uint64_t max_elements;        // rows the index was built for (capacity reserve only)
  std::uint64_t max_links;           // M: slots per node on every level from 1 up
  std::uint64_t max_links_level0;    // M0 = 2M: slots per node on level 0
  std::uint64_t ef_construction;     // search width while inserting
  std::uint64_t ef_search;           // default search width of the table
  float level_multiplier;            // mL = 1 / ln M
  std::uint64_t parallel_threshold;  // below this node count, batches insert node by node

  friend bool operator==(const HNSWInnerConfig&, const HNSWInnerConfig&) = default;
};

// A build request.
struct HNSWConfig {
  std::uint64_t max_elements;
  std::uint64_t ef_construction;
  std::uint64_t max_links;
};

class HNSWIndex {
 public:
  // The bounds of M: below 2 the level multiplier is infinite (or nodes have no links), and a
  // larger request is cut to the largest.
  static constexpr std::uint64_t kMinLinks = 2, kMaxLinks = 10000;
  // M0 for M.
  static constexpr std::uint64_t level0_links(std::uint64_t m) { return 2 * m; }
  // mL for M: 1 / ln M in single precision.
  static float level_multiplier(std::uint64_t m);

  // The parameters of a new index: M = min(max_links, kMaxLinks) (a larger request prints a
  // warning to standard error), M0 = level0_links(M), ef_construction >= 2M, ef_search =
  // ef_construction / 2, mL = level_multiplier(M), threshold 1000. M below kMinLinks is an
  // internal failure.
  static HNSWInnerConfig parameters(const HNSWConfig& request, DistanceAlgorithm dist,
                                    std::uint64_t dim);

  // An empty index (no node, no entry point) with these parameters.
  explicit HNSWIndex(const HNSWInnerConfig& config);

  // A whole index over every row of `vec_set`, node i = row i, inserted in batches.
  // `show_progress` reports the progress on standard error.
  static HNSWIndex build_on_vec_set(const VecSet<float>& vec_set, DistanceAlgorithm dist,
                                    const HNSWConfig& request, bool show_progress,
                                    ChaCha12Rng& rng);

  // The norm cache of an index of distance `dist` over `vec_set` (see the file comment),
  // computed over the pool.
  static PodVec<float> norms_of(const VecSet<float>& vec_set, DistanceAlgorithm dist);

  // An index from a stored record, checked as it is assembled (hnsw_loader.hpp).
  class Loader;

  // --- insertion ---
  // Every insertion reserves all the memory it uses before it changes the graph, so that one
  // that runs out of memory (std::bad_alloc) leaves the index, and the generator, as they were.
  std::uint64_t add(std::span<const float> vector, ChaCha12Rng& rng);
  // Inserts the list in batches sized from the node count and the pool's thread count;
  // answers the new ids in list order. `progress`, when given, hears the count inserted after
  // each batch; it changes nothing of the graph.
  std::vector<std::uint64_t> inner_batch_add(
      std::span<const std::span<const float>> vectors, ChaCha12Rng& rng,
      const std::function<void(std::size_t done)>& progress = {});
  // One batch: node by node below the threshold, otherwise levels drawn first, the neighbour
  // searches in parallel against the graph as it was before the batch, then the linking.
  std::vector<std::uint64_t> add_parallel(std::span<const std::span<const float>> vectors,
                                          ChaCha12Rng& rng);
  // Links `node` on `level` to the heuristic's choice among `candidates` and updates the
  // chosen neighbours' lists.
  void connect_new_links(std::uint64_t node, std::uint64_t level, ResultSet candidates);

  // --- structure ---
  // Appends a node of top level `level` with empty lists; answers its id.
  std::uint64_t push_init(std::span<const float> vector, std::uint64_t level);
  std::uint64_t get_links_len_checked(std::uint64_t node, std::uint64_t level) const {
    check_level(node, level);
    const std::uint64_t count = *block(node, level);
    if (count > capacity(level)) [[unlikely]]
      fail_links_len(node, level);
    return count;
  }
  std::span<const std::uint32_t> get_links(std::uint64_t node, std::uint64_t level) const {
    const std::uint64_t count = get_links_len_checked(node, level);
    return {block(node, level) + 1, count};
  }
  // The list get_links answers, or nullopt where get_links would fail (for reads that must not
  // fail, such as a search's look-ahead).
  std::optional<std::span<const std::uint32_t>> find_links(std::uint64_t node,
                                                           std::uint64_t level) const {
    if (node >= len() || (level != 0 && level > levels_[node])) return std::nullopt;
    const std::uint64_t count = *block(node, level);
    if (count > capacity(level)) return std::nullopt;
    return std::span<const std::uint32_t>{block(node, level) + 1, count};
  }
  void put_links(std::uint64_t node, std::uint64_t level, std::span<const std::uint32_t> ids);
  // The top level of a new node from one 32-bit generator output x:
  // floor(-ln((x >> 9) / 2^23) * mL) in single precision, saturated to 64 bits. The draw of 0
  // (whose logarithm is infinite) gives the largest level any other draw can give.
  static std::uint64_t level_from_draw(std::uint32_t x, float level_multiplier);

  // --- search ---
  // The k nearest, searched with width max(ef, k).
  std::vector<CandidatePair> knn_with_ef(std::span<const float> query, std::uint64_t k,
                                         std::uint64_t ef) const;
  // The walk on quantized distances of `pq`'s codes, re-ranked exactly; `pq` must encode the
  // nodes in id order and be built for the index's distance.
  std::vector<CandidatePair> knn_pq(std::span<const float> query, std::uint64_t k, std::uint64_t ef,
                                    const PQTable& pq) const;

  // Starts loading a node's list on a level (a hint; no checks).
  void prefetch_links(std::uint64_t node, std::uint64_t level) const {
    if (node < len() && (level == 0 || level <= levels_[node]))
      __builtin_prefetch(block(node, level));
  }

  // --- state ---
  const HNSWInnerConfig& config() const { return config_; }
  // The nodes' vectors, node i = row i.
  const VecSet<float>& vec_set() const { return vec_set_; }
  std::uint64_t len() const { return levels_.size(); }
  // The top level of each node. REQUIRES: node < len().
  std::uint64_t level(std::uint64_t node) const { return levels_[node]; }
  const PodVec<std::uint64_t>& levels() const { return levels_; }
  // The norm cache (see the file comment). REQUIRES: node < len().
  float norm(std::uint64_t node) const { return norms_[node]; }
  const PodVec<float>& norms() const { return norms_; }
  std::uint64_t num_deleted() const { return num_deleted_; }
  // Both present (a node of the top level) or both absent (no node).
  std::optional<std::uint64_t> enter_level() const { return enter_level_; }
  std::optional<std::uint64_t> enter_point() const { return enter_point_; }
  // The capacity of a level's list: M0 on level 0, M above.
  std::uint64_t capacity(std::uint64_t level) const {
    return level == 0 ? config_.max_links_level0 : config_.max_links;
  }
  // The unchecked stored count of a level (for writing the index out).
  std::uint64_t stored_links_len(std::uint64_t node, std::uint64_t level) const {
    return *block(node, level);
  }
  // Every slot of a level's block, used or not (for writing the index out).
  std::span<const std::uint32_t> slots(std::uint64_t node, std::uint64_t level) const {
    return {block(node, level) + 1, capacity(level)};
  }

  // The vectors, taken out of an index that is given up (to go on with a flat index).
  VecSet<float> take_vectors() &&;

  // --- for tests only ---
  // Named steps of the searches above (which run them through hnsw_walk.hpp themselves).
  // Descends from the entry point to `target` + 1 and answers the node reached.
  std::uint64_t greedy_search_until_level(std::uint64_t target, std::span<const float> query) const;
  // Best-first search of one level from `start` with `width` results.
  ResultSet search_on_level(std::uint64_t start, std::uint64_t level, std::uint64_t width,
                            std::span<const float> query) const;
  // Sets the entry point as given, consistent or not: for reference insertions and for
  // breaking the index on purpose.
  void TEST_set_entry(std::optional<std::uint64_t> level, std::optional<std::uint64_t> point) {
    enter_level_ = level;
    enter_point_ = point;
  }
  // A default search width that no request can give (it is ef_construction / 2).
  void TEST_set_ef_search(std::uint64_t ef) { config_.ef_search = ef; }

 private:
  std::uint32_t* block(std::uint64_t node, std::uint64_t level) {
    return const_cast<std::uint32_t*>(std::as_const(*this).block(node, level));
  }
  const std::uint32_t* block(std::uint64_t node, std::uint64_t level) const {
    if (level == 0) return level0_.data() + node * (config_.max_links_level0 + 1);
    return upper_[node].data() + (level - 1) * (config_.max_links + 1);
  }
  void check_level(std::uint64_t node, std::uint64_t level) const {
    if (node >= len()) [[unlikely]]
      fail_index(node, len());
    // Every node has level 0: only upper levels need the node's top level.
    if (level != 0 && level > levels_[node]) [[unlikely]]
      fail("Index out of bounds.");
  }
  [[noreturn]] void fail_links_len(std::uint64_t node, std::uint64_t level) const;

  // Insertion (hnsw_insert.cpp).
  using Insertion = hnsw_insert::Insertion;
  using LinkBuffers = hnsw_insert::LinkBuffers;
  // The blocks above level 0 of a node `id` of top level `level`, all empty.
  PodVec<std::uint32_t> upper_block(std::uint64_t id, std::uint64_t level) const;
  // push_init with the node's upper blocks made already: allocates nothing once room is made.
  std::uint64_t push_node(std::span<const float> vector, std::uint64_t level,
                          PodVec<std::uint32_t> upper);
  // The batches of inner_batch_add, or one batch (add_parallel), after planning and reserving.
  std::vector<std::uint64_t> insert(std::span<const std::span<const float>> vectors,
                                    ChaCha12Rng& rng, bool one_batch,
                                    const std::function<void(std::size_t done)>& progress);
  void plan(Insertion& ins, std::span<const std::span<const float>> vectors, ChaCha12Rng& rng,
            bool one_batch);
  std::uint64_t add_one(std::span<const float> vector, std::size_t i, Insertion& ins);
  void add_batch(std::span<const std::span<const float>> vectors, std::size_t first,
                 Insertion& ins);
  // The two steps of add_batch over the appended nodes c .. c + n - 1.
  void search_batch(std::uint64_t c, std::uint64_t n, Insertion& ins);
  void link_batch(std::uint64_t c, std::uint64_t n, Insertion& ins);
  // connect_new_links over the candidates in ascending order.
  void connect(std::uint64_t node, std::uint64_t level, std::span<const CandidatePair> candidates,
               LinkBuffers& s);
  // Adds `node` to b's list on `level`, re-selecting the list when it is full.
  void link_back(std::uint64_t b, std::uint64_t level, std::uint64_t node, LinkBuffers& s);

  HNSWInnerConfig config_;
  VecSet<float> vec_set_;
  PodVec<std::uint64_t> levels_;  // top level per node
  std::uint64_t num_deleted_ = 0;
  std::optional<std::uint64_t> enter_level_;
  std::optional<std::uint64_t> enter_point_;
  PodVec<float> norms_;                       // not persisted; see the file comment
  PodVec<std::uint32_t> level0_;              // per node: [count, M0 slots]
  std::vector<PodVec<std::uint32_t>> upper_;  // per node: for L >= 1, [count, M slots]
};

}  // namespace quillmere
