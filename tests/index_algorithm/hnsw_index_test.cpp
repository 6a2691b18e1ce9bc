#include "index_algorithm/hnsw_index.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/allocator.hpp"
#include "common/failure.hpp"
#include "common/parallel.hpp"
#include "common/random.hpp"
#include "distance/distance.hpp"
#include "distance/distance_algorithm.hpp"
#include "distance/pq_table.hpp"
#include "index_algorithm/candidate_pair.hpp"
#include "index_algorithm/flat_index.hpp"
#include "index_algorithm/index_operations.hpp"
#include "vec_set.hpp"
#include "index_algorithm/heuristic_oracle.hpp"
#include "test_support.hpp"

namespace quillmere {
namespace {

using testing_support::failure_of;
using testing_support::fixed_rng;
using testing_support::heuristic;
using testing_support::same_bits;

static_assert(IndexKNNWithEf<HNSWIndex>);
static_assert(IndexPQ<HNSWIndex>);

constexpr DistanceAlgorithm kKinds[] = {DistanceAlgorithm::L2Sqr, DistanceAlgorithm::Cosine};
const float kNaN = std::numeric_limits<float>::quiet_NaN();
using Ids = std::vector<std::uint32_t>;
using Spans = std::vector<std::span<const float>>;

// ---------------------------------------------------------------------------------------------
// Data

VecSet<float> uniform_rows(std::size_t n, std::size_t dim, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  PodVec<float> flat;
  for (std::size_t i = 0; i < n * dim; ++i) flat.push_back(u(gen));
  return VecSet<float>(dim, std::move(flat));
}

// A Gaussian mixture: `clusters` centres uniform in [-1, 1]^dim, points N(centre, 0.15^2).
VecSet<float> clustered_rows(std::size_t n, std::size_t dim, std::size_t clusters, unsigned seed) {
  std::mt19937 gen(1234);  // the same centres for every seed
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> centres(clusters * dim);
  for (float& c : centres) c = u(gen);
  gen.seed(seed);
  std::normal_distribution<float> noise(0.0f, 0.15f);
  std::uniform_int_distribution<std::size_t> pick(0, clusters - 1);
  PodVec<float> flat;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t c = pick(gen);
    for (std::size_t j = 0; j < dim; ++j) flat.push_back(centres[c * dim + j] + noise(gen));
  }
  return VecSet<float>(dim, std::move(flat));
}

// Elements in {-1, 0, 1}: many equal distances, duplicates and zero vectors.
VecSet<float> grid_rows(std::size_t n, std::size_t dim, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> u(-1, 1);
  PodVec<float> flat;
  for (std::size_t i = 0; i < n * dim; ++i) flat.push_back(static_cast<float>(u(gen)));
  return VecSet<float>(dim, std::move(flat));
}

// The first n rows of a set.
VecSet<float> first_rows(const VecSet<float>& set, std::size_t n) {
  return VecSet<float>(set.dim(), PodVec<float>(std::span(set.data().data(), n * set.dim())));
}

Spans spans_of(const VecSet<float>& set, std::size_t begin = 0,
               std::size_t end = std::numeric_limits<std::size_t>::max()) {
  Spans out;
  for (std::size_t i = begin; i < std::min<std::size_t>(end, set.len()); ++i) out.push_back(set[i]);
  return out;
}

HNSWIndex empty_index(DistanceAlgorithm d, std::uint64_t dim, std::uint64_t m = 16,
                      std::uint64_t ef = 200) {
  return HNSWIndex(HNSWIndex::parameters(HNSWConfig{0, ef, m}, d, dim));
}

HNSWIndex build(const VecSet<float>& rows, DistanceAlgorithm d, std::uint64_t m, std::uint64_t ef,
                std::uint8_t salt) {
  ChaCha12Rng rng = fixed_rng(salt);
  return HNSWIndex::build_on_vec_set(rows, d, HNSWConfig{rows.len(), ef, m}, false, rng);
}

PQTable pq_table_of(const VecSet<float>& rows, DistanceAlgorithm d, std::uint64_t m) {
  ChaCha12Rng rng = fixed_rng(7);
  const PQConfig config{4, m, d, std::min<std::uint64_t>(rows.len(), 1000), 5, 0.0f};
  return PQTable::from_vec_set(rows, config, rng);
}

// The default-parameter indexes over clustered data, built once per kind.
constexpr std::size_t kStdRows = 3000, kStdDim = 24;
const VecSet<float>& std_data() {
  static const VecSet<float> data = clustered_rows(kStdRows, kStdDim, 30, 1);
  return data;
}
const HNSWIndex& std_index(DistanceAlgorithm d) {
  static std::map<DistanceAlgorithm, HNSWIndex> cache;
  auto it = cache.find(d);
  if (it == cache.end()) it = cache.try_emplace(d, build(std_data(), d, 16, 200, 3)).first;
  return it->second;
}
const PQTable& std_pq(DistanceAlgorithm d) {
  static std::map<DistanceAlgorithm, PQTable> cache;
  auto it = cache.find(d);
  if (it == cache.end()) it = cache.try_emplace(d, pq_table_of(std_data(), d, 6)).first;
  return it->second;
}
std::vector<std::vector<float>> std_queries(std::size_t n) {
  const VecSet<float> q = clustered_rows(n, kStdDim, 30, 99);
  std::vector<std::vector<float>> out;
  for (std::span<const float> r : q.iter()) out.emplace_back(r.begin(), r.end());
  return out;
}

// ---------------------------------------------------------------------------------------------
// Comparisons

std::string opt_text(const std::optional<std::uint64_t>& v) {
  return v ? std::to_string(*v) : std::string("none");
}

// Same nodes, vectors, norms, levels, entry point and every level's list.
::testing::AssertionResult same_graph(const HNSWIndex& a, const HNSWIndex& b) {
  if (a.len() != b.len())
    return ::testing::AssertionFailure() << "node counts " << a.len() << " vs " << b.len();
  if (a.enter_point() != b.enter_point() || a.enter_level() != b.enter_level())
    return ::testing::AssertionFailure()
           << "entry (" << opt_text(a.enter_level()) << ", " << opt_text(a.enter_point())
           << ") vs (" << opt_text(b.enter_level()) << ", " << opt_text(b.enter_point()) << ")";
  if (!(a.vec_set() == b.vec_set()) || !(a.norms() == b.norms()))
    return ::testing::AssertionFailure() << "vectors or norms differ";
  for (std::uint64_t n = 0; n < a.len(); ++n) {
    if (a.level(n) != b.level(n))
      return ::testing::AssertionFailure()
             << "level of node " << n << ": " << a.level(n) << " vs " << b.level(n);
    for (std::uint64_t l = 0; l <= a.level(n); ++l)
      if (!std::ranges::equal(a.get_links(n, l), b.get_links(n, l)))
        return ::testing::AssertionFailure() << "links of node " << n << " on level " << l;
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult same_pairs(std::span<const CandidatePair> a,
                                      std::span<const CandidatePair> b) {
  if (a.size() != b.size())
    return ::testing::AssertionFailure() << "sizes " << a.size() << " vs " << b.size();
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].index != b[i].index || !same_bits(a[i].distance, b[i].distance))
      return ::testing::AssertionFailure()
             << "member " << i << ": (" << a[i].index << ", " << a[i].distance << ") vs ("
             << b[i].index << ", " << b[i].distance << ")";
  return ::testing::AssertionSuccess();
}

// Strictly ascending in the CandidatePair order (so equal distances are ordered by id).
bool strictly_ascending(std::span<const CandidatePair> pairs) {
  for (std::size_t i = 1; i < pairs.size(); ++i)
    if (!(pairs[i - 1] < pairs[i])) return false;
  return true;
}

// The structural invariants of a complete index.
::testing::AssertionResult graph_invariants(const HNSWIndex& ix) {
  const std::uint64_t n = ix.len();
  if (ix.vec_set().len() != n || ix.norms().size() != n)
    return ::testing::AssertionFailure() << "per-node arrays disagree";
  if (n == 0) {
    if (ix.enter_point() || ix.enter_level())
      return ::testing::AssertionFailure() << "entry without nodes";
    return ::testing::AssertionSuccess();
  }
  std::uint64_t top = 0, lowest = 0;
  for (std::uint64_t i = 0; i < n; ++i)
    if (ix.level(i) > top) top = ix.level(i), lowest = i;
  if (ix.enter_level() != top || ix.enter_point() != lowest)
    return ::testing::AssertionFailure()
           << "entry (" << opt_text(ix.enter_level()) << ", " << opt_text(ix.enter_point())
           << "), expected (" << top << ", " << lowest << ")";
  for (std::uint64_t node = 0; node < n; ++node) {
    if (!same_bits(ix.norm(node), norm_for(ix.config().dist, ix.vec_set()[node])))
      return ::testing::AssertionFailure() << "norm of node " << node;
    for (std::uint64_t l = 0; l <= ix.level(node); ++l) {
      if (ix.stored_links_len(node, l) > ix.capacity(l))
        return ::testing::AssertionFailure() << "count of node " << node << " level " << l;
      const std::span<const std::uint32_t> links = ix.get_links(node, l);
      if (l == 0 && n > 1 && links.empty())
        return ::testing::AssertionFailure() << "node " << node << " has no level-0 links";
      std::set<std::uint32_t> seen;
      for (std::uint32_t id : links) {
        if (id >= n || id == node || ix.level(id) < l || !seen.insert(id).second)
          return ::testing::AssertionFailure()
                 << "node " << node << " level " << l << " lists " << id;
      }
    }
  }
  return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------------------------
// Straightforward reference implementations: ordered-set queue, hash-set visited set, one
// distance at a time.

float node_distance(const HNSWIndex& ix, std::uint64_t a, std::uint64_t b) {
  return distance(ix.config().dist, NormedVector{ix.vec_set()[a], ix.norm(a)},
                  NormedVector{ix.vec_set()[b], ix.norm(b)});
}

auto exact_scorer(const HNSWIndex& ix, std::span<const float> q) {
  const float qn = norm_for(ix.config().dist, q);
  return [&ix, q, qn](std::uint64_t n) {
    return distance(ix.config().dist, NormedVector{ix.vec_set()[n], ix.norm(n)},
                    NormedVector{q, qn});
  };
}

// The level of a draw: the high 23 bits as the mantissa of a float in [1, 2), minus 1; a zero
// fraction is taken as the smallest non-zero one.
std::uint64_t ref_level(std::uint32_t x, float ml) {
  const std::uint32_t mantissa = std::max<std::uint32_t>(x >> 9, 1);
  const float u = std::bit_cast<float>(0x3F800000u | mantissa) - 1.0f;
  const float level = std::floor(-std::log(u) * ml);
  if (std::isnan(level) || level < 0.0f) return 0;
  if (level >= 0x1p64f) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(level);
}

template <class Score>
std::uint64_t ref_descend(const HNSWIndex& ix, std::uint64_t target, Score&& score) {
  const std::uint64_t top = ix.enter_level().value();
  if (target >= top) return ix.enter_point().value();
  std::uint64_t cur = *ix.enter_point();
  float best = score(cur);
  for (std::uint64_t l = top; l > target; --l) {
    for (;;) {
      bool moved = false;
      std::uint64_t choice = cur;
      for (std::uint32_t n : ix.get_links(cur, l)) {
        const float d = score(n);
        if (d < best) best = d, choice = n, moved = true;
      }
      if (!moved) break;
      cur = choice;
    }
  }
  return cur;
}

template <class Score>
ResultSet ref_search(const HNSWIndex& ix, std::uint64_t start, std::uint64_t level,
                     std::uint64_t width, Score&& score) {
  std::unordered_set<std::uint64_t> visited{start};
  const float d0 = score(start);
  ResultSet result(width);
  result.add(start, d0);
  std::set<CandidatePair> queue{{start, d0}};
  while (!queue.empty()) {
    const CandidatePair c = *queue.begin();
    queue.erase(queue.begin());
    if (!result.admits(c)) break;
    for (std::uint32_t n : ix.get_links(c.index, level)) {
      if (!visited.insert(n).second) continue;
      const float d = score(n);
      result.add(n, d);
      queue.insert({n, d});
    }
  }
  return result;
}

std::vector<CandidatePair> ref_knn(const HNSWIndex& ix, std::span<const float> q, std::uint64_t k,
                                   std::uint64_t ef) {
  if (ix.len() == 0) return {};
  auto score = exact_scorer(ix, q);
  const std::uint64_t start = ref_descend(ix, 0, score);
  std::vector<CandidatePair> out =
      ref_search(ix, start, 0, std::max(ef, k), score).into_sorted_vec();
  if (out.size() > k) out.resize(k);
  return out;
}

std::vector<CandidatePair> ref_knn_pq(const HNSWIndex& ix, std::span<const float> q,
                                      std::uint64_t k, std::uint64_t ef, const PQTable& pq) {
  const PQLookupTable lookup = pq.create_lookup(q);
  auto quantized = [&](std::uint64_t n) {
    return distance(ix.config().dist, pq.encoded_vec_set()[n], lookup);
  };
  const std::uint64_t start = ref_descend(ix, 0, quantized);
  ResultSet found = ref_search(ix, start, 0, std::max(ef, k), quantized);
  return std::move(found).pq_resort(k, exact_scorer(ix, q));
}

Ids ids_of(std::span<const CandidatePair> pairs) {
  Ids out;
  for (const CandidatePair& p : pairs) out.push_back(static_cast<std::uint32_t>(p.index));
  return out;
}

void ref_connect(HNSWIndex& ix, std::uint64_t node, std::uint64_t level, ResultSet w) {
  auto nd = [&](std::uint64_t a, std::uint64_t b) { return node_distance(ix, a, b); };
  const std::vector<CandidatePair> chosen = heuristic(w, ix.config().max_links, nd);
  ix.put_links(node, level, ids_of(chosen));
  for (const CandidatePair& b : chosen) {
    const std::uint64_t cap = level == 0 ? ix.config().max_links_level0 : ix.config().max_links;
    const std::span<const std::uint32_t> old = ix.get_links(b.index, level);
    Ids list(old.begin(), old.end());
    list.push_back(static_cast<std::uint32_t>(node));
    if (old.size() < cap) {
      ix.put_links(b.index, level, list);
      continue;
    }
    ResultSet pool(cap + 1);
    for (std::uint32_t q : list) pool.add(q, nd(b.index, q));
    ix.put_links(b.index, level, ids_of(heuristic(pool, cap, nd)));
  }
}

std::uint64_t ref_add(HNSWIndex& ix, std::span<const float> v, ChaCha12Rng& rng) {
  const std::uint64_t level = ref_level(rng.next_u32(), ix.config().level_multiplier);
  const std::uint64_t id = ix.push_init(v, level);
  if (!ix.enter_point()) {
    ix.TEST_set_entry(level, id);
    return id;
  }
  const std::uint64_t e = *ix.enter_level();
  auto score = exact_scorer(ix, ix.vec_set()[id]);
  std::uint64_t p = level >= e ? *ix.enter_point() : ref_descend(ix, level, score);
  for (std::uint64_t l = std::min(level, e) + 1; l-- > 0;) {
    ResultSet w = ref_search(ix, p, l, ix.config().ef_construction, score);
    p = w.members().front().index;
    ref_connect(ix, id, l, std::move(w));
  }
  if (level > e) ix.TEST_set_entry(level, id);
  return id;
}

// One batch: node by node below the threshold (or for one vector); otherwise levels drawn and
// nodes appended first, every node searched against the graph as it was before the batch with
// the earlier batch nodes offered by hand, then linked in batch order.
std::vector<std::uint64_t> ref_batch(HNSWIndex& ix, const Spans& vectors, ChaCha12Rng& rng) {
  const std::uint64_t c = ix.len();
  std::vector<std::uint64_t> ids;
  if (vectors.size() == 1 || c < 1000) {
    for (std::span<const float> v : vectors) ids.push_back(ref_add(ix, v, rng));
    return ids;
  }
  for (std::span<const float> v : vectors)
    ids.push_back(ix.push_init(v, ref_level(rng.next_u32(), ix.config().level_multiplier)));
  const std::uint64_t e = *ix.enter_level(), entry = *ix.enter_point();
  std::vector<std::vector<std::pair<std::uint64_t, ResultSet>>> records(vectors.size());
  for (std::uint64_t x = c; x < ix.len(); ++x) {
    auto score = exact_scorer(ix, ix.vec_set()[x]);
    std::uint64_t p = ix.level(x) >= e ? entry : ref_descend(ix, ix.level(x), score);
    for (std::uint64_t l = std::min(ix.level(x), e) + 1; l-- > 0;) {
      ResultSet w = ref_search(ix, p, l, ix.config().ef_construction, score);
      p = w.members().front().index;
      for (std::uint64_t y = c; y < x; ++y)
        if (ix.level(y) >= l) w.add(y, node_distance(ix, x, y));
      records[x - c].emplace_back(l, std::move(w));
    }
  }
  for (std::uint64_t x = c; x < ix.len(); ++x)
    for (auto& [l, w] : records[x - c]) ref_connect(ix, x, l, std::move(w));
  for (std::uint64_t x = c; x < ix.len(); ++x)
    if (ix.level(x) > *ix.enter_level()) ix.TEST_set_entry(ix.level(x), x);
  return ids;
}

// ---------------------------------------------------------------------------------------------
// Parameters

TEST(HNSWParameters, DerivedFromTheRequest) {
  struct Case {
    std::uint64_t m_req, ef_req;
    std::uint64_t m, m0, ef_construction, ef_search;
    bool warns;
  };
  const Case cases[] = {
      {16, 200, 16, 32, 200, 100, false},
      {16, 201, 16, 32, 201, 100, false},  // odd width: search width rounded down
      {16, 31, 16, 32, 32, 16, false},     // construction width raised to 2M
      {16, 0, 16, 32, 32, 16, false},
      {2, 0, 2, 4, 4, 2, false},
      {10000, 0, 10000, 20000, 20000, 10000, false},
      {10001, 0, 10000, 20000, 20000, 10000, true},
      {10001, 50000, 10000, 20000, 50000, 25000, true},
      {std::numeric_limits<std::uint64_t>::max(), 7, 10000, 20000, 20000, 10000, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("M " + std::to_string(c.m_req) + ", ef " + std::to_string(c.ef_req));
    ::testing::internal::CaptureStderr();
    const HNSWInnerConfig p =
        HNSWIndex::parameters(HNSWConfig{1234, c.ef_req, c.m_req}, DistanceAlgorithm::Cosine, 24);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, c.warns ? "M parameter exceeds 10_000 may lead to adverse effects.\n" : "");
    EXPECT_EQ(p.dim, 24u);
    EXPECT_EQ(p.dist, DistanceAlgorithm::Cosine);
    EXPECT_EQ(p.max_elements, 1234u);
    EXPECT_EQ(p.max_links, c.m);
    EXPECT_EQ(p.max_links_level0, c.m0);
    EXPECT_EQ(p.ef_construction, c.ef_construction);
    EXPECT_EQ(p.ef_search, c.ef_search);
    EXPECT_TRUE(same_bits(p.level_multiplier, 1.0f / std::log(static_cast<float>(c.m))));
    EXPECT_EQ(p.parallel_threshold, 1000u);
  }
}

TEST(HNSWParameters, LevelMultiplierOfM16) {
  const HNSWInnerConfig p =
      HNSWIndex::parameters(HNSWConfig{0, 200, 16}, DistanceAlgorithm::L2Sqr, 4);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(p.level_multiplier), 0x3EB8AA3Bu);
}

TEST(HNSWParameters, MBelowTwoRefused) {
  for (std::uint64_t m : {0, 1})
    EXPECT_EQ(failure_of([&] {
                (void)HNSWIndex::parameters(HNSWConfig{0, 200, m}, DistanceAlgorithm::L2Sqr, 4);
              }),
              "M must be at least 2 in HNSWIndex.")
        << m;
}

TEST(HNSWParameters, BuildWarnsOnceAndOtherwiseWritesNothing) {
  const VecSet<float> rows = uniform_rows(3, 2, 1);
  ChaCha12Rng rng = fixed_rng();
  ::testing::internal::CaptureStderr();
  const HNSWIndex big = HNSWIndex::build_on_vec_set(rows, DistanceAlgorithm::L2Sqr,
                                                    HNSWConfig{3, 0, 10001}, false, rng);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "M parameter exceeds 10_000 may lead to adverse effects.\n");
  EXPECT_EQ(big.config().max_links, 10000u);
  EXPECT_EQ(big.len(), 3u);

