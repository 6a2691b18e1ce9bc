// PRIVATE header of src/index_algorithm: the graph walks shared by search and insertion,
// written once over a scorer (exact precomputed-norm distances, or quantized distances of PQ
// codes).
//
// The structures differ from plain ordered sets and a hash set, with the same results: the
// visited set is an epoch-stamped array per thread (reset only when the epoch wraps), the
// candidate queue a binary min-heap in CandidatePair order (a node enters it at most once, so
// it never holds two equal pairs; pairs that could only end the search are left out), and the
// unvisited neighbours of an expanded node are scored in one batch, in list order, together
// with those of the candidates likely expanded next, before they are offered one by one.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
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
  // Takes back the first visit of `id`.
  void unvisit(std::uint32_t id) { stamps[id] = epoch - 1; }
  void reserve_batch(std::size_t n) {
    if (ids.size() < n) {
      ids.resize(n);
      dists.resize(n);
      rows.resize(n);
      row_norms.resize(n);
    }
  }
  // Room for every walk over an index of up to `nodes` nodes whose scored batches hold up to
  // `batch` rows: such walks then allocate nothing (a node enters the queue at most once).
  void reserve(std::uint64_t nodes, std::size_t batch) {
    if (stamps.size() < nodes) stamps.resize(nodes);
    grow_for(heap, nodes);
    reserve_batch(batch);
  }
};

Scratch& scratch();

// Exact distances between a query (with its norm) and nodes.
class ExactScorer {
 public:
  ExactScorer(const HNSWIndex& index, NormedVector query) : index_(index), query_(query) {}

  // Starts loading a node's vector (up to its first KiB).
  void prefetch(std::uint32_t id) const {
    const char* row =
        reinterpret_cast<const char*>(index_.vec_set().data().data() + id * index_.vec_set().dim());
    const std::size_t bytes = std::min<std::size_t>(index_.vec_set().dim() * sizeof(float), 1024);
    for (std::size_t off = 0; off < bytes; off += 64) __builtin_prefetch(row + off);
  }

