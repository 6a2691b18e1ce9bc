// HNSWIndex insertion: one node, batches (searched in parallel), and whole builds.
//
// An insertion first plans and reserves: it draws the levels of all its nodes, makes their
// link blocks, makes room in the index's arrays, and sizes the visited sets, queues and
// buffers of its workers for the index's final size and the candidate sets of its largest
// batch. Only then does it change the index, and from there on it allocates nothing of its own
// (the pool's tasks aside, see run_on_workers): running out of memory can only happen while
// the index is as it was.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "common/exact_float.hpp"
#include "common/parallel.hpp"
#include "index_algorithm/hnsw_index.hpp"
#include "index_algorithm/hnsw_walk.hpp"

namespace quillmere {
namespace {

NormedVector node_query(const HNSWIndex& index, std::uint64_t id) {
  return NormedVector{index.vec_set()[id], index.norm(id)};
}

constexpr std::size_t kWindow = 4;  // candidates scored at once by the heuristic

}  // namespace

namespace hnsw_insert {

struct LinkBuffers {
  std::vector<CandidatePair> chosen;  // the linked node's own selection
  std::vector<CandidatePair> kept;    // a pruned list's selection
  std::vector<CandidatePair> pool;    // the storage of a pruned list's candidates
  std::vector<const float*> rows;     // the kept nodes' rows, then a list's rows
  std::vector<float> row_norms, d;
  std::vector<std::uint32_t> ids;  // a list being written

  // Room for lists of up to `cap` slots (and one more, the node being linked back).
  explicit LinkBuffers(std::uint64_t cap) {
    const std::size_t n = cap + 1;
    chosen.reserve(n);
    kept.reserve(n);
    pool.reserve(n);
    rows.resize(n);
    row_norms.resize(n);
    d.resize(kWindow * n);
    ids.reserve(n);
  }
};

}  // namespace hnsw_insert

namespace {

using hnsw_insert::LinkBuffers;

// The neighbour-selection heuristic (ResultSet::heuristic) over `members` in ascending order,
// into `kept`: a candidate is kept when it is at least as far from every node kept before it as
// from the base node. Candidates are scored against all kept nodes in windows of kWindow
// candidates at once, as one exact sum costs its whole latency however few rows it covers: the
// first candidate kept ends a window, since the candidates after it must be compared with it
// too. Distances have no side effects, so those computed and not needed change nothing.
// REQUIRES: m is at most the capacity `s` was made for.
void select_neighbours(const HNSWIndex& index, std::span<const CandidatePair> members,
                       std::uint64_t m, LinkBuffers& s, std::vector<CandidatePair>& kept) {
  kept.clear();
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
                     RowBatch::scattered(s.rows.data(), n, dim), s.row_norms.data(), s.d.data());
    // Candidate j's distances to the kept nodes are d[j * n, (j + 1) * n); a NaN drops it.
    const auto keeps = [&](std::size_t j) {
      return std::all_of(s.d.begin() + j * n, s.d.begin() + (j + 1) * n,
                         [&](float x) { return x >= members[at + j].distance; });
    };
    std::size_t j = 0;
    while (j < w && !keeps(j)) ++j;
    if (j < w) {
      const CandidatePair& c = members[at + j];
      kept.push_back(c);
      s.rows[n] = base + c.index * dim;
      s.row_norms[n] = index.norm(c.index);
      ++j;
    }
    at += j;
  }
}

// The ids of `pairs`, in `out`.
std::span<const std::uint32_t> ids_of(std::span<const CandidatePair> pairs,
                                      std::vector<std::uint32_t>& out) {
  out.clear();
  for (const CandidatePair& p : pairs) out.push_back(static_cast<std::uint32_t>(p.index));
  return out;
}

// Scratch of the walks of insertion workers, kept between insertions so that a visited set is
// grown (and cleared) once, not at every call. Never destroyed: a thread may still be inserting
// while the process exits.
struct IdleScratch {
  std::mutex mutex;
  std::vector<std::unique_ptr<hnsw_walk::Scratch>> list;  // guarded by mutex
  std::size_t made = 0;                                   // guarded by mutex
};
IdleScratch& idle() {
  static IdleScratch* const idle = new IdleScratch;
  return *idle;
}