  const VecSet<float> more = uniform_rows(1100, 4, 2);
  ::testing::internal::CaptureStderr();
  const HNSWIndex quiet = build(more, DistanceAlgorithm::Cosine, 16, 40, 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(quiet.len(), 1100u);
}

// ---------------------------------------------------------------------------------------------
// Level draw

TEST(HNSWLevelDraw, KnownDrawsForM16) {
  const float ml =
      HNSWIndex::parameters(HNSWConfig{0, 0, 16}, DistanceAlgorithm::L2Sqr, 1).level_multiplier;
  // -ln(U) * mL sits at .25, .5 or .75 past an integer for these fractions U.
  const std::pair<std::uint32_t, std::uint64_t> cases[] = {
      {0xFFFFFFFFu, 0},            // U = 1 - 2^-23
      {0x80000000u, 0},            // U = 1/2
      {0x08000000u, 1},            // U = 2^-5
      {0x00400000u, 2},            // U = 2^-13
      {0x00020000u, 3},            // U = 2^-15
      {0x00002000u, 4},            // U = 2^-19
      {1023, 5},                   // U = 2^-23
      {512, 5},         {511, 5},  // U = 0: capped at the level of U = 2^-23
      {1, 5},           {0, 5},
  };
  for (auto [x, level] : cases)
    EXPECT_EQ(HNSWIndex::level_from_draw(x, ml), level) << std::hex << x;
}

TEST(HNSWLevelDraw, MatchesTheFormula) {
  std::mt19937 gen(5);
  for (std::uint64_t m : {2, 3, 16, 100, 10000}) {
    const float ml = 1.0f / std::log(static_cast<float>(m));
    const std::uint64_t capped = ref_level(512, ml);
    EXPECT_EQ(capped, static_cast<std::uint64_t>(std::floor(-std::log(0x1p-23f) * ml))) << m;
    for (std::uint32_t x : {0u, 1u, 511u, 512u, 0xFFFFFFFFu})
      EXPECT_EQ(HNSWIndex::level_from_draw(x, ml), ref_level(x, ml)) << m << " " << x;
    for (int i = 0; i < 20000; ++i) {
      const std::uint32_t x = static_cast<std::uint32_t>(gen());
      ASSERT_EQ(HNSWIndex::level_from_draw(x, ml), ref_level(x, ml)) << m << " " << x;
      ASSERT_LE(HNSWIndex::level_from_draw(x, ml), capped);
    }
    // Around every level boundary U = exp(-L / mL), where single precision decides.
    for (std::uint64_t l = 1; l <= capped; ++l) {
      const auto edge = static_cast<std::int64_t>(std::exp(-static_cast<double>(l) / ml) * 0x1p23);
      const std::int64_t lo = std::max<std::int64_t>(edge - 4, 1);
      const std::int64_t hi = std::min<std::int64_t>(edge + 4, (1 << 23) - 1);
      for (std::int64_t mant = lo; mant <= hi; ++mant)
        for (std::uint32_t low : {0u, 0x1FFu}) {
          const std::uint32_t x = static_cast<std::uint32_t>(mant) << 9 | low;
          ASSERT_EQ(HNSWIndex::level_from_draw(x, ml), ref_level(x, ml)) << m << " " << x;
        }
    }
  }
}

TEST(HNSWLevelDraw, SaturatesToSixtyFourBits) {
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    std::uint32_t x;
    float ml;
    std::uint64_t level;
  } cases[] = {
      {0x80000000u, inf, max},
      {0xFFFFFFFFu, inf, max},
      {0x80000000u, 1e30f, max},
      {0x80000000u, kNaN, 0},
      {0x80000000u, -1.0f, 0},
      {0x80000000u, 0.0f, 0},
      {0x80000000u, 1e10f, static_cast<std::uint64_t>(std::floor(-std::log(0.5f) * 1e10f))},
  };
  for (const auto& c : cases) EXPECT_EQ(HNSWIndex::level_from_draw(c.x, c.ml), c.level) << c.ml;
}

