#include "index_algorithm/hnsw_loader.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "common/failure.hpp"
#include "common/parallel.hpp"

namespace quillmere {
namespace {

// a * b, or nullopt when it does not fit 64 bits.
std::optional<std::uint64_t> product(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
  return r;
}

std::string node_count_problem(const char* what, std::uint64_t count, std::uint64_t nodes) {
  return "HNSW " + std::string(what) + " for " + std::to_string(count) + " nodes, " +
         std::to_string(nodes) + " vectors";
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

}  // namespace

std::optional<std::string> HNSWIndex::Loader::check_config(const HNSWInnerConfig& c,
                                                           std::uint64_t vectors_dim) {
  if (c.dim != vectors_dim)
    return "HNSW dimension " + std::to_string(c.dim) + " for vectors of dimension " +
           std::to_string(vectors_dim);
  const std::uint64_t m = c.max_links, m0 = c.max_links_level0;
  if (m < kMinLinks || m > kMaxLinks || m0 != level0_links(m))
    return "HNSW link capacities " + std::to_string(m) + " and " + std::to_string(m0);
  // The multiplier of the smallest M is the largest; a larger one would draw levels without bound.
  if (!(c.level_multiplier > 0.0f && c.level_multiplier <= level_multiplier(kMinLinks)) ||
      c.ef_construction == 0)
    return "HNSW level multiplier or construction width out of range";
  return std::nullopt;
}

HNSWIndex::Loader::Loader(const HNSWInnerConfig& config, std::uint64_t nodes)
    : index_(config), nodes_(nodes) {}

std::optional<std::string> HNSWIndex::Loader::level0_slots(std::uint64_t slots, const Fill& fill) {
  const std::uint64_t n = nodes_, m0 = index_.config_.max_links_level0;
  if (product(n, m0) != slots)
    return std::to_string(slots) + " level-0 link slots for " + std::to_string(n) + " nodes";
  index_.level0_.resize_for_overwrite(n * (m0 + 1));
  // The record holds the slots without the counts. They are read straight into the top of the
  // array (node j's slots at n + j * M0), a slice small enough to stay in cache at a time, and
  // each node's slots are moved down to its block right away: the block of node j ends where
  // the slots of node j + 1 begin at the earliest, so no unread slot is overwritten.
  constexpr std::uint64_t kSliceBytes = 256 << 10;
  const std::uint64_t per_slice = std::max<std::uint64_t>(1, kSliceBytes / (m0 * 4));
  std::uint32_t* const top = index_.level0_.data() + n;
  for (std::uint64_t first = 0; first < n; first += per_slice) {
    const std::uint64_t end = std::min(n, first + per_slice);
    fill(top + first * m0, (end - first) * m0 * 4);
    for (std::uint64_t node = first; node < end; ++node)
      std::memmove(index_.block(node, 0) + 1, top + node * m0, m0 * 4);
  }
  return std::nullopt;
}

std::optional<std::string> HNSWIndex::Loader::upper_slot_lists(std::uint64_t lists) {
  if (lists != nodes_) return node_count_problem("upper links", lists, nodes_);
  index_.upper_.resize(nodes_);
  upper_levels_.resize_for_overwrite(nodes_);
  return std::nullopt;
}

std::optional<std::string> HNSWIndex::Loader::upper_slots(std::uint64_t node, std::uint64_t slots,
                                                          const Fill& fill) {
  const std::uint64_t m = index_.config_.max_links;
  if (slots % m != 0)
    return "HNSW node " + std::to_string(node) + " has " + std::to_string(slots) +
           " upper slots, not a multiple of " + std::to_string(m);
  const std::uint64_t levels = slots / m;
  upper_levels_[node] = levels;
  if (levels == 0) return std::nullopt;
  index_.upper_[node].resize_for_overwrite(levels * (m + 1));
  for (std::uint64_t l = 1; l <= levels; ++l) fill(index_.block(node, l) + 1, m * 4);
  return std::nullopt;
}

std::optional<std::string> HNSWIndex::Loader::link_count_lists(std::uint64_t lists) const {
  if (lists != nodes_) return node_count_problem("link counts", lists, nodes_);
  return std::nullopt;
}

std::optional<std::string> HNSWIndex::Loader::link_counts(std::uint64_t node,
                                                          std::uint64_t counts) const {
  if (counts != upper_levels_[node] + 1)
    return "HNSW node " + std::to_string(node) + " has " +
           std::to_string(upper_levels_[node] * index_.config_.max_links) + " upper slots and " +
           std::to_string(counts) + " link counts";
  return std::nullopt;
}

std::optional<std::string> HNSWIndex::Loader::link_count(std::uint64_t node, std::uint64_t level,
                                                         std::uint64_t count) {
  if (count > index_.capacity(level))
    return "HNSW node " + std::to_string(node) + " has " + std::to_string(count) +
           " links on level " + std::to_string(level);
  *index_.block(node, level) = static_cast<std::uint32_t>(count);
  return std::nullopt;
}

void HNSWIndex::Loader::set_nodes(PodVec<std::uint64_t> levels, std::uint64_t num_deleted,
                                  std::optional<std::uint64_t> enter_level,
                                  std::optional<std::uint64_t> enter_point) {
  index_.levels_ = std::move(levels);
  index_.num_deleted_ = num_deleted;
  index_.enter_level_ = enter_level;
  index_.enter_point_ = enter_point;
}

// A node's first link, level by level, that names no node or a node whose top level is below
// the link's level. Every node reaches level 0, so there only the id range needs checking.
std::optional<HNSWIndex::Loader::BadLink> HNSWIndex::Loader::bad_link(std::uint64_t node) const {
  const PodVec<std::uint64_t>& levels = index_.levels_;
  const std::uint64_t n = levels.size();
  for (std::uint64_t l = 0; l <= levels[node]; ++l) {
    const std::uint32_t* block = index_.block(node, l);
    if (l == 0 && ids_below(block + 1, block[0], n)) continue;
    for (std::uint32_t i = 1; i <= block[0]; ++i) {
      if (block[i] >= n || levels[block[i]] < l) return BadLink{l, block[i]};
    }
  }
  return std::nullopt;
}

// The first bad link in node order. The nodes are checked in parallel slices, each noting its
// first bad node; the earliest of those is the one a single pass would report.
std::optional<std::string> HNSWIndex::Loader::check_links() const {
  constexpr std::uint64_t kNodesPerSlice = 8192;
  const std::uint64_t n = nodes_;
  std::vector<std::uint64_t> first_bad((n + kNodesPerSlice - 1) / kNodesPerSlice, n);
  pool::parallel_for(first_bad.size(), [&](std::size_t s0, std::size_t s1) {
    for (std::size_t s = s0; s < s1; ++s) {
      const std::uint64_t end = std::min(n, (s + 1) * kNodesPerSlice);
      for (std::uint64_t node = s * kNodesPerSlice; node < end; ++node) {
        if (bad_link(node)) {
          first_bad[s] = node;
          break;
        }
      }
    }
  });
  for (const std::uint64_t node : first_bad) {
    if (node == n) continue;
    const BadLink bad = *bad_link(node);
    return "HNSW node " + std::to_string(node) + " links to node " + std::to_string(bad.target) +
           " on level " + std::to_string(bad.level);
  }
  return std::nullopt;
}

std::optional<std::string> HNSWIndex::Loader::check() const {
  const PodVec<std::uint64_t>& levels = index_.levels_;
  if (levels.size() != nodes_) return node_count_problem("levels", levels.size(), nodes_);
  // The levels must agree with the slots and counts given per node.
  std::uint64_t top = 0;
  for (std::uint64_t node = 0; node < nodes_; ++node) {
    top = std::max(top, levels[node]);
    if (levels[node] != upper_levels_[node])
      return "HNSW node " + std::to_string(node) + " of level " + std::to_string(levels[node]) +
             " has " + std::to_string(upper_levels_[node] * index_.config_.max_links) +
             " upper slots and " + std::to_string(upper_levels_[node] + 1) + " link counts";
  }
  if (std::optional<std::string> bad = check_links()) return bad;
  const std::optional<std::uint64_t>& level = index_.enter_level_;
  const std::optional<std::uint64_t>& point = index_.enter_point_;
  const bool entry_ok =
      nodes_ == 0 ? !level && !point
                  : level && point && *point < nodes_ && levels[*point] == *level && *level == top;
  if (!entry_ok) return "HNSW entry point inconsistent with the nodes";
  return std::nullopt;
}

HNSWIndex HNSWIndex::Loader::finish(VecSet<float> vectors, PodVec<float> norms) && {
  assert_eq(static_cast<std::uint64_t>(norms.size()), index_.levels_.size());
  index_.norms_ = std::move(norms);
  index_.vec_set_ = std::move(vectors);
  return std::move(index_);
}

}  // namespace quillmere