// Scratch objects taken from the idle ones (or made) for one insertion, given back at its end.
class ScratchLease {
 public:
  ScratchLease() = default;
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;
  ~ScratchLease() {
    if (held_.empty()) return;
    IdleScratch& pool = idle();
    const std::lock_guard lock(pool.mutex);
    for (auto& s : held_) pool.list.push_back(std::move(s));  // room was made by take
  }
  void take(std::size_t n) {
    held_.reserve(n);
    IdleScratch& pool = idle();
    const std::lock_guard lock(pool.mutex);
    while (held_.size() < n && !pool.list.empty()) {
      held_.push_back(std::move(pool.list.back()));
      pool.list.pop_back();
    }
    pool.list.reserve(pool.made + (n - held_.size()));  // so that giving back allocates nothing
    while (held_.size() < n) {
      held_.push_back(std::make_unique<hnsw_walk::Scratch>());
      ++pool.made;
    }
  }
  hnsw_walk::Scratch& operator[](std::size_t i) { return *held_[i]; }

 private:
  std::vector<std::unique_ptr<hnsw_walk::Scratch>> held_;
};

// Runs body(worker, item) for every item in [0, n) on at most `workers` pool tasks, each
// worker taking the next item while one is left. oneTBB allocates its tasks as it starts them:
// when it cannot, the tasks that started have drained the items already, or the calling thread
// runs what is left as worker 0 (none of the tasks runs any more by then). So every item runs
// once whatever memory is left. REQUIRES: body allocates nothing.
template <class Body>
void run_on_workers(std::size_t n, std::size_t workers, Body&& body) {
  std::atomic<std::size_t> next{0};
  const auto drain = [&](std::size_t w) {
    for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < n;) body(w, i);
  };
  try {
    pool::parallel_for(std::min(workers, n), [&](std::size_t w, std::size_t) { drain(w); });
  } catch (const std::bad_alloc&) {
    // the pool's own allocation (the bodies allocate nothing)
  }
  drain(0);
}

// A node's candidates on one level, found in the search phase of a batch.
struct Record {
  std::uint64_t level = 0;
  ResultSet candidates{0};
  std::vector<CandidatePair> storage;  // the candidates' storage between batches
  std::vector<CandidatePair> chosen;   // the node's own selection
};

// One update of a list by a batch node.
struct Update {
  std::uint64_t list_owner, level, node;
};

}  // namespace

struct hnsw_insert::Insertion {
  // Vectors [begin, end) go in one batch searched in parallel, or node by node.
  struct Batch {
    std::size_t begin, end;
    bool parallel;
  };
  struct Worker {
    hnsw_walk::Scratch* walk;  // the first `searchers` workers only
    LinkBuffers link;
    std::vector<std::uint32_t> earlier;  // earlier batch nodes offered by hand
    std::vector<float> d;
  };

  std::vector<Batch> batches;
  PodVec<std::uint64_t> levels;              // of the new nodes, drawn in list order
  std::vector<PodVec<std::uint32_t>> upper;  // their blocks above level 0
  ScratchLease scratch;
  std::size_t searchers = 1;
  std::vector<Worker> workers;
  std::vector<Record> records;  // of one batch; records[0] also serves node-by-node adds
  std::vector<std::size_t> order, first_record;
  std::vector<Update> updates;
  std::vector<std::size_t> starts;
  std::vector<std::uint64_t> ids;
};

using hnsw_insert::Insertion;

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
  return insert(std::span<const std::span<const float>>(&vector, 1), rng, false, {}).front();
}

std::vector<std::uint64_t> HNSWIndex::inner_batch_add(
    std::span<const std::span<const float>> vectors, ChaCha12Rng& rng,
    const std::function<void(std::size_t done)>& progress) {
  return insert(vectors, rng, false, progress);
}

std::vector<std::uint64_t> HNSWIndex::add_parallel(std::span<const std::span<const float>> vectors,
                                                   ChaCha12Rng& rng) {
  return insert(vectors, rng, true, {});
}

std::vector<std::uint64_t> HNSWIndex::insert(
    std::span<const std::span<const float>> vectors, ChaCha12Rng& rng, bool one_batch,
    const std::function<void(std::size_t done)>& progress) {
  if (vectors.empty()) return {};  // nothing to plan, whatever the dimension
  const ExactFloatMode exact;
  const ChaCha12Rng rng_before = rng;
  try {
    Insertion ins;
    plan(ins, vectors, rng, one_batch);
    // From here on nothing allocates but the pool's tasks (see run_on_workers).
    for (const Insertion::Batch& batch : ins.batches) {
      if (batch.parallel) {
        add_batch(vectors.subspan(batch.begin, batch.end - batch.begin), batch.begin, ins);
        if (progress) progress(batch.end);
      } else {
        for (std::size_t i = batch.begin; i < batch.end; ++i) {
          ins.ids.push_back(add_one(vectors[i], i, ins));
          if (progress) progress(i + 1);
        }
      }
    }
    return std::move(ins.ids);
  } catch (...) {
    rng = rng_before;
    throw;
  }
}