// ---------------------------------------------------------------------------------------------
// Structure and accessors (M 3: M0 6)

HNSWIndex two_node_index() {
  HNSWIndex ix = empty_index(DistanceAlgorithm::L2Sqr, 2, 3);
  ix.push_init(std::vector<float>{1.0f, 2.0f}, 0);
  ix.push_init(std::vector<float>{3.0f, 4.0f}, 2);
  return ix;
}

TEST(HNSWStructure, PushInitAppendsANodeWithEmptyLists) {
  HNSWIndex ix = empty_index(DistanceAlgorithm::L2Sqr, 2, 3);
  EXPECT_EQ(ix.push_init(std::vector<float>{1.0f, 2.0f}, 0), 0u);
  EXPECT_EQ(ix.push_init(std::vector<float>{3.0f, 4.0f}, 2), 1u);
  EXPECT_EQ(ix.len(), 2u);
  EXPECT_EQ(ix.vec_set().len(), 2u);
  EXPECT_EQ(ix.level(0), 0u);
  EXPECT_EQ(ix.level(1), 2u);
  EXPECT_FALSE(ix.enter_point().has_value());
  EXPECT_FALSE(ix.enter_level().has_value());
  EXPECT_EQ(ix.capacity(0), 6u);
  EXPECT_EQ(ix.capacity(1), 3u);
  for (std::uint64_t l = 0; l <= 2; ++l) {
    EXPECT_EQ(ix.stored_links_len(1, l), 0u);
    EXPECT_TRUE(ix.get_links(1, l).empty());
    EXPECT_TRUE(std::ranges::all_of(ix.slots(1, l), [](std::uint32_t s) { return s == 0; }));
    EXPECT_EQ(ix.slots(1, l).size(), ix.capacity(l));
  }
  EXPECT_EQ(ix.get_links_len_checked(0, 0), 0u);
  EXPECT_TRUE(std::ranges::equal(ix.vec_set()[1], std::vector<float>{3.0f, 4.0f}));
}

