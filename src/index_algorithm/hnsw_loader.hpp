// HNSWIndex::Loader: an index assembled from the parts of a stored record (a table file), in the
// record's order: the links (every node's level-0 slots, each node's upper slots, each node's
// count per level), read straight into the index's own link blocks, then the nodes' levels and
// the entry point. Every step checks what it is given and answers the first inconsistency as a
// message ("HNSW node 3 has 40 links on level 0"), nullopt when there is none; the caller stops
// at the first. Only a loader whose check() found nothing may finish().
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "index_algorithm/hnsw_index.hpp"

namespace quillmere {

class HNSWIndex::Loader {
 public:
  // The first inconsistency of stored parameters, with themselves or with the dimension of the
  // stored vectors.
  static std::optional<std::string> check_config(const HNSWInnerConfig& config,
                                                 std::uint64_t vectors_dim);

  // An index of `nodes` nodes. REQUIRES: check_config(config, ...) found nothing.
  Loader(const HNSWInnerConfig& config, std::uint64_t nodes);

  // Fills `bytes` bytes at `into` from the record.
  using Fill = std::function<void(void* into, std::size_t bytes)>;

  // The level-0 slots, M0 per node in node order, `slots` in all.
  std::optional<std::string> level0_slots(std::uint64_t slots, const Fill& fill);
  // The upper slots: `lists` lists, one per node; then for each node in order its slots above
  // level 0, M per level, `slots` in all.
  std::optional<std::string> upper_slot_lists(std::uint64_t lists);
  std::optional<std::string> upper_slots(std::uint64_t node, std::uint64_t slots, const Fill& fill);
  // The counts: `lists` lists, one per node; then for each node in order `counts` of them, one
  // per level from 0, each given by link_count.
  std::optional<std::string> link_count_lists(std::uint64_t lists) const;
  std::optional<std::string> link_counts(std::uint64_t node, std::uint64_t counts) const;
  std::optional<std::string> link_count(std::uint64_t node, std::uint64_t level,
                                        std::uint64_t count);
  // The nodes' top levels, the deleted count and the entry point, as stored.
  void set_nodes(PodVec<std::uint64_t> levels, std::uint64_t num_deleted,
                 std::optional<std::uint64_t> enter_level,
                 std::optional<std::uint64_t> enter_point);

  // The whole graph: a level per node that agrees with its slots and counts, links to nodes
  // that reach the link's level, the entry point a node of the top level. The links are
  // checked in parallel.
  std::optional<std::string> check() const;

  // REQUIRES: check() found nothing; `vectors` holds the nodes' vectors, and
  // `norms` = norms_of(vectors, config.dist).
  HNSWIndex finish(VecSet<float> vectors, PodVec<float> norms) &&;

 private:
  struct BadLink {
    std::uint64_t level;
    std::uint32_t target;
  };
  std::optional<BadLink> bad_link(std::uint64_t node) const;
  std::optional<std::string> check_links() const;

  HNSWIndex index_;
  std::uint64_t nodes_;
  PodVec<std::uint64_t> upper_levels_;  // per node, from its slot count
};

}  // namespace quillmere