// Draws the levels, cuts the list into the batches that inner_batch_add (or add_parallel, one
// batch) inserts, and reserves everything they need: what the index appends, the workers'
// scratch for an index of the final size, and a batch's candidate sets and updates.
void HNSWIndex::plan(Insertion& ins, std::span<const std::span<const float>> vectors,
                     ChaCha12Rng& rng, bool one_batch) {
  const std::uint64_t c0 = vec_set_.len();  // dimension 0 fails here (division by zero)
  const std::size_t n = vectors.size();
  for (std::span<const float> v : vectors)
    assert_eq(static_cast<std::uint64_t>(v.size()), vec_set_.dim());
  ins.levels.reserve(n);
  for (std::size_t i = 0; i < n; ++i)
    ins.levels.push_back(level_from_draw(rng.next_u32(), config_.level_multiplier));
  ins.upper.reserve(n);
  for (std::size_t i = 0; i < n; ++i) ins.upper.push_back(upper_block(c0 + i, ins.levels[i]));

  // The batches, as the node count grows; the entry level as it would rise, for the number
  // of levels each batch node searches.
  std::optional<std::uint64_t> e = enter_level_;
  std::size_t max_batch = 0, max_records = 1;
  for (std::size_t start = 0; start < n;) {
    const std::uint64_t c = c0 + start;
    std::uint64_t b = 1;
    if (one_batch) {
      b = n;
    } else if (c >= config_.parallel_threshold) {
      if (config_.max_links == 0) fail_divide_by_zero();
      b = std::min<std::uint64_t>(c / config_.max_links, 4 * pool::thread_count());
      b = std::max<std::uint64_t>(b, 1);  // M above the node count would stall the loop
    }
    const std::size_t end = std::min<std::size_t>(n, start + b);
    const bool parallel = end - start > 1 && c >= config_.parallel_threshold;
    if (ins.batches.empty() || parallel || ins.batches.back().parallel)
      ins.batches.push_back({start, end, parallel});
    else
      ins.batches.back().end = end;  // node by node, as the batch before
    if (parallel && e) {
      std::size_t records = 0;
      for (std::size_t i = start; i < end; ++i) records += std::min(ins.levels[i], *e) + 1;
      max_records = std::max(max_records, records);
      max_batch = std::max(max_batch, end - start);
    }
    for (std::size_t i = start; i < end; ++i)
      if (!e || ins.levels[i] > *e) e = ins.levels[i];
    start = end;
  }

  const std::uint64_t nodes = c0 + n;
  const std::uint64_t m = config_.max_links, m0 = config_.max_links_level0;
  const std::uint64_t cap = std::max(m, m0);
  // A batch searches on at most one worker per node, and links on every thread of the pool
  // (the lists it updates outnumber its nodes by far).
  const std::size_t threads = max_batch > 0 ? pool::thread_count() : 1;
  ins.searchers = std::min<std::size_t>(threads, std::max<std::size_t>(max_batch, 1));
  ins.scratch.take(ins.searchers);
  ins.workers.reserve(threads);
  for (std::size_t w = 0; w < threads; ++w) {
    ins.workers.push_back({nullptr, LinkBuffers(cap), {}, {}});
    if (w >= ins.searchers) continue;
    Insertion::Worker& worker = ins.workers.back();
    worker.walk = &ins.scratch[w];
    worker.walk->reserve(nodes, std::max<std::size_t>(hnsw_walk::batch_rows(cap), max_batch));
    worker.earlier.reserve(max_batch);
    worker.d.reserve(max_batch);
  }
  // A distinct-rows set never holds more members than the nodes offered to it.
  const std::uint64_t width = std::min(config_.ef_construction, nodes);
  ins.records.resize(max_records);
  for (Record& r : ins.records) {
    r.storage.reserve(width);
    r.chosen.reserve(m);
  }
  ins.order.reserve(max_batch);
  ins.first_record.reserve(max_batch + 1);
  ins.updates.reserve(max_records * m);
  ins.starts.reserve(max_records * m + 1);
  ins.ids.reserve(n);

  // The index's own arrays, by doubling: n single adds stay linear.
  vec_set_.reserve_more(n);
  level0_.grow_for(level0_.size() + n * (m0 + 1));
  grow_for(upper_, upper_.size() + n);
  levels_.grow_for(levels_.size() + n);
  norms_.grow_for(norms_.size() + n);
}