TEST(HNSWStructure, Norms) {
  const struct {
    DistanceAlgorithm d;
    std::vector<float> v;
    float norm;
  } cases[] = {
      {DistanceAlgorithm::L2Sqr, {0.0f, 0.0f}, 0.0f},
      {DistanceAlgorithm::Cosine, {0.0f, 0.0f}, 0.0f},
      {DistanceAlgorithm::L2Sqr, {3.0f, 4.0f}, 25.0f},
      {DistanceAlgorithm::Cosine, {3.0f, 4.0f}, 5.0f},
      {DistanceAlgorithm::L2Sqr, {-0.0f, -0.0f}, 0.0f},
  };
  for (const auto& c : cases) {
    HNSWIndex ix = empty_index(c.d, 2, 4);
    const std::uint64_t id = ix.push_init(c.v, 1);
    EXPECT_TRUE(same_bits(ix.norm(id), c.norm))
        << name(c.d) << " " << c.v[0] << "," << c.v[1] << ": " << ix.norm(id);
  }
}

TEST(HNSWStructure, AccessorFailures) {
  const std::string oob = "Index out of bounds.";
  const std::string no_node = "index out of bounds: the len is 2 but the index is 2";
  HNSWIndex ix = two_node_index();
  const Ids one{1};
  const std::vector<float> q{0.0f, 0.0f};
  const struct {
    const char* what;
    std::function<void()> action;
    std::string message;
  } cases[] = {
      {"level-0 node, level 1", [&] { (void)ix.get_links(0, 1); }, oob},
      {"level-0 node, level 1 count", [&] { (void)ix.get_links_len_checked(0, 1); }, oob},
      {"level-0 node, level 1 put", [&] { ix.put_links(0, 1, one); }, oob},
      {"level-2 node, level 3", [&] { (void)ix.get_links(1, 3); }, oob},
      {"level-2 node, level 3 put", [&] { ix.put_links(1, 3, one); }, oob},
      {"node out of range", [&] { (void)ix.get_links(2, 0); }, no_node},
      {"node out of range count", [&] { (void)ix.get_links_len_checked(2, 1); }, no_node},
      {"node out of range put", [&] { ix.put_links(2, 0, one); }, no_node},
      {"search above the start's level", [&] { (void)ix.search_on_level(0, 1, 5, q); }, oob},
      {"search from a node out of range", [&] { (void)ix.search_on_level(2, 0, 5, q); }, no_node},
      {"a level without storage",
       [&] { ix.push_init(q, std::numeric_limits<std::uint64_t>::max()); }, "capacity overflow"},
      {"vector too long",
       [&] {
         ix.push_init(std::vector<float>{1, 2, 3}, 0);
       },
       "assertion `left == right` failed\n  left: 3\n right: 2"},
  };
  for (const auto& c : cases) EXPECT_EQ(failure_of(c.action), c.message) << c.what;
  EXPECT_EQ(ix.len(), 2u);
  EXPECT_EQ(ix.vec_set().len(), 2u);
  EXPECT_EQ(ix.norms().size(), 2u);
  EXPECT_EQ(ix.stored_links_len(0, 0), 0u);
}

TEST(HNSWStructure, DimensionZeroFails) {
  HNSWIndex ix = empty_index(DistanceAlgorithm::L2Sqr, 0, 4);
  const PQTable pq = pq_table_of(uniform_rows(64, 4, 3), DistanceAlgorithm::L2Sqr, 2);
  const Spans none{std::span<const float>()};
  ChaCha12Rng rng = fixed_rng();
  const std::function<void()> actions[] = {
      [&] { ix.push_init({}, 0); },
      [&] { ix.add({}, rng); },
      [&] { ix.inner_batch_add(none, rng); },
      [&] { ix.add_parallel(none, rng); },
      [&] { (void)ix.knn_with_ef({}, 1, 1); },
      [&] { (void)ix.knn_pq({}, 1, 1, pq); },
  };
  for (std::size_t i = 0; i < std::size(actions); ++i)
    EXPECT_EQ(failure_of(actions[i]), "attempt to divide by zero") << i;
}

TEST(HNSWStructure, OversizedListFailsAndItsCountStaysStored) {
  HNSWIndex ix = two_node_index();
  const struct {
    std::uint64_t level;
    std::size_t count;
    std::string message;
  } cases[] = {{0, 7, "links_len[1][0] exceeds limit 6."},
               {1, 4, "links_len[1][1] exceeds limit 3."},
               {2, 100, "links_len[1][2] exceeds limit 3."}};
  for (const auto& c : cases) {
    const Ids ids(c.count, 0);
    EXPECT_EQ(failure_of([&] { ix.put_links(1, c.level, ids); }), c.message);
    EXPECT_EQ(ix.stored_links_len(1, c.level), c.count);
    EXPECT_EQ(failure_of([&] { (void)ix.get_links_len_checked(1, c.level); }), c.message);
    EXPECT_EQ(failure_of([&] { (void)ix.get_links(1, c.level); }), c.message);
    // Nothing was copied.
    EXPECT_TRUE(std::ranges::all_of(ix.slots(1, c.level), [](std::uint32_t s) { return s == 0; }));
  }
  // A valid list replaces the count.
  ix.put_links(1, 0, Ids{0});
  EXPECT_TRUE(std::ranges::equal(ix.get_links(1, 0), Ids{0}));
}

TEST(HNSWStructure, ShorterListKeepsTheOldSlots) {
  HNSWIndex ix = two_node_index();
  ix.put_links(1, 0, Ids{9, 8, 7, 6, 5, 4});
  ix.put_links(1, 1, Ids{11, 12, 13});
  ix.put_links(1, 2, Ids{21});
  ix.put_links(1, 0, Ids{1, 2});
  EXPECT_TRUE(std::ranges::equal(ix.get_links(1, 0), Ids{1, 2}));
  EXPECT_TRUE(std::ranges::equal(ix.slots(1, 0), Ids{1, 2, 7, 6, 5, 4}));
  EXPECT_TRUE(std::ranges::equal(ix.get_links(1, 1), Ids{11, 12, 13}));
  EXPECT_TRUE(std::ranges::equal(ix.slots(1, 2), Ids{21, 0, 0}));
  ix.put_links(1, 1, {});
  EXPECT_TRUE(ix.get_links(1, 1).empty());
  EXPECT_TRUE(std::ranges::equal(ix.slots(1, 1), Ids{11, 12, 13}));
  EXPECT_TRUE(ix.get_links(0, 0).empty());  // the other node's block is untouched
}

// ---------------------------------------------------------------------------------------------
// Graph invariants

TEST(HNSWGraph, InvariantsAfterBuilding) {
  for (DistanceAlgorithm d : kKinds) {
    const HNSWIndex& ix = std_index(d);
    EXPECT_EQ(ix.len(), kStdRows);
    EXPECT_EQ(ix.num_deleted(), 0u);
    EXPECT_TRUE(graph_invariants(ix)) << name(d);
    EXPECT_GE(*ix.enter_level(), 1u) << name(d);
  }
  // A small M (levels are frequent, lists fill and are pruned) and uniform data.
  for (DistanceAlgorithm d : kKinds) {
    const HNSWIndex ix = build(uniform_rows(2000, 8, 4), d, 3, 0, 9);
    EXPECT_TRUE(graph_invariants(ix)) << name(d);
  }
}

TEST(HNSWGraph, BuildFromEmptyAndFromDimensionZero) {
  ChaCha12Rng rng = fixed_rng();
  const HNSWIndex ix =
      HNSWIndex::build_on_vec_set(VecSet<float>(4, PodVec<float>()), DistanceAlgorithm::L2Sqr,
                                  HNSWConfig{0, 100, 8}, false, rng);
  EXPECT_EQ(ix.len(), 0u);
  EXPECT_FALSE(ix.enter_point().has_value());
  EXPECT_FALSE(ix.enter_level().has_value());
  EXPECT_EQ(ix.config(), HNSWIndex::parameters(HNSWConfig{0, 100, 8}, DistanceAlgorithm::L2Sqr, 4));
  EXPECT_EQ(failure_of([&] {
              (void)HNSWIndex::build_on_vec_set(VecSet<float>::with_capacity(0, 0),
                                                DistanceAlgorithm::L2Sqr, HNSWConfig{0, 100, 8},
                                                false, rng);
            }),
            "chunk size must be non-zero");
}

// ---------------------------------------------------------------------------------------------
// Insertion

