// HNSWIndex insertion: one node, batches (searched in parallel), and whole builds.
#include <algorithm>
#include <cstdio>

#include "common/exact_float.hpp"
#include "common/parallel.hpp"
#include "index_algorithm/hnsw_index.hpp"
#include "index_algorithm/hnsw_walk.hpp"

namespace quillmere {
namespace {

NormedVector node_query(const HNSWIndex& index, std::uint64_t id) {
  return NormedVector{index.vec_set()[id], index.norm(id)};
}

// The neighbour-selection heuristic (ResultSet::heuristic) over `members` in ascending order:
// a candidate is kept when it is at least as far from every node kept before it as from the
// base node. Candidates are scored against all kept nodes in windows of kWindow candidates at
// once, as one exact sum costs its whole latency however few rows it covers: the first
// candidate kept ends a window, since the candidates after it must be compared with it too.
// Distances have no side effects, so those computed and not needed change nothing.
std::vector<CandidatePair> select_neighbours(const HNSWIndex& index,
                                             std::span<const CandidatePair> members,
                                             std::uint64_t m) {
  constexpr std::size_t kWindow = 4;
  std::vector<CandidatePair> kept;
  kept.reserve(std::min<std::uint64_t>(m, members.size()));
  std::vector<const float*> rows;
  std::vector<float> row_norms, d;
  rows.reserve(kept.capacity());
  row_norms.reserve(kept.capacity());
  d.resize(kWindow * kept.capacity());
  const float* base = index.vec_set().data().data();
  const std::uint64_t dim = index.vec_set().dim();
  NormedVector window[kWindow];
  std::size_t at = 0;
  while (at < members.size() && kept.size() < m) {
    std::size_t w = 0;
    for (; w < kWindow && at + w < members.size(); ++w) {
      const std::uint64_t id = members[at + w].index;
      if (id >= index.len()) {
        if (w == 0) fail_index(id, index.len());
        break;  // fails when it comes first
      }
      window[w] = node_query(index, id);
    }
    const std::size_t n = kept.size();
    distance_to_rows(index.config().dist, std::span<const NormedVector>(window, w),
                     RowBatch::scattered(rows.data(), n, dim), row_norms.data(), d.data());
    // Candidate j's distances to the kept nodes are d[j * n, (j + 1) * n); a NaN drops it.
    const auto keeps = [&](std::size_t j) {
      return std::all_of(d.begin() + j * n, d.begin() + (j + 1) * n,
                         [&](float x) { return x >= members[at + j].distance; });
    };
    std::size_t j = 0;
    while (j < w && !keeps(j)) ++j;
    if (j < w) {
      const CandidatePair& c = members[at + j];
      kept.push_back(c);
      rows.push_back(base + c.index * dim);
      row_norms.push_back(index.norm(c.index));
      ++j;
    }
    at += j;
  }
  return kept;
}

std::vector<std::uint32_t> ids_of(const std::vector<CandidatePair>& pairs) {
  std::vector<std::uint32_t> ids;
  ids.reserve(pairs.size());
  for (const CandidatePair& p : pairs) ids.push_back(static_cast<std::uint32_t>(p.index));
  return ids;
}

bool parallel_linking = true;

}  // namespace

void HNSWIndex::TEST_use_parallel_linking(bool on) { parallel_linking = on; }

HNSWIndex HNSWIndex::build_on_vec_set(const VecSet<float>& source, DistanceAlgorithm dist,
                                      const HNSWConfig& request, bool show_progress,
                                      ChaCha12Rng& rng) {
  const ExactFloatMode exact;
  HNSWIndex index(parameters(request, dist, source.dim()));
  const std::uint64_t reserve = request.max_elements;
  index.vec_set_ = VecSet<float>::with_capacity(source.dim(), reserve);
  index.level0_.reserve(reserve * (index.config_.max_links_level0 + 1));
  index.upper_.reserve(reserve);
  index.levels_.reserve(reserve);
  index.norms_.reserve(reserve);

  if (source.dim() == 0) fail("chunk size must be non-zero");
  std::vector<std::span<const float>> rows;
  rows.reserve(source.len());
  for (std::span<const float> row : source.iter()) rows.push_back(row);
  // The display is told between batches, about every twentieth of the rows; the batches are
  // the same with it or without it.
  std::size_t shown = 0;
  const std::size_t step = std::max<std::size_t>(rows.size() / 20, 1);
  std::function<void(std::size_t)> progress;
  if (show_progress)
    progress = [&](std::size_t done) {
      if (done < rows.size() && done < shown + step) return;
      shown = done;
      std::fprintf(stderr, "HNSW build: %zu / %zu\n", done, rows.size());
    };
  index.inner_batch_add(rows, rng, progress);
  return index;
}

std::uint64_t HNSWIndex::add(std::span<const float> vector, ChaCha12Rng& rng) {
  const ExactFloatMode exact;
  // Both present (an index with nodes) or both absent (an empty one), as the batch path checks.
  if (enter_point_.has_value() != enter_level_.has_value()) fail("The entry point and its level disagree.");
  const std::uint64_t level = level_from_draw(rng.next_u32(), config_.level_multiplier);
  const std::uint64_t id = push_init(vector, level);
  if (!enter_point_) {
    enter_level_ = level;
    enter_point_ = id;
    return id;
  }
  const std::uint64_t e = *enter_level_;
  const hnsw_walk::ExactScorer scorer(*this, node_query(*this, id));
  std::uint64_t p = level >= e ? *enter_point_ : hnsw_walk::descend(*this, level, scorer);
  for (std::uint64_t l = std::min(level, e) + 1; l-- > 0;) {
    ResultSet w = hnsw_walk::search_level(*this, p, l, config_.ef_construction, scorer);
    p = w.members().front().index;
    connect_new_links(id, l, std::move(w));
  }
  if (level > e) {
    enter_level_ = level;
    enter_point_ = id;
  }
  return id;
}

void HNSWIndex::connect_new_links(std::uint64_t node, std::uint64_t level, ResultSet candidates) {
  const ExactFloatMode exact;
  if (get_links_len_checked(node, level) != 0) fail("Links are not empty.");
  const std::vector<CandidatePair> chosen = select_neighbours(*this, candidates.members(), config_.max_links);
  put_links(node, level, ids_of(chosen));
  for (const CandidatePair& b : chosen) link_back(b.index, level, node);
}

void HNSWIndex::link_back(std::uint64_t b, std::uint64_t level, std::uint64_t node) {
  const std::uint64_t cap = capacity(level);
  const std::span<const std::uint32_t> old = get_links(b, level);
  std::vector<std::uint32_t> list(old.begin(), old.end());
  list.push_back(static_cast<std::uint32_t>(node));
  if (old.size() < cap) {
    put_links(b, level, list);
    return;
  }
  // Full: re-select among the old neighbours and the new node, by distance to b.
  const float* base = vec_set_.data().data();
  const std::uint64_t dim = vec_set_.dim();
  std::vector<const float*> rows(list.size());
  std::vector<float> row_norms(list.size()), d(list.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i] >= len()) fail_index(list[i], len());
    rows[i] = base + list[i] * dim;
    row_norms[i] = norms_[list[i]];
  }
  distance_to_rows(config_.dist, node_query(*this, b),
                   RowBatch::scattered(rows.data(), list.size(), dim), row_norms.data(), d.data());
  ResultSet pool_of(cap + 1);
  for (std::size_t i = 0; i < list.size(); ++i) pool_of.add(list[i], d[i]);
  put_links(b, level, ids_of(select_neighbours(*this, pool_of.members(), cap)));
}