std::uint64_t HNSWIndex::add_one(std::span<const float> vector, std::size_t i, Insertion& ins) {
  // Both present (an index with nodes) or both absent (an empty one), as the batch path checks.
  if (enter_point_.has_value() != enter_level_.has_value())
    fail("The entry point and its level disagree.");
  const std::uint64_t level = ins.levels[i];
  const std::uint64_t id = push_node(vector, level, std::move(ins.upper[i]));
  if (!enter_point_) {
    enter_level_ = level;
    enter_point_ = id;
    return id;
  }
  const std::uint64_t e = *enter_level_;
  Insertion::Worker& worker = ins.workers.front();
  hnsw_walk::Scratch& s = *worker.walk;
  Record& r = ins.records.front();
  const hnsw_walk::ExactScorer scorer(*this, node_query(*this, id));
  std::uint64_t p = level >= e ? *enter_point_ : hnsw_walk::descend(*this, level, scorer, s);
  for (std::uint64_t l = std::min(level, e) + 1; l-- > 0;) {
    ResultSet w = hnsw_walk::search_level(
        *this, p, l, ResultSet::in_storage(config_.ef_construction, true, std::move(r.storage)),
        scorer, s);
    p = w.members().front().index;
    connect(id, l, w.members(), worker.link);
    r.storage = std::move(w).into_sorted_vec();
  }
  if (level > e) {
    enter_level_ = level;
    enter_point_ = id;
  }
  return id;
}

void HNSWIndex::connect_new_links(std::uint64_t node, std::uint64_t level, ResultSet candidates) {
  const ExactFloatMode exact;
  LinkBuffers s(std::max(config_.max_links, config_.max_links_level0));
  connect(node, level, candidates.members(), s);
}

void HNSWIndex::connect(std::uint64_t node, std::uint64_t level,
                        std::span<const CandidatePair> candidates, LinkBuffers& s) {
  if (get_links_len_checked(node, level) != 0) fail("Links are not empty.");
  select_neighbours(*this, candidates, config_.max_links, s, s.chosen);
  put_links(node, level, ids_of(s.chosen, s.ids));
  for (const CandidatePair& b : s.chosen) link_back(b.index, level, node, s);
}

void HNSWIndex::link_back(std::uint64_t b, std::uint64_t level, std::uint64_t node,
                          LinkBuffers& s) {
  const std::uint64_t cap = capacity(level);
  const std::span<const std::uint32_t> old = get_links(b, level);
  std::vector<std::uint32_t>& list = s.ids;
  list.assign(old.begin(), old.end());
  list.push_back(static_cast<std::uint32_t>(node));
  if (old.size() < cap) {
    put_links(b, level, list);
    return;
  }
  // Full: re-select among the old neighbours and the new node, by distance to b.
  const float* base = vec_set_.data().data();
  const std::uint64_t dim = vec_set_.dim();
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i] >= len()) fail_index(list[i], len());
    s.rows[i] = base + list[i] * dim;
    s.row_norms[i] = norms_[list[i]];
  }
  distance_to_rows(config_.dist, node_query(*this, b),
                   RowBatch::scattered(s.rows.data(), list.size(), dim), s.row_norms.data(),
                   s.d.data());
  ResultSet offered = ResultSet::in_storage(cap + 1, false, std::move(s.pool));
  for (std::size_t i = 0; i < list.size(); ++i) offered.add(list[i], s.d[i]);
  select_neighbours(*this, offered.members(), cap, s, s.kept);
  s.pool = std::move(offered).into_sorted_vec();
  put_links(b, level, ids_of(s.kept, s.ids));
}

// One batch of at least two nodes, into an index of at least the threshold's nodes: levels were
// drawn and room made; the nodes are appended, searched in parallel against the graph as it was
// before the batch, then linked, and the entry point rises to the highest of them.
void HNSWIndex::add_batch(std::span<const std::span<const float>> vectors, std::size_t first,
                          Insertion& ins) {
  if (!enter_point_ || !enter_level_) fail("The index is empty.");
  const std::uint64_t c = vec_set_.len();
  const std::uint64_t n = vectors.size();
  for (std::size_t t = 0; t < n; ++t)
    ins.ids.push_back(
        push_node(vectors[t], ins.levels[first + t], std::move(ins.upper[first + t])));
  search_batch(c, n, ins);
  link_batch(c, n, ins);
  for (std::uint64_t t = 0; t < n; ++t) {
    if (levels_[c + t] > *enter_level_) {
      enter_level_ = levels_[c + t];
      enter_point_ = c + t;
    }
  }
}