TEST(HNSWInsert, FirstNodeIsTheEntryAndTheSecondLinksToIt) {
  for (std::uint8_t salt = 0; salt < 12; ++salt) {
    HNSWIndex ix = empty_index(DistanceAlgorithm::L2Sqr, 2, 2);  // mL = 1/ln 2: frequent levels
    ChaCha12Rng rng = fixed_rng(salt);
    EXPECT_EQ(ix.add(std::vector<float>{0.0f, 0.0f}, rng), 0u);
    const std::uint64_t l0 = ix.level(0);
    EXPECT_EQ(ix.enter_point(), 0u);
    EXPECT_EQ(ix.enter_level(), l0);
    for (std::uint64_t l = 0; l <= l0; ++l) EXPECT_TRUE(ix.get_links(0, l).empty());
    EXPECT_EQ(ix.add(std::vector<float>{1.0f, 1.0f}, rng), 1u);
    const std::uint64_t l1 = ix.level(1);
    for (std::uint64_t l = 0; l <= std::max(l0, l1); ++l) {
      const bool both = l <= std::min(l0, l1);
      if (l <= l0) {
        EXPECT_TRUE(std::ranges::equal(ix.get_links(0, l), both ? Ids{1} : Ids{}));
      }
      if (l <= l1) {
        EXPECT_TRUE(std::ranges::equal(ix.get_links(1, l), both ? Ids{0} : Ids{}));
      }
    }
    EXPECT_EQ(ix.enter_point(), l1 > l0 ? 1u : 0u);
    EXPECT_EQ(ix.enter_level(), std::max(l0, l1));
  }
}

TEST(HNSWInsert, EntryPointMovesOnlyToAStrictlyHigherLevel) {
  const VecSet<float> rows = uniform_rows(600, 4, 11);
  HNSWIndex ix = empty_index(DistanceAlgorithm::L2Sqr, 4, 4, 16);
  ChaCha12Rng rng = fixed_rng(2);
  int raised = 0, equal = 0;
  ix.add(rows[0], rng);
  for (std::uint64_t i = 1; i < rows.len(); ++i) {
    const std::uint64_t e = *ix.enter_level(), ep = *ix.enter_point();
    const std::uint64_t id = ix.add(rows[i], rng);
    const std::uint64_t l = ix.level(id);
    for (std::uint64_t lv = 0; lv <= l; ++lv)
      ASSERT_EQ(ix.get_links(id, lv).empty(), lv > e) << "node " << id << " level " << lv;
    if (l > e) {
      ++raised;
      ASSERT_EQ(ix.enter_point(), id);
      ASSERT_EQ(ix.enter_level(), l);
    } else {
      equal += l == e;
      ASSERT_EQ(ix.enter_point(), ep);
      ASSERT_EQ(ix.enter_level(), e);
    }
  }
  EXPECT_GE(raised, 2);  // the data exercises both branches
  EXPECT_GE(equal, 1);
  EXPECT_TRUE(graph_invariants(ix));
}

TEST(HNSWInsert, AddMatchesTheReferenceInsertion) {
  const struct {
    DistanceAlgorithm d;
    std::uint64_t m, ef, dim;
    bool grid;
  } cases[] = {
      {DistanceAlgorithm::L2Sqr, 4, 0, 6, false},    {DistanceAlgorithm::Cosine, 4, 0, 7, false},
      {DistanceAlgorithm::L2Sqr, 12, 40, 33, false}, {DistanceAlgorithm::Cosine, 12, 40, 16, false},
      {DistanceAlgorithm::L2Sqr, 2, 0, 3, false},    {DistanceAlgorithm::L2Sqr, 6, 0, 4, true},
      {DistanceAlgorithm::Cosine, 4, 0, 5, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(name(c.d)) + " M " + std::to_string(c.m) + " dim " +
                 std::to_string(c.dim) + (c.grid ? " grid" : ""));
    const VecSet<float> rows = c.grid ? grid_rows(500, c.dim, 3) : clustered_rows(500, c.dim, 8, 3);
    HNSWIndex ix = empty_index(c.d, c.dim, c.m, c.ef), ref = ix;
    ChaCha12Rng rng = fixed_rng(4), ref_rng = rng;
    for (std::uint64_t i = 0; i < rows.len(); ++i) {
      ASSERT_EQ(ix.add(rows[i], rng), i);
      ASSERT_EQ(ref_add(ref, rows[i], ref_rng), i);
      if (i % 100 == 99) {
        ASSERT_TRUE(same_graph(ix, ref)) << "after " << i + 1 << " nodes";
      }
    }
    EXPECT_TRUE(same_graph(ix, ref));
    EXPECT_EQ(rng.next_u32(), ref_rng.next_u32());  // one draw per node
  }
}

TEST(HNSWInsert, ConnectNewLinksRefusesALinkedNode) {
  HNSWIndex ix = build(uniform_rows(20, 3, 1), DistanceAlgorithm::L2Sqr, 4, 0, 1);
  ResultSet w(8);
  w.add(0, 1.0f);
  EXPECT_EQ(failure_of([&] { ix.connect_new_links(5, 0, std::move(w)); }), "Links are not empty.");
}

TEST(HNSWInsert, BatchesBelowTheThresholdEqualOneByOneAdds) {
  const VecSet<float> rows = uniform_rows(1200, 10, 21);
  for (DistanceAlgorithm d : kKinds) {
    SCOPED_TRACE(name(d));
    {  // from an empty index, through both batch entry points
      HNSWIndex batched = empty_index(d, 10, 8, 40), via_parallel = batched, single = batched;
      ChaCha12Rng r1 = fixed_rng(1), r2 = r1, r3 = r1;
      const Spans first = spans_of(rows, 0, 300);
      std::vector<std::uint64_t> expected;
      for (std::span<const float> v : first) expected.push_back(single.add(v, r3));
      EXPECT_EQ(batched.inner_batch_add(first, r1), expected);
      EXPECT_EQ(via_parallel.add_parallel(first, r2), expected);
      EXPECT_TRUE(same_graph(batched, single));
      EXPECT_TRUE(same_graph(via_parallel, single));
    }
    // 980 nodes: a batch of 50 starts below the threshold, so all 50 go one by one.
    const HNSWIndex base = build(first_rows(rows, 980), d, 8, 40, 2);
    {
      HNSWIndex batched = base, single = base;
      ChaCha12Rng r1 = fixed_rng(3), r2 = r1;
      const Spans next = spans_of(rows, 980, 1030);
      batched.add_parallel(next, r1);
      for (std::span<const float> v : next) single.add(v, r2);
      EXPECT_TRUE(same_graph(batched, single));
    }
    // 1100 nodes: a batch of one vector is one add.
    HNSWIndex big = base;
    ChaCha12Rng grow = fixed_rng(4);
    big.inner_batch_add(spans_of(rows, 980, 1100), grow);
    for (std::uint64_t i = 1100; i < 1104; ++i) {
      HNSWIndex via_batch = big, via_inner = big, single = big;
      ChaCha12Rng r1 = fixed_rng(static_cast<std::uint8_t>(i)), r2 = r1, r3 = r1;
      const Spans one{rows[i]};
      EXPECT_EQ(via_batch.add_parallel(one, r1), std::vector<std::uint64_t>{1100});
      EXPECT_EQ(via_inner.inner_batch_add(one, r2), std::vector<std::uint64_t>{1100});
      single.add(rows[i], r3);
      EXPECT_TRUE(same_graph(via_batch, single));
      EXPECT_TRUE(same_graph(via_inner, single));
    }
  }
}

TEST(HNSWInsert, ParallelBatchMatchesTheReferenceBatch) {
  const pool::ScopedThreadCount threads(4);
  const struct {
    DistanceAlgorithm d;
    std::uint64_t m, ef, dim;
    bool grid;
  } cases[] = {
      {DistanceAlgorithm::L2Sqr, 8, 48, 12, false}, {DistanceAlgorithm::Cosine, 8, 48, 12, false},
      {DistanceAlgorithm::L2Sqr, 2, 0, 6, false},   {DistanceAlgorithm::Cosine, 3, 0, 6, false},
      {DistanceAlgorithm::L2Sqr, 4, 0, 5, true},    {DistanceAlgorithm::Cosine, 4, 0, 6, true}};
  for (const auto& c : cases) {
    const VecSet<float> rows =
        c.grid ? grid_rows(1260, c.dim, 8) : clustered_rows(1260, c.dim, 10, 8);
    const HNSWIndex base = build(first_rows(rows, 1100), c.d, c.m, c.ef, 5);
    SCOPED_TRACE(std::string(name(c.d)) + " M " + std::to_string(c.m) + (c.grid ? " grid" : ""));
    HNSWIndex ix = base, ref = base;
    ChaCha12Rng rng = fixed_rng(6), ref_rng = rng;
    std::size_t start = 1100;
    for (std::size_t size : {2, 13, 45, 100}) {
      const Spans batch = spans_of(rows, start, start + size);
      const std::vector<std::uint64_t> ids = ix.add_parallel(batch, rng);
      ASSERT_EQ(ids, ref_batch(ref, batch, ref_rng));
      for (std::size_t i = 0; i < size; ++i) ASSERT_EQ(ids[i], start + i);
      ASSERT_TRUE(same_graph(ix, ref)) << "after the batch of " << size;
      start += size;
    }
    EXPECT_TRUE(graph_invariants(ix));
  }
}