  float one(std::uint64_t id) const {
    check(id);
    return distance(index_.config().dist, NormedVector{index_.vec_set()[id], index_.norm(id)},
                    query_);
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
      : dist_(dist), codes_(pq.encoded_vec_set()), lookup_(lookup) {}

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
std::uint64_t descend(const HNSWIndex& index, std::uint64_t target, const Scorer& scorer,
                      Scratch& s) {
  if (!index.enter_point() || !index.enter_level()) fail("The index is empty.");
  if (target >= *index.enter_level()) return *index.enter_point();
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
template <class Scorer>
std::uint64_t descend(const HNSWIndex& index, std::uint64_t target, const Scorer& scorer) {
  return descend(index, target, scorer, scratch());
}

// Orders the heap so that its front is the smallest pair.
struct HeapAfter {
  bool operator()(const CandidatePair& a, const CandidatePair& b) const { return b < a; }
};

// Marks the unvisited neighbours of `node` on `level` and appends them to s.ids from `at`;
// answers the count appended. For the node being expanded (`checked`) a damaged list is an
// internal failure, as every read of the graph; for a node only looked ahead to, it answers
// nothing and leaves the visited set as it was, so that the failure comes when (if) the node
// is expanded.
template <class Scorer>
std::optional<std::size_t> collect_unvisited(const HNSWIndex& index, std::uint64_t node,
                                             std::uint64_t level, bool checked, std::size_t at,
                                             const Scorer& scorer, Scratch& s) {
  std::span<const std::uint32_t> links;
  if (checked) {
    links = index.get_links(node, level);
  } else if (const auto found = index.find_links(node, level)) {
    links = *found;
  } else {
    return std::nullopt;
  }
  s.reserve_batch(at + links.size());
  std::size_t n = at;
  for (std::uint32_t id : links) {
    if (id >= index.len()) [[unlikely]] {
      if (checked) fail_index(id, index.len());
      for (std::size_t i = at; i < n; ++i) s.unvisit(s.ids[i]);
      return std::nullopt;
    }
    if (s.first_visit(id)) {
      scorer.prefetch(id);
      index.prefetch_links(id, level);
      s.ids[n++] = id;
    }
  }
  return n - at;
}

// The look-ahead of the level search: at most kLookAhead candidates, taken only while the batch
// holds fewer than kLookAheadRows rows (the lanes of one register on the widest kernels, which
// cost the same for one row as for all of them).
inline constexpr std::size_t kLookAhead = 2, kLookAheadRows = 16;

// The most rows one expansion of the level search scores at once on a level of `capacity`
// slots: its own list, then looked-ahead lists while fewer than kLookAheadRows rows are held.
inline std::size_t batch_rows(std::uint64_t capacity) { return kLookAheadRows + capacity; }

// Best-first search of one level from `start`: expands candidates while the result set admits
// them; every scored node enters the queue, the result set takes what `add` accepts.
//
// Each expansion scores its unvisited neighbours in one batch, and the exact sums make a batch
// cost the latency of one row's whole sum however few rows it holds (late in a search most
// batches hold one to four rows). So the lists of the next candidates in the queue are looked
// ahead to and scored in the same batch. A candidate looked ahead to is the next one expanded
// when the expansions before it pushed nothing that orders before it; its scores are then
// ready. Otherwise it goes back into the queue and its neighbours are unmarked, to be expanded
// afresh in its turn. Marks, offers and pops happen in the order of expanding node by node, so
// the result is the same.
//
// `result` is an empty set of distinct rows (the visited set offers each node once), whose
// capacity is the search width.
template <class Scorer>
ResultSet search_level(const HNSWIndex& index, std::uint64_t start, std::uint64_t level,
                       ResultSet result, const Scorer& scorer, Scratch& s) {
  s.new_visit(index.len());
  if (start >= index.len()) fail_index(start, index.len());
  s.first_visit(static_cast<std::uint32_t>(start));
  const float d0 = scorer.one(start);
  result.add(start, d0);
  std::vector<CandidatePair>& heap = s.heap;
  heap.clear();
  const auto push = [&](const CandidatePair& c) {
    heap.push_back(c);
    std::push_heap(heap.begin(), heap.end(), HeapAfter());
  };
  const auto pop = [&] {
    std::pop_heap(heap.begin(), heap.end(), HeapAfter());
    const CandidatePair c = heap.back();
    heap.pop_back();
    return c;
  };
  // Offers the scored neighbours s.ids[from, to).
  const auto offer = [&](std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      const CandidatePair pair{s.ids[i], s.dists[i]};
      result.add(pair.index, pair.distance);
      // A pair the full result set does not admit now never will (its worst member only
      // improves), and popping it would end the search: leaving it out changes nothing.
      if (result.admits(pair)) push(pair);
    }
  };
  push({start, d0});
  struct Ahead {
    CandidatePair candidate;
    std::size_t end;  // its neighbours are s.ids[end of the previous one, end)
  };
  Ahead ahead[kLookAhead];
  while (!heap.empty()) {
    const CandidatePair c = pop();
    if (!result.admits(c)) break;
    const std::size_t n = *collect_unvisited(index, c.index, level, true, 0, scorer, s);
    std::size_t n_ahead = 0, total = n;
    while (n_ahead < kLookAhead && total < kLookAheadRows && !heap.empty()) {
      const CandidatePair a = pop();
      const std::optional<std::size_t> more =
          collect_unvisited(index, a.index, level, false, total, scorer, s);
      if (!more) {
        push(a);
        break;
      }
      total += *more;
      ahead[n_ahead++] = {a, total};
    }
    scorer.many(s.ids.data(), total, s, s.dists.data());
    offer(0, n);
    std::size_t from = n, i = 0;
    for (; i < n_ahead && (heap.empty() || ahead[i].candidate < heap.front());
         from = ahead[i++].end) {
      if (!result.admits(ahead[i].candidate)) return result;
      offer(from, ahead[i].end);
    }
    for (std::size_t j = from; j < total; ++j) s.unvisit(s.ids[j]);
    for (; i < n_ahead; ++i) push(ahead[i].candidate);
  }
  return result;
}
template <class Scorer>
ResultSet search_level(const HNSWIndex& index, std::uint64_t start, std::uint64_t level,
                       std::uint64_t width, const Scorer& scorer) {
  return search_level(index, start, level, ResultSet::of_distinct_rows(width), scorer, scratch());
}

}  // namespace quillmere::hnsw_walk