std::vector<std::uint64_t> HNSWIndex::inner_batch_add(std::span<const std::span<const float>> vectors,
                                                      ChaCha12Rng& rng,
                                                      const std::function<void(std::size_t done)>& progress) {
  const ExactFloatMode exact;
  std::vector<std::uint64_t> ids;
  ids.reserve(vectors.size());
  std::size_t start = 0;
  while (start < vectors.size()) {
    const std::uint64_t c = vec_set_.len();
    std::uint64_t b = 1;
    if (c >= config_.parallel_threshold) {
      if (config_.max_links == 0) fail_divide_by_zero();
      b = std::min<std::uint64_t>(c / config_.max_links, 4 * pool::thread_count());
      b = std::max<std::uint64_t>(b, 1);  // M above the node count would stall the loop
    }
    const std::size_t end = std::min<std::size_t>(vectors.size(), start + b);
    const std::vector<std::uint64_t> batch = add_parallel(vectors.subspan(start, end - start), rng);
    ids.insert(ids.end(), batch.begin(), batch.end());
    start = end;
    if (progress) progress(end);
  }
  return ids;
}

std::vector<std::uint64_t> HNSWIndex::add_parallel(std::span<const std::span<const float>> vectors,
                                                   ChaCha12Rng& rng) {
  const ExactFloatMode exact;
  const std::uint64_t c = vec_set_.len();
  std::vector<std::uint64_t> ids;
  ids.reserve(vectors.size());
  if (vectors.size() == 1 || c < config_.parallel_threshold) {
    for (std::span<const float> v : vectors) ids.push_back(add(v, rng));
    return ids;
  }

  const std::uint64_t n = vectors.size();
  vec_set_.reserve_more(n);
  level0_.grow_for(level0_.size() + n * (config_.max_links_level0 + 1));
  grow_for(upper_, upper_.size() + n);
  levels_.grow_for(levels_.size() + n);
  norms_.grow_for(norms_.size() + n);
  for (std::span<const float> v : vectors)
    ids.push_back(push_init(v, level_from_draw(rng.next_u32(), config_.level_multiplier)));
  if (!enter_point_ || !enter_level_) fail("The index is empty.");
  const std::uint64_t e = *enter_level_, entry = *enter_point_;

  // The searches see only links made before the batch; later batch nodes are offered to each
  // node's candidates by hand.
  struct Record {
    std::uint64_t level;
    ResultSet candidates;
    std::vector<CandidatePair> chosen;  // the node's own selection, when linking in parallel
  };
  const bool link_in_parallel = parallel_linking;
  // Nodes of higher levels search more levels: they start first.
  std::vector<std::size_t> order(n);
  for (std::size_t t = 0; t < n; ++t) order[t] = t;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return levels_[c + a] > levels_[c + b]; });
  std::vector<std::vector<Record>> records =
      pool::parallel_map_in_order<std::vector<Record>>(order, [&](std::size_t t) {
        const std::uint64_t x = c + t;
        const std::uint64_t level = levels_[x];
        const hnsw_walk::ExactScorer scorer(*this, node_query(*this, x));
        std::uint64_t p = level >= e ? entry : hnsw_walk::descend(*this, level, scorer);
        std::vector<Record> out;
        std::vector<std::uint32_t> earlier;
        std::vector<float> d;
        hnsw_walk::Scratch& s = hnsw_walk::scratch();
        for (std::uint64_t l = std::min(level, e) + 1; l-- > 0;) {
          ResultSet w = hnsw_walk::search_level(*this, p, l, config_.ef_construction, scorer);
          p = w.members().front().index;
          earlier.clear();
          for (std::uint64_t y = c; y < x; ++y)
            if (levels_[y] >= l) earlier.push_back(static_cast<std::uint32_t>(y));
          d.resize(earlier.size());
          s.reserve_batch(earlier.size());
          scorer.many(earlier.data(), earlier.size(), s, d.data());
          for (std::size_t i = 0; i < earlier.size(); ++i) w.add(earlier[i], d[i]);
          std::vector<CandidatePair> chosen;
          if (link_in_parallel) chosen = select_neighbours(*this, w.members(), config_.max_links);
          out.push_back({l, std::move(w), std::move(chosen)});
        }
        return out;
      });

  if (!link_in_parallel) {
    for (std::uint64_t t = 0; t < n; ++t)
      for (Record& r : records[t]) connect_new_links(c + t, r.level, std::move(r.candidates));
  } else {
    // Equivalent to linking node by node: a node's own selection depends only on its
    // candidates and the vectors, and the updates of different lists are independent. Only
    // the updates of one list must keep batch order; a batch node's own list is written before
    // any later node updates it, so all own lists are written first.
    struct Update {
      std::uint64_t list_owner, level, node;
    };
    std::vector<Update> updates;
    for (std::uint64_t t = 0; t < n; ++t) {
      for (const Record& r : records[t]) {
        if (get_links_len_checked(c + t, r.level) != 0) fail("Links are not empty.");
        put_links(c + t, r.level, ids_of(r.chosen));
        for (const CandidatePair& b : r.chosen) updates.push_back({b.index, r.level, c + t});
      }
    }
    std::stable_sort(updates.begin(), updates.end(), [](const Update& a, const Update& b) {
      return a.list_owner != b.list_owner ? a.list_owner < b.list_owner : a.level < b.level;
    });
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < updates.size(); ++i)
      if (i == 0 || updates[i].list_owner != updates[i - 1].list_owner || updates[i].level != updates[i - 1].level)
        starts.push_back(i);
    starts.push_back(updates.size());
    pool::parallel_for(starts.size() - 1, [&](std::size_t g0, std::size_t g1) {
      for (std::size_t g = g0; g < g1; ++g)
        for (std::size_t i = starts[g]; i < starts[g + 1]; ++i)
          link_back(updates[i].list_owner, updates[i].level, updates[i].node);
    });
  }
  for (std::uint64_t t = 0; t < n; ++t) {
    if (levels_[c + t] > *enter_level_) {
      enter_level_ = levels_[c + t];
      enter_point_ = c + t;
    }
  }
  return ids;
}

}  // namespace quillmere