TEST(HNSWInsert, BatchNodesAboveTheEntryLevel) {
  // A generator whose next draws give two batch nodes the same level above the entry level.
  const VecSet<float> rows = uniform_rows(1000 + 200, 4, 51);
  const HNSWIndex base = build(first_rows(rows, 1000), DistanceAlgorithm::L2Sqr, 2, 0, 7);
  const std::uint64_t e = *base.enter_level();
  const float ml = base.config().level_multiplier;
  std::optional<ChaCha12Rng> found;
  std::size_t first = 0, second = 0;
  for (std::uint32_t trial = 0; trial < 200000 && !found; ++trial) {
    ChaCha12Rng::Seed seed{};
    for (std::size_t i = 0; i < 4; ++i) seed[i] = static_cast<std::uint8_t>(trial >> (8 * i));
    ChaCha12Rng probe(seed);
    std::vector<std::uint64_t> levels;
    for (int i = 0; i < 200; ++i) levels.push_back(ref_level(probe.next_u32(), ml));
    const std::uint64_t top = *std::ranges::max_element(levels);
    if (top <= e || std::ranges::count(levels, top) < 2) continue;
    first = std::ranges::find(levels, top) - levels.begin();
    second = std::find(levels.begin() + first + 1, levels.end(), top) - levels.begin();
    found.emplace(seed);
  }
  ASSERT_TRUE(found.has_value());
  HNSWIndex ix = base, ref = base;
  ChaCha12Rng ref_rng = *found;
  const Spans batch = spans_of(rows, 1000);
  ix.add_parallel(batch, *found);
  ref_batch(ref, batch, ref_rng);
  EXPECT_TRUE(same_graph(ix, ref));
  // The earlier of the two becomes the entry point; neither is linked above the old entry level.
  const std::uint64_t a = 1000 + first, b = 1000 + second;
  EXPECT_EQ(ix.enter_point(), a);
  EXPECT_EQ(ix.enter_level(), ix.level(a));
  for (std::uint64_t node : {a, b})
    for (std::uint64_t l = 0; l <= ix.level(node); ++l)
      EXPECT_EQ(ix.get_links(node, l).empty(), l > e) << node << " level " << l;
  EXPECT_TRUE(graph_invariants(ix));
}

// A whole build inserts node by node below the threshold, then in batches of
// min(nodes / M, 4 x threads), each linked as the reference batch links it.
TEST(HNSWInsert, ABuildInsertsItsBatchesAsTheReferenceBatch) {
  // 1500 nodes go in parallel batches (of 16 and of 32 nodes).
  const VecSet<float> rows = uniform_rows(2500, 16, 31);
  const std::pair<std::size_t, DistanceAlgorithm> cases[] = {{4, DistanceAlgorithm::L2Sqr},
                                                             {8, DistanceAlgorithm::Cosine}};
  for (auto [threads, d] : cases) {
    SCOPED_TRACE(std::string(name(d)) + ", " + std::to_string(threads) + " threads");
    const pool::ScopedThreadCount scope(threads);
    const HNSWIndex built = build(rows, d, 16, 100, 12);
    HNSWIndex ref = empty_index(d, rows.dim(), 16, 100);
    ChaCha12Rng rng = fixed_rng(12);
    for (std::uint64_t start = 0; start < rows.len();) {
      const std::uint64_t c = ref.len();
      const std::uint64_t size =
          c < ref.config().parallel_threshold
              ? 1
              : std::max<std::uint64_t>(1, std::min<std::uint64_t>(c / 16, 4 * threads));
      const std::uint64_t end = std::min(rows.len(), start + size);
      ref_batch(ref, spans_of(rows, start, end), rng);
      start = end;
    }
    EXPECT_TRUE(same_graph(built, ref));
    EXPECT_TRUE(graph_invariants(built));
  }
}

TEST(HNSWInsert, TheProgressDisplayChangesNothingOfTheGraph) {
  const VecSet<float> rows = uniform_rows(3000, 8, 41);
  const HNSWConfig config{rows.len(), 60, 8};
  ChaCha12Rng quiet_rng = fixed_rng(), shown_rng = fixed_rng();
  const HNSWIndex quiet =
      HNSWIndex::build_on_vec_set(rows, DistanceAlgorithm::L2Sqr, config, false, quiet_rng);
  ::testing::internal::CaptureStderr();
  const HNSWIndex shown =
      HNSWIndex::build_on_vec_set(rows, DistanceAlgorithm::L2Sqr, config, true, shown_rng);
  const std::string display = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(same_graph(quiet, shown));
  EXPECT_TRUE(display.ends_with("HNSW build: 3000 / 3000\n")) << display;
}

TEST(HNSWInsert, AddRefusesAnEntryPointWithoutItsLevel) {
  HNSWIndex ix = build(uniform_rows(3, 4, 5), DistanceAlgorithm::L2Sqr, 4, 10, 1);
  const std::vector<float> v{1, 2, 3, 4};
  ChaCha12Rng rng = fixed_rng();
  for (bool drop_level : {true, false}) {
    HNSWIndex broken = ix;
    if (drop_level)
      broken.TEST_set_entry(std::nullopt, broken.enter_point());
    else
      broken.TEST_set_entry(broken.enter_level(), std::nullopt);
    EXPECT_EQ(failure_of([&] { (void)broken.add(v, rng); }),
              "The entry point and its level disagree.");
    EXPECT_EQ(broken.len(), 3u);  // refused before anything changed
  }
}

TEST(HNSWInsert, InnerBatchAddCutsBatchesFromTheGrowingCount) {
  // M 40 with 8 threads: c / M (25 at 1000 nodes) binds first, 4 * 8 = 32 from 1280 nodes on.
  // Dimension 32 keeps the searches approximate, so that batch boundaries show in the graph.
  constexpr std::uint64_t kM = 40;
  constexpr std::size_t kThreads = 8, kDim = 32;
  const VecSet<float> rows = uniform_rows(990 + 1500, kDim, 41);
  const HNSWIndex base = build(first_rows(rows, 990), DistanceAlgorithm::L2Sqr, kM, 0, 13);
  ASSERT_EQ(base.config().parallel_threshold, 1000u);
  const pool::ScopedThreadCount scope(kThreads);
  ASSERT_EQ(pool::thread_count(), kThreads);

  HNSWIndex ix = base, ref = base;
  ChaCha12Rng rng = fixed_rng(14), ref_rng = rng;
  const Spans added = spans_of(rows, 990);
  const std::vector<std::uint64_t> ids = ix.inner_batch_add(added, rng);
  ASSERT_EQ(ids.size(), 1500u);
  for (std::size_t i = 0; i < ids.size(); ++i) ASSERT_EQ(ids[i], 990 + i);

  std::size_t start = 0, singles = 0, capped = 0;
  while (start < added.size()) {
    const std::uint64_t c = ref.len();
    const std::uint64_t b = c < 1000 ? 1 : std::min<std::uint64_t>(c / kM, 4 * kThreads);
    const std::size_t end = std::min<std::size_t>(added.size(), start + b);
    if (b == 1) {
      ++singles;
      ref.add(added[start], ref_rng);
    } else {
      capped += b == 4 * kThreads;
      ref.add_parallel(std::span(added).subspan(start, end - start), ref_rng);
    }
    start = end;
  }
  EXPECT_EQ(singles, 10u);
  EXPECT_GT(capped, 0u);
  EXPECT_TRUE(same_graph(ix, ref));
  EXPECT_TRUE(graph_invariants(ix));
}

// ---------------------------------------------------------------------------------------------
// Search

TEST(HNSWSearch, OneNodeIndexAnswersItsNode) {
  for (DistanceAlgorithm d : kKinds) {
    const VecSet<float> rows = uniform_rows(1, 3, 2);
    const HNSWIndex ix = build(rows, d, 16, 200, 1);
    const std::vector<float> q{0.5f, -0.25f, 1.0f};
    const float expected = exact_scorer(ix, q)(0);
    for (std::uint64_t k : {1, 2, 50})
      for (std::uint64_t ef : {0, 1, 7}) {
        const std::vector<CandidatePair> r = ix.knn_with_ef(q, k, ef);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].index, 0u);
        EXPECT_TRUE(same_bits(r[0].distance, expected));
      }
  }
}

TEST(HNSWSearch, EmptyIndexAnswersNothing) {
  const VecSet<float> pq_rows = uniform_rows(64, 4, 3);
  const PQTable cosine_pq = pq_table_of(pq_rows, DistanceAlgorithm::Cosine, 2);
  const PQTable l2_pq = pq_table_of(pq_rows, DistanceAlgorithm::L2Sqr, 2);
  ChaCha12Rng rng = fixed_rng();
  const HNSWIndex ix =
      HNSWIndex::build_on_vec_set(VecSet<float>(4, PodVec<float>()), DistanceAlgorithm::L2Sqr,
                                  HNSWConfig{0, 200, 16}, false, rng);
  const std::vector<float> q{1, 2, 3, 4}, short_q{1};
  EXPECT_TRUE(ix.knn_with_ef(q, 5, 10).empty());
  EXPECT_TRUE(ix.knn_pq(q, 5, 10, l2_pq).empty());
  EXPECT_TRUE(ix.knn_pq(q, 5, 10, cosine_pq).empty());    // before the distance check
  EXPECT_TRUE(ix.knn_pq(short_q, 5, 10, l2_pq).empty());  // and before the lookup
  EXPECT_EQ(failure_of([&] { (void)ix.greedy_search_until_level(0, q); }), "The index is empty.");
}

