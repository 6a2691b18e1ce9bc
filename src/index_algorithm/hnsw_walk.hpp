// PRIVATE header of src/index_algorithm: the graph walks shared by search and insertion,
// written once over a scorer (exact precomputed-norm distances, or quantized distances of PQ
// codes).
//
// The structures differ from plain ordered sets and a hash set, with the same results: the
// visited set is an epoch-stamped array per thread (reset only when the epoch wraps), the
// candidate queue a binary min-heap in CandidatePair order (a node enters it at most once, so
// it never holds two equal pairs; pairs that could only end the search are left out), and the unvisited neighbours of an expanded node are scored
// in one batch, in list order, before they are offered one by one.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/allocator.hpp"
#include "common/failure.hpp"
#include "distance/distance.hpp"
#include "distance/pq_table.hpp"
#include "index_algorithm/candidate_pair.hpp"
#include "index_algorithm/hnsw_index.hpp"

namespace quillmere::hnsw_walk {

// Per-thread scratch of the walks, reused across searches.
struct Scratch {
  PodVec<std::uint32_t> stamps;  // visited when stamps[id] == epoch
  std::uint32_t epoch = 0;
  std::vector<CandidatePair> heap;
  PodVec<std::uint32_t> ids;
  PodVec<float> dists;
  PodVec<const float*> rows;
  PodVec<float> row_norms;

  // A fresh visited set for an index of n nodes.
  void new_visit(std::uint64_t n) {
    if (stamps.size() < n) stamps.resize(n);
    if (++epoch == 0) {
      std::fill(stamps.begin(), stamps.end(), 0u);
      epoch = 1;
    }
  }
  // True the first time `id` is seen since new_visit.
  bool first_visit(std::uint32_t id) {
    if (stamps[id] == epoch) return false;
    stamps[id] = epoch;
    return true;
  }
  void reserve_batch(std::size_t n) {
    if (ids.size() < n) {
      ids.resize(n);
      dists.resize(n);
      rows.resize(n);
      row_norms.resize(n);
    }
  }
};

Scratch& scratch();

// Exact distances between a query (with its norm) and nodes.
class ExactScorer {
 public:
  ExactScorer(const HNSWIndex& index, NormedVector query) : index_(index), query_(query) {}

  // Starts loading a node's vector (up to its first KiB).
  void prefetch(std::uint32_t id) const {
    const char* row = reinterpret_cast<const char*>(index_.vec_set().data().data() + id * index_.vec_set().dim());
    const std::size_t bytes = std::min<std::size_t>(index_.vec_set().dim() * sizeof(float), 1024);
    for (std::size_t off = 0; off < bytes; off += 64) __builtin_prefetch(row + off);
  }

  float one(std::uint64_t id) const {
    check(id);
    return distance(index_.config().dist, NormedVector{index_.vec_set()[id], index_.norm(id)}, query_);
  }
  // out[i] = one(ids[i]), in one kernel call.
  void many(const std::uint32_t* ids, std::size_t n, Scratch& s, float* out) const {
    const float* base = index_.vec_set().data().data();
    const std::uint64_t dim = index_.vec_set().dim();
    for (std::size_t i = 0; i < n; ++i) {
      check(ids[i]);
      s.rows[i] = base + ids[i] * dim;
      s.row_norms[i] = index_.norm(ids[i]);
    }
    distance_to_rows(index_.config().dist, query_, RowBatch::scattered(s.rows.data(), n, dim),
                     s.row_norms.data(), out);
  }

 private:
  void check(std::uint64_t id) const {
    if (id >= index_.len()) fail_index(id, index_.len());
  }
  const HNSWIndex& index_;
  NormedVector query_;
};

// Quantized distances of the nodes' PQ codes against a lookup table.
class PQScorer {
 public:
  PQScorer(DistanceAlgorithm dist, const PQTable& pq, const PQLookupTable& lookup)
      : dist_(dist), codes_(pq.encoded_vec_set), lookup_(lookup) {}

  void prefetch(std::uint32_t) const {}
  float one(std::uint64_t id) const { return distance(dist_, codes_[id], lookup_); }
  void many(const std::uint32_t* ids, std::size_t n, Scratch&, float* out) const {
    pq_distances_of_ids(dist_, codes_, ids, n, lookup_, out);
  }

 private:
  DistanceAlgorithm dist_;
  const VecSet<std::uint8_t>& codes_;
  const PQLookupTable& lookup_;
};

// Greedy descent from the entry point through the levels above `target`: each pass scans the
// whole list of the current node and moves to the strictly nearest neighbour found.
template <class Scorer>
std::uint64_t descend(const HNSWIndex& index, std::uint64_t target, const Scorer& scorer) {
  if (!index.enter_point() || !index.enter_level()) fail("The index is empty.");
  if (target >= *index.enter_level()) return *index.enter_point();
  Scratch& s = scratch();
  std::uint64_t cur = *index.enter_point();
  float best = scorer.one(cur);
  for (std::uint64_t level = *index.enter_level(); level > target; --level) {
    while (true) {
      const std::span<const std::uint32_t> links = index.get_links(cur, level);
      s.reserve_batch(links.size());
      scorer.many(links.data(), links.size(), s, s.dists.data());
      std::uint64_t next = cur;
      for (std::size_t i = 0; i < links.size(); ++i) {
        if (s.dists[i] < best) {
          best = s.dists[i];
          next = links[i];
        }
      }
      if (next == cur) break;
      cur = next;
    }
  }
  return cur;
}

// Orders the heap so that its front is the smallest pair.
struct HeapAfter {
  bool operator()(const CandidatePair& a, const CandidatePair& b) const { return b < a; }
};

// Best-first search of one level from `start`: expands candidates while the result set admits
// them; every scored node enters the queue, the result set takes what `add` accepts.
template <class Scorer>
ResultSet search_level(const HNSWIndex& index, std::uint64_t start, std::uint64_t level,
                       std::uint64_t width, const Scorer& scorer) {
  Scratch& s = scratch();
  s.new_visit(index.len());
  if (start >= index.len()) fail_index(start, index.len());
  s.first_visit(static_cast<std::uint32_t>(start));
  const float d0 = scorer.one(start);
  ResultSet result = ResultSet::of_distinct_rows(width);  // the visited set offers each node once
  result.add(start, d0);
  std::vector<CandidatePair>& heap = s.heap;
  heap.clear();
  heap.push_back({start, d0});
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), HeapAfter());
    const CandidatePair c = heap.back();
    heap.pop_back();
    if (!result.admits(c)) break;
    const std::span<const std::uint32_t> links = index.get_links(c.index, level);
    s.reserve_batch(links.size());
    std::size_t n = 0;
    for (std::uint32_t id : links) {
      if (id >= index.len()) fail_index(id, index.len());
      if (s.first_visit(id)) {
        scorer.prefetch(id);
        s.ids[n++] = id;
      }
    }
    // The list of the candidate likely expanded next.
    if (!heap.empty()) index.prefetch_links(heap.front().index, level);
    scorer.many(s.ids.data(), n, s, s.dists.data());
    for (std::size_t i = 0; i < n; ++i) {
      const CandidatePair pair{s.ids[i], s.dists[i]};
      result.add(pair.index, pair.distance);
      // A pair the full result set does not admit now never will (its worst member only
      // improves), and popping it would end the search: leaving it out changes nothing.
      if (!result.admits(pair)) continue;
      heap.push_back(pair);
      std::push_heap(heap.begin(), heap.end(), HeapAfter());
    }
  }
  return result;
}

}  // namespace quillmere::hnsw_walk