// Every batch node x = c + t searches each of its levels from the top down into its records,
// against the links made before the batch; the earlier batch nodes of that level are offered to
// its candidates by hand, and its own neighbours are chosen.
void HNSWIndex::search_batch(std::uint64_t c, std::uint64_t n, Insertion& ins) {
  const std::uint64_t e = *enter_level_, entry = *enter_point_;
  ins.first_record.clear();
  ins.first_record.push_back(0);
  for (std::size_t t = 0; t < n; ++t)
    ins.first_record.push_back(ins.first_record.back() + std::min(levels_[c + t], e) + 1);
  // Nodes of higher levels search more levels: they start first.
  ins.order.clear();
  for (std::size_t t = 0; t < n; ++t) ins.order.push_back(t);
  // (Ties in list order: a stable order without the buffer std::stable_sort would ask for.)
  std::sort(ins.order.begin(), ins.order.end(), [&](std::size_t a, std::size_t b) {
    return levels_[c + a] != levels_[c + b] ? levels_[c + a] > levels_[c + b] : a < b;
  });
  run_on_workers(n, ins.searchers, [&](std::size_t w, std::size_t i) {
    Insertion::Worker& worker = ins.workers[w];
    hnsw_walk::Scratch& s = *worker.walk;
    const std::size_t t = ins.order[i];
    const std::uint64_t x = c + t;
    const std::uint64_t level = levels_[x];
    const hnsw_walk::ExactScorer scorer(*this, node_query(*this, x));
    std::uint64_t p = level >= e ? entry : hnsw_walk::descend(*this, level, scorer, s);
    Record* r = &ins.records[ins.first_record[t]];
    for (std::uint64_t l = std::min(level, e) + 1; l-- > 0; ++r) {
      r->level = l;
      r->candidates = hnsw_walk::search_level(
          *this, p, l, ResultSet::in_storage(config_.ef_construction, true, std::move(r->storage)),
          scorer, s);
      p = r->candidates.members().front().index;
      worker.earlier.clear();
      for (std::uint64_t y = c; y < x; ++y)
        if (levels_[y] >= l) worker.earlier.push_back(static_cast<std::uint32_t>(y));
      worker.d.resize(worker.earlier.size());
      s.reserve_batch(worker.earlier.size());
      scorer.many(worker.earlier.data(), worker.earlier.size(), s, worker.d.data());
      for (std::size_t j = 0; j < worker.earlier.size(); ++j)
        r->candidates.add(worker.earlier[j], worker.d[j]);
      select_neighbours(*this, r->candidates.members(), config_.max_links, worker.link, r->chosen);
    }
  });
}

// Links the searched batch as node-by-node linking in batch order would: a node's own selection
// depends only on its candidates and the vectors, and the updates of different lists are
// independent. Only the updates of one list must keep batch order; a batch node's own list is
// written before any later node updates it, so all own lists are written first, then the lists
// of the chosen neighbours are updated in parallel, one list per task.
void HNSWIndex::link_batch(std::uint64_t c, std::uint64_t n, Insertion& ins) {
  const std::span<Record> records(ins.records.data(), ins.first_record.back());
  LinkBuffers& own = ins.workers.front().link;
  ins.updates.clear();
  for (std::uint64_t t = 0; t < n; ++t) {
    for (std::size_t k = ins.first_record[t]; k < ins.first_record[t + 1]; ++k) {
      const Record& r = records[k];
      if (get_links_len_checked(c + t, r.level) != 0) fail("Links are not empty.");
      put_links(c + t, r.level, ids_of(r.chosen, own.ids));
      for (const CandidatePair& b : r.chosen) ins.updates.push_back({b.index, r.level, c + t});
    }
  }
  // Stable without a buffer of its own (std::stable_sort would ask for one): ties keep batch
  // order through the node id, which grows along the batch.
  std::sort(ins.updates.begin(), ins.updates.end(), [](const Update& a, const Update& b) {
    if (a.list_owner != b.list_owner) return a.list_owner < b.list_owner;
    if (a.level != b.level) return a.level < b.level;
    return a.node < b.node;
  });
  std::vector<std::size_t>& starts = ins.starts;
  starts.clear();
  for (std::size_t i = 0; i < ins.updates.size(); ++i)
    if (i == 0 || ins.updates[i].list_owner != ins.updates[i - 1].list_owner ||
        ins.updates[i].level != ins.updates[i - 1].level)
      starts.push_back(i);
  starts.push_back(ins.updates.size());
  run_on_workers(starts.size() - 1, ins.workers.size(), [&](std::size_t w, std::size_t g) {
    for (std::size_t i = starts[g]; i < starts[g + 1]; ++i)
      link_back(ins.updates[i].list_owner, ins.updates[i].level, ins.updates[i].node,
                ins.workers[w].link);
  });
  for (Record& r : records) r.storage = std::move(r.candidates).into_sorted_vec();
}

}  // namespace quillmere