TEST(HNSWSearch, NodesWithoutEntryPointFail) {
  const VecSet<float> pq_rows = uniform_rows(64, 4, 3);
  const PQTable pq = pq_table_of(pq_rows, DistanceAlgorithm::L2Sqr, 2);
  HNSWIndex ix = empty_index(DistanceAlgorithm::L2Sqr, 4, 4);
  ix.push_init(pq_rows[0], 0);
  const std::vector<float> q{1, 2, 3, 4};
  EXPECT_EQ(failure_of([&] { (void)ix.knn_with_ef(q, 1, 1); }), "The index is empty.");
  EXPECT_EQ(failure_of([&] { (void)ix.knn_pq(q, 1, 1, pq); }), "The index is empty.");
  EXPECT_EQ(failure_of([&] { (void)ix.greedy_search_until_level(3, q); }), "The index is empty.");
}

TEST(HNSWSearch, DescentTargetAtOrAboveTheEntryLevelAnswersTheEntryPoint) {
  const HNSWIndex& ix = std_index(DistanceAlgorithm::L2Sqr);
  const std::vector<float> nan_query(kStdDim, kNaN);
  for (std::uint64_t t : {*ix.enter_level(), *ix.enter_level() + 1, std::uint64_t{1000}}) {
    EXPECT_EQ(ix.greedy_search_until_level(t, nan_query), *ix.enter_point());
    EXPECT_EQ(ix.greedy_search_until_level(t, std::vector<float>{}), *ix.enter_point());
  }
}

// Hand-made graphs: node 0 is the entry point; lists[L] is the node's level-L list.
struct HandNode {
  std::vector<float> v;
  std::uint64_t level;
  std::vector<Ids> lists;
};
HNSWIndex hand_graph(const std::vector<HandNode>& nodes,
                     DistanceAlgorithm d = DistanceAlgorithm::L2Sqr) {
  HNSWIndex ix = empty_index(d, 2, 4);
  for (const HandNode& n : nodes) ix.push_init(n.v, n.level);
  for (std::uint64_t i = 0; i < nodes.size(); ++i)
    for (std::uint64_t l = 0; l < nodes[i].lists.size(); ++l) ix.put_links(i, l, nodes[i].lists[l]);
  ix.TEST_set_entry(nodes[0].level, 0);
  return ix;
}

TEST(HNSWSearch, DescentOnHandMadeGraphs) {
  const std::vector<float> origin{0.0f, 0.0f};
  const std::vector<float> nan2{kNaN, kNaN};
  const struct {
    std::vector<HandNode> nodes;
    std::uint64_t target, expected;
  } cases[] = {
      // a NaN neighbour is never chosen
      {{{{5, 0}, 1, {{}, {1}}}, {nan2, 1, {{}, {0}}}}, 0, 0},
      // a NaN neighbour does not hide a nearer one
      {{{{5, 0}, 1, {{}, {1, 2}}}, {nan2, 1, {}}, {{1, 0}, 1, {}}}, 0, 2},
      // an equally distant neighbour does not move the descent
      {{{{5, 0}, 1, {{}, {1, 2}}}, {{0, 5}, 1, {}}, {{-5, 0}, 1, {}}}, 0, 0},
      // a pass takes the nearest of the whole list
      {{{{5, 0}, 1, {{}, {1, 2}}}, {{3, 0}, 1, {}}, {{1, 0}, 1, {}}}, 0, 2},
      // a later nearer neighbour still wins
      {{{{5, 0}, 1, {{}, {2, 1}}}, {{3, 0}, 1, {}}, {{1, 0}, 1, {}}}, 0, 2},
      // passes repeat while they move
      {{{{5, 0}, 1, {{}, {1}}}, {{3, 0}, 1, {{}, {2}}}, {{1, 0}, 1, {}}}, 0, 2},
      // a NaN entry point never moves
      {{{nan2, 1, {{}, {1}}}, {{1, 0}, 1, {}}}, 0, 0},
      // levels are walked down to target + 1
      {{{{5, 0}, 2, {{}, {}, {1}}}, {{3, 0}, 2, {{}, {2}, {}}}, {{1, 0}, 1, {}}}, 0, 2},
      // the descent stops above the target
      {{{{5, 0}, 2, {{}, {}, {1}}}, {{3, 0}, 2, {{}, {2}, {}}}, {{1, 0}, 1, {}}}, 1, 1},
      // a farther neighbour one level down does not move the descent
      {{{{3, 0}, 2, {{}, {1}, {}}}, {{4, 0}, 1, {}}}, 0, 0},
  };
  for (const auto& c : cases) {
    const HNSWIndex ix = hand_graph(c.nodes);
    EXPECT_EQ(ix.greedy_search_until_level(c.target, origin), c.expected) << "case " << &c - cases;
    EXPECT_EQ(ref_descend(ix, c.target, exact_scorer(ix, origin)), c.expected)
        << "case " << &c - cases;
  }
}

TEST(HNSWSearch, InconsistentLinksFail) {
  const std::vector<float> origin{0.0f, 0.0f};
  const std::string no_node = "index out of bounds: the len is 2 but the index is 5";
  const struct {
    const char* what;
    std::vector<HandNode> nodes;
    std::string message;
  } cases[] = {
      {"a level-0 id out of range", {{{5, 0}, 0, {{1, 5}}}, {{1, 0}, 0, {{0}}}}, no_node},
      {"an upper-level id out of range", {{{5, 0}, 1, {{1}, {5}}}, {{1, 0}, 0, {{0}}}}, no_node},
      {"an upper list naming a node below that level",
       {{{5, 0}, 1, {{1}, {1}}}, {{1, 0}, 0, {{0}}}},
       "Index out of bounds."},
  };
  for (const auto& c : cases) {
    const HNSWIndex ix = hand_graph(c.nodes);
    EXPECT_EQ(failure_of([&] { (void)ix.knn_with_ef(origin, 2, 2); }), c.message) << c.what;
  }
  HNSWIndex oversized = hand_graph({{{5, 0}, 0, {{1}}}, {{1, 0}, 0, {{0}}}});
  (void)failure_of([&] { oversized.put_links(0, 0, Ids(9, 1)); });
  EXPECT_EQ(failure_of([&] { (void)oversized.knn_with_ef(origin, 2, 2); }),
            "links_len[0][0] exceeds limit 8.");
}

TEST(HNSWSearch, NaNNodeRanksLastAndIsNeverTheDescentChoice) {
  {  // hand-made level 0: every node linked to every other
    const HNSWIndex ix = hand_graph({{{5, 0}, 0, {{1, 2, 3}}},
                                     {{kNaN, 1}, 0, {{0, 2, 3}}},
                                     {{1, 1}, 0, {{0, 1, 3}}},
                                     {{9, 9}, 0, {{0, 1, 2}}}});
    const std::vector<CandidatePair> r = ix.knn_with_ef(std::vector<float>{0, 0}, 4, 4);
    ASSERT_EQ(ids_of(r), (Ids{2, 0, 3, 1}));
    EXPECT_TRUE(std::isnan(r[3].distance));
  }
  VecSet<float> rows = uniform_rows(400, 6, 17);
  for (std::uint64_t bad : {7, 150}) rows.row_mut(bad)[2] = kNaN;
  for (DistanceAlgorithm d : kKinds) {
    const HNSWIndex ix = build(rows, d, 6, 0, 2);
    ASSERT_NE(*ix.enter_point(), 7u);
    ASSERT_NE(*ix.enter_point(), 150u);
    std::mt19937 gen(3);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int i = 0; i < 50; ++i) {
      std::vector<float> q(6);
      for (float& x : q) x = u(gen);
      const std::uint64_t s = ix.greedy_search_until_level(0, q);
      EXPECT_FALSE(std::isnan(exact_scorer(ix, q)(s))) << name(d);
      const std::vector<CandidatePair> r = ix.knn_with_ef(q, 400, 400);
      const auto is_nan = [](const CandidatePair& p) { return std::isnan(p.distance); };
      EXPECT_TRUE(std::all_of(std::ranges::find_if(r, is_nan), r.end(), is_nan));
      EXPECT_TRUE(strictly_ascending(r));
    }
  }
}

TEST(HNSWSearch, EqualDistancesAreOrderedById) {
  VecSet<float> rows = uniform_rows(300, 8, 23);
  const std::vector<float> dup(rows[120].begin(), rows[120].end());
  for (std::uint64_t i : {299, 40, 200}) rows.put(i, dup);
  for (DistanceAlgorithm d : kKinds) {
    const HNSWIndex ix = build(rows, d, 8, 0, 3);
    const std::vector<CandidatePair> r = ix.knn_with_ef(dup, 6, 50);
    ASSERT_GE(r.size(), 4u);
    EXPECT_EQ(ids_of(std::span(r).first(4)), (Ids{40, 120, 200, 299})) << name(d);
    for (std::size_t i = 1; i < 4; ++i) EXPECT_TRUE(same_bits(r[i].distance, r[0].distance));
    if (d == DistanceAlgorithm::L2Sqr) {
      EXPECT_TRUE(same_bits(r[0].distance, 0.0f));
    }
    EXPECT_TRUE(strictly_ascending(r));
  }
}

TEST(HNSWSearch, SmallIndexAnswersEveryNodeWhenKIsLarger) {
  for (DistanceAlgorithm d : kKinds) {
    const HNSWIndex ix = build(uniform_rows(20, 4, 9), d, 4, 0, 5);
    const std::vector<float> q{0.1f, 0.2f, -0.3f, 0.4f};
    const std::vector<CandidatePair> r = ix.knn_with_ef(q, 50, 0);
    EXPECT_EQ(r.size(), 20u);
    EXPECT_TRUE(strictly_ascending(r));
    EXPECT_TRUE(same_pairs(r, ref_knn(ix, q, 50, 0)));
  }
}

TEST(HNSWSearch, SearchOnLevelMatchesTheReference) {
  const std::vector<std::vector<float>> queries = std_queries(40);
  for (DistanceAlgorithm d : kKinds) {
    const HNSWIndex& ix = std_index(d);
    for (std::uint64_t level = 0; level <= *ix.enter_level(); ++level) {
      std::vector<std::uint64_t> starts;
      for (std::uint64_t n = 0; n < ix.len(); n += 1 + ix.len() / 7)
        if (ix.level(n) >= level) starts.push_back(n);
      starts.push_back(*ix.enter_point());
      for (std::uint64_t width : {1, 7, 32, 150})
        for (std::size_t qi = 0; qi < queries.size(); qi += 1 + level * 4) {
          const std::uint64_t s = starts[qi % starts.size()];
          const ResultSet got = ix.search_on_level(s, level, width, queries[qi]);
          EXPECT_EQ(got.capacity(), width);
          const ResultSet expected = ref_search(ix, s, level, width, exact_scorer(ix, queries[qi]));
          ASSERT_TRUE(same_pairs(got.members(), expected.members()))
              << name(d) << " level " << level << " width " << width << " start " << s << " query "
              << qi;
        }
    }
  }
}

TEST(HNSWSearch, DescentAndKnnMatchTheReference) {
  const std::vector<std::vector<float>> queries = std_queries(60);
  const std::pair<std::uint64_t, std::uint64_t> k_ef[] = {{1, 1},   {10, 1},  {10, 10}, {10, 100},
                                                          {50, 20}, {3, 250}, {0, 5}};
  for (DistanceAlgorithm d : kKinds) {
    const HNSWIndex& ix = std_index(d);
    for (std::size_t qi = 0; qi < queries.size(); ++qi) {
      const auto& q = queries[qi];
      for (std::uint64_t t = 0; t <= *ix.enter_level(); ++t)
        ASSERT_EQ(ix.greedy_search_until_level(t, q), ref_descend(ix, t, exact_scorer(ix, q)))
            << name(d) << " target " << t << " query " << qi;
      for (auto [k, ef] : k_ef) {
        const std::vector<CandidatePair> r = ix.knn_with_ef(q, k, ef);
        ASSERT_TRUE(same_pairs(r, ref_knn(ix, q, k, ef))) << name(d) << " k " << k << " ef " << ef;
        ASSERT_EQ(r.size(), k);
        ASSERT_TRUE(strictly_ascending(r));
      }
      // A width below k is k.
      ASSERT_TRUE(same_pairs(ix.knn_with_ef(q, 30, 2), ix.knn_with_ef(q, 30, 30)));
    }
    // Width 0 (k 0 and ef 0) answers nothing.
    EXPECT_TRUE(ix.knn_with_ef(queries[0], 0, 0).empty());
  }
}

TEST(HNSWSearch, QueriesOfAnotherLength) {
  const std::vector<std::vector<float>> queries = std_queries(10);
  for (DistanceAlgorithm d : kKinds) {
    const HNSWIndex& ix = std_index(d);
    const PQTable& pq = std_pq(d);
    for (std::size_t len : {std::size_t{1}, kStdDim - 5, kStdDim + 3}) {
      for (const auto& full : queries) {
        std::vector<float> q(full.begin(), full.begin() + std::min(len, kStdDim));
        q.resize(len, 0.75f);
        const std::vector<CandidatePair> r = ix.knn_with_ef(q, 10, 40);
        ASSERT_EQ(r.size(), 10u);
        ASSERT_TRUE(same_pairs(r, ref_knn(ix, q, 10, 40))) << name(d) << " length " << len;
      }
      const std::vector<float> q(len, 0.5f);
      EXPECT_EQ(failure_of([&] { (void)ix.knn_pq(q, 10, 40, pq); }),
                "assertion `left == right` failed\n  left: " + std::to_string(len) +
                    "\n right: " + std::to_string(kStdDim));
    }
  }
}

TEST(HNSWSearch, KnnPqRefusesAPQTableOfAnotherDistance) {
  const std::vector<float> q = std_queries(1)[0], short_q{1.0f};
  const HNSWIndex& l2 = std_index(DistanceAlgorithm::L2Sqr);
  const HNSWIndex& cosine = std_index(DistanceAlgorithm::Cosine);
  const std::string l2_first =
      "assertion `left == right` failed: Distance algorithm mismatch.\n  left: L2Sqr\n right: "
      "Cosine";
  EXPECT_EQ(failure_of([&] { (void)l2.knn_pq(q, 5, 10, std_pq(DistanceAlgorithm::Cosine)); }),
            l2_first);
  EXPECT_EQ(failure_of([&] { (void)cosine.knn_pq(q, 5, 10, std_pq(DistanceAlgorithm::L2Sqr)); }),
            "assertion `left == right` failed: Distance algorithm mismatch.\n  left: Cosine\n "
            "right: L2Sqr");
  // The distance check comes before the query's length is looked at.
  EXPECT_EQ(failure_of([&] { (void)l2.knn_pq(short_q, 5, 10, std_pq(DistanceAlgorithm::Cosine)); }),
            l2_first);
}

TEST(HNSWSearch, KnnPqAnswersExactDistancesNearestFirst) {
  const std::vector<std::vector<float>> queries = std_queries(40);
  const std::pair<std::uint64_t, std::uint64_t> k_ef[] = {{1, 1}, {10, 5}, {10, 64}, {40, 100}};
  for (DistanceAlgorithm d : kKinds) {
    const HNSWIndex& ix = std_index(d);
    const PQTable& pq = std_pq(d);
    double hits = 0;
    for (const auto& q : queries) {
      auto exact = exact_scorer(ix, q);
      for (auto [k, ef] : k_ef) {
        const std::vector<CandidatePair> r = ix.knn_pq(q, k, ef, pq);
        ASSERT_EQ(r.size(), k);
        ASSERT_TRUE(strictly_ascending(r));
        for (const CandidatePair& p : r) ASSERT_TRUE(same_bits(p.distance, exact(p.index)));
        ASSERT_TRUE(same_pairs(r, ref_knn_pq(ix, q, k, ef, pq)))
            << name(d) << " k " << k << " ef " << ef;
      }
      // The quantized walk with re-ranking finds most of the exact search's answers.
      const Ids pq_ids = ids_of(ix.knn_pq(q, 10, 100, pq)),
                exact_ids = ids_of(ix.knn_with_ef(q, 10, 100));
      for (std::uint32_t id : pq_ids) hits += std::ranges::count(exact_ids, id);
    }
    EXPECT_GE(hits / (10.0 * queries.size()), 0.5) << name(d);
  }
}

TEST(HNSWRecall, DefaultWidthFindsTheExactNeighbours) {
  const std::vector<std::vector<float>> queries = std_queries(200);
  for (DistanceAlgorithm d : kKinds) {
    const HNSWIndex& ix = std_index(d);
    ASSERT_EQ(ix.config().ef_search, 100u);
    const FlatIndex flat(d, std_data());
    std::vector<Ids> exact;
    for (const auto& q : queries) exact.push_back(ids_of(flat.knn(q, 10)));
    // The default width, and the narrowest one (width k), which shows a weak graph sooner.
    for (auto [ef, floor] :
         {std::pair<std::uint64_t, double>{ix.config().ef_search, 0.95}, {10, 0.85}}) {
      std::size_t hits = 0;
      for (std::size_t i = 0; i < queries.size(); ++i)
        for (std::uint32_t id : ids_of(ix.knn_with_ef(queries[i], 10, ef)))
          hits += std::ranges::count(exact[i], id);
      EXPECT_GE(static_cast<double>(hits) / (10.0 * queries.size()), floor)
          << name(d) << " ef " << ef;
    }
  }
}

}  // namespace
}  // namespace quillmere
