#include "database/metadata_vec_table.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/failure.hpp"
#include "database/dynamic_index.hpp"
#include "distance/distance_algorithm.hpp"
#include "distance/pq_table.hpp"
#include "index_algorithm/candidate_pair.hpp"
#include "test_support.hpp"

namespace quillmere {
namespace {

using testing_support::random_rows;

using testing_support::failure_of;
using testing_support::fixed_rng;
using testing_support::kNoFailure;

constexpr DistanceAlgorithm kKinds[] = {DistanceAlgorithm::L2Sqr, DistanceAlgorithm::Cosine};
const float kNaN = std::numeric_limits<float>::quiet_NaN();
using Rows = std::vector<std::vector<float>>;

MetadataVecTable make_table(std::uint64_t dim, DistanceAlgorithm dist = DistanceAlgorithm::L2Sqr) {
  Result<MetadataVecTable> t = MetadataVecTable::create(dim, dist);
  EXPECT_TRUE(t.has_value());
  t->rng = fixed_rng(7);  // reproducible graphs and PQ tables
  return std::move(*t);
}

Metadata row_meta(std::size_t i) { return {{"id", std::to_string(i)}}; }

// A table of `n` random rows, row i with metadata {id: i}.
MetadataVecTable filled_table(std::size_t n, std::size_t dim,
                              DistanceAlgorithm dist = DistanceAlgorithm::L2Sqr,
                              unsigned seed = 1) {
  MetadataVecTable t = make_table(dim, dist);
  const Rows rows = random_rows(n, dim, seed);
  for (std::size_t i = 0; i < n; ++i) t.add(rows[i], row_meta(i));
  return t;
}

std::vector<std::span<const float>> spans_of(const Rows& rows) {
  return {rows.begin(), rows.end()};
}

std::vector<float> row_of(const MetadataVecTable& t, std::uint64_t r) {
  const std::span<const float> s = t.inner.vec_set()[r];
  return {s.begin(), s.end()};
}

// The answer the table should give for an index answer: metadata of each row, its distance.
std::vector<std::pair<Metadata, float>> expected_answer(const MetadataVecTable& t,
                                                        const std::vector<CandidatePair>& found) {
  std::vector<std::pair<Metadata, float>> out;
  for (const CandidatePair& c : found)
    if (c.distance <= std::numeric_limits<float>::infinity())
      out.emplace_back(t.metadata[c.index], c.distance);
  return out;
}

bool same_answers(const std::vector<std::pair<Metadata, float>>& a,
                  const std::vector<std::pair<Metadata, float>>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].first != b[i].first || !testing_support::same_bits(a[i].second, b[i].second))
      return false;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Creation

TEST(MetadataVecTableCreate, NewTableIsEmptyFlatWithoutPq) {
  for (DistanceAlgorithm dist : kKinds) {
    const Result<MetadataVecTable> t = MetadataVecTable::create(3, dist);
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(t->len(), 0u);
    EXPECT_EQ(t->dim(), 3u);
    EXPECT_EQ(t->dist(), dist);
    EXPECT_FALSE(t->has_hnsw_index());
    EXPECT_NE(t->inner.flat(), nullptr);
    EXPECT_FALSE(t->has_pq_table());
    EXPECT_TRUE(t->metadata.empty());
    EXPECT_TRUE(t->extract_data().empty());
  }
}

TEST(MetadataVecTableCreate, DimensionZeroIsAnErrorValue) {
  const Result<MetadataVecTable> t = MetadataVecTable::create(0, DistanceAlgorithm::L2Sqr);
  ASSERT_FALSE(t.has_value());
  EXPECT_EQ(t.error().message, "Dimension must be greater than 0");
  // The table layer stays usable afterwards.
  EXPECT_TRUE(MetadataVecTable::create(1, DistanceAlgorithm::Cosine).has_value());
}

// ---------------------------------------------------------------------------------------------
// Adding rows

TEST(MetadataVecTableAdd, RowsAndMetadataStayInStep) {
  MetadataVecTable t = make_table(2);
  t.add(std::vector<float>{1, 2}, {{"a", "1"}});
  const Rows more = {{3, 4}, {5, 6}};
  t.batch_add(spans_of(more), {{{"b", "2"}}, {}});
  const auto data = t.extract_data();
  ASSERT_EQ(data.size(), 3u);
  EXPECT_EQ(data[0].first, (std::vector<float>{1, 2}));
  EXPECT_EQ(data[0].second, (Metadata{{"a", "1"}}));
  EXPECT_EQ(data[1].first, (std::vector<float>{3, 4}));
  EXPECT_EQ(data[1].second, (Metadata{{"b", "2"}}));
  EXPECT_EQ(data[2].first, (std::vector<float>{5, 6}));
  EXPECT_TRUE(data[2].second.empty());
}

// Room is made before every add, and it must be made by doubling: a reservation of exactly
// the rows added copies every row and metadata map on every call (n single adds took O(n^2)).
TEST(MetadataVecTableAdd, RoomIsMadeByDoubling) {
  for (bool hnsw : {false, true}) {
    // Above 1000 nodes, graph batches insert in parallel and make room for the batch first.
    MetadataVecTable t = filled_table(hnsw ? 1100 : 0, 4);
    if (hnsw) t.build_hnsw_index(std::nullopt);
    const Rows rows = random_rows(41, 4, 5);
    std::size_t row_cap = t.inner.vec_set().data().capacity(), meta_cap = t.metadata.capacity();
    int row_growths = 0, meta_growths = 0;
    // Each round a batch of 40 and, on the flat table, a single add (the graph grows its own
    // arrays node by node when it adds one).
    for (int round = 0; round < 60; ++round) {
      if (!hnsw) t.add(rows[0], row_meta(0));
      t.batch_add(spans_of(Rows(rows.begin() + 1, rows.end())), std::vector<Metadata>(40));
      row_growths += std::exchange(row_cap, t.inner.vec_set().data().capacity()) != row_cap;
      meta_growths += std::exchange(meta_cap, t.metadata.capacity()) != meta_cap;
    }
    EXPECT_EQ(t.len(), hnsw ? 1100u + 60 * 40 : 60u * 41);
    EXPECT_LE(row_growths, 12) << (hnsw ? "hnsw" : "flat");
    EXPECT_LE(meta_growths, 12) << (hnsw ? "hnsw" : "flat");
  }
}

TEST(MetadataVecTableAdd, AddAndBatchAddDiscardThePqTable) {
  for (bool hnsw : {false, true}) {
    SCOPED_TRACE(hnsw ? "hnsw" : "flat");
    MetadataVecTable t = filled_table(40, 4);
    if (hnsw) t.build_hnsw_index(std::nullopt);

    ASSERT_TRUE(t.build_pq_table(std::nullopt, std::nullopt, std::nullopt).has_value());
    t.add(std::vector<float>{0, 0, 0, 0}, {});
    EXPECT_FALSE(t.has_pq_table());
    EXPECT_EQ(t.has_hnsw_index(), hnsw);
    EXPECT_EQ(t.len(), 41u);

    ASSERT_TRUE(t.build_pq_table(std::nullopt, std::nullopt, std::nullopt).has_value());
    t.batch_add({}, {});
    EXPECT_FALSE(t.has_pq_table());
    EXPECT_EQ(t.len(), 41u);

    ASSERT_TRUE(t.build_pq_table(std::nullopt, std::nullopt, std::nullopt).has_value());
    const Rows two = random_rows(2, 4, 9);
    t.batch_add(spans_of(two), {{}, {}});
    EXPECT_FALSE(t.has_pq_table());
    EXPECT_EQ(t.has_hnsw_index(), hnsw);
    EXPECT_EQ(t.len(), 43u);
    EXPECT_EQ(t.metadata.size(), 43u);
    EXPECT_EQ(row_of(t, 42), two[1]);
    if (hnsw) {
      EXPECT_EQ(t.inner.hnsw()->len(), 43u);  // the graph took the rows
    }
  }
}

TEST(MetadataVecTableAdd, WrongLengthsFailAndLeaveTheTableUnchanged) {
  const std::string wrong_len = "assertion `left == right` failed\n  left: 4\n right: 3";
  for (bool hnsw : {false, true}) {
    SCOPED_TRACE(hnsw ? "hnsw" : "flat");
    MetadataVecTable t = filled_table(30, 3);
    if (hnsw) t.build_hnsw_index(std::nullopt);
    ASSERT_TRUE(t.build_pq_table(std::nullopt, std::nullopt, std::nullopt).has_value());
    const auto before = t.extract_data();
    const PQTable pq_before = *t.pq_table;

    auto unchanged = [&] {
      EXPECT_EQ(t.len(), 30u);
      EXPECT_EQ(t.metadata.size(), 30u);
      EXPECT_EQ(t.extract_data(), before);
      ASSERT_TRUE(t.has_pq_table());
      EXPECT_EQ(*t.pq_table, pq_before);
      EXPECT_EQ(t.has_hnsw_index(), hnsw);
      if (hnsw) {
        EXPECT_EQ(t.inner.hnsw()->len(), 30u);
      }
    };

    EXPECT_EQ(failure_of([&] { t.add(std::vector<float>{1, 2, 3, 4}, {{"x", "y"}}); }), wrong_len);
    unchanged();
    EXPECT_NE(failure_of([&] { t.add(std::vector<float>{}, {}); }), kNoFailure);
    unchanged();

    const Rows good = random_rows(2, 3, 4);
    EXPECT_EQ(failure_of([&] { t.batch_add(spans_of(good), {{}}); }),
              "assertion `left == right` failed\n  left: 2\n right: 1");
    unchanged();
    EXPECT_NE(failure_of([&] { t.batch_add({}, {{}}); }), kNoFailure);
    unchanged();

    const Rows mixed = {{1, 2, 3}, {1, 2, 3, 4}, {4, 5, 6}};
    EXPECT_EQ(failure_of([&] { t.batch_add(spans_of(mixed), {{}, {}, {}}); }), wrong_len);
    unchanged();
  }
}

// ---------------------------------------------------------------------------------------------
// Switching the index

TEST(MetadataVecTableIndex, BuildAndClearHnswKeepRowsAndPqTable) {
  for (DistanceAlgorithm dist : kKinds) {
    MetadataVecTable t = filled_table(300, 5, dist);
    ASSERT_TRUE(t.build_pq_table(std::nullopt, std::nullopt, std::nullopt).has_value());
    const PQTable pq = *t.pq_table;
    const VecSet<float> rows = t.inner.vec_set();

    t.build_hnsw_index(std::nullopt);
    ASSERT_TRUE(t.has_hnsw_index());
    const HNSWIndex& h = *t.inner.hnsw();
    EXPECT_EQ(h.vec_set(), rows);
    EXPECT_EQ(h.len(), 300u);
    EXPECT_EQ(h.config().dist, dist);
    EXPECT_EQ(h.config().max_elements, 300u);
    EXPECT_EQ(h.config().max_links, 16u);
    EXPECT_EQ(h.config().max_links_level0, 32u);
    EXPECT_EQ(h.config().ef_construction, 200u);
    EXPECT_EQ(t.dist(), dist);
    ASSERT_TRUE(t.has_pq_table());
    EXPECT_EQ(*t.pq_table, pq);

    t.clear_hnsw_index();
    ASSERT_FALSE(t.has_hnsw_index());
    EXPECT_EQ(t.inner.flat()->vec_set(), rows);
    EXPECT_EQ(t.inner.flat()->dist(), dist);
    ASSERT_TRUE(t.has_pq_table());
    EXPECT_EQ(*t.pq_table, pq);

    t.clear_hnsw_index();  // flat stays flat
    EXPECT_FALSE(t.has_hnsw_index());
    EXPECT_EQ(t.inner.flat()->vec_set(), rows);
    EXPECT_TRUE(t.has_pq_table());
  }
}

TEST(MetadataVecTableIndex, BuildWidthIsUsedAndASecondBuildChangesNothing) {
  MetadataVecTable t = filled_table(200, 3);
  t.build_hnsw_index(64);
  const HNSWIndex& h = *t.inner.hnsw();
  EXPECT_EQ(h.config().ef_construction, 64u);
  EXPECT_EQ(h.config().ef_search, 32u);
  const HNSWInnerConfig config = h.config();
  const PodVec<std::uint64_t> levels = h.levels();
  std::vector<std::uint64_t> counts;
  for (std::uint64_t n = 0; n < h.len(); ++n) counts.push_back(h.stored_links_len(n, 0));

  t.build_hnsw_index(500);
  const HNSWIndex& again = *t.inner.hnsw();
  EXPECT_EQ(&again, &h);  // the same index object, untouched
  EXPECT_EQ(again.config(), config);
  EXPECT_EQ(again.levels(), levels);
  for (std::uint64_t n = 0; n < again.len(); ++n)
    EXPECT_EQ(again.stored_links_len(n, 0), counts[n]);

  // Clearing then building again makes a new graph over the same rows.
  t.clear_hnsw_index();
  t.build_hnsw_index(500);
  EXPECT_EQ(t.inner.hnsw()->config().ef_construction, 500u);
  EXPECT_EQ(t.inner.hnsw()->vec_set(), t.inner.vec_set());
  EXPECT_EQ(t.len(), 200u);
}

TEST(MetadataVecTableIndex, BuildOnAnEmptyTable) {
  MetadataVecTable t = make_table(4, DistanceAlgorithm::Cosine);
  t.build_hnsw_index(std::nullopt);
  ASSERT_TRUE(t.has_hnsw_index());
  EXPECT_EQ(t.len(), 0u);
  EXPECT_FALSE(t.inner.hnsw()->enter_point().has_value());
  EXPECT_TRUE(t.search(std::vector<float>{1, 0, 0, 0}, 3, std::nullopt, std::nullopt).empty());
  t.add(std::vector<float>{1, 0, 0, 0}, {{"k", "v"}});
  const auto found = t.search(std::vector<float>{1, 0, 0, 0}, 3, std::nullopt, std::nullopt);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].first, (Metadata{{"k", "v"}}));
}

// ---------------------------------------------------------------------------------------------
// PQ table

TEST(MetadataVecTablePq, ErrorsInCheckOrder) {
  struct Case {
    std::uint64_t rows;
    std::optional<float> p;
    std::optional<std::uint64_t> n_bits, m;
    const char* message;
  };
  const Case cases[] = {
      {0, kNaN, 6, 0, "Cannot build PQ table for an empty table"},
      {0, std::nullopt, std::nullopt, std::nullopt, "Cannot build PQ table for an empty table"},
      {10, 1.0f, 6, 0, "Train proportion must be in (0, 1)"},
      {10, 0.0f, std::nullopt, std::nullopt, "Train proportion must be in (0, 1)"},
      {10, kNaN, std::nullopt, std::nullopt, "Train proportion must be in (0, 1)"},
      {10, -0.5f, std::nullopt, std::nullopt, "Train proportion must be in (0, 1)"},
      {10, 1.5f, std::nullopt, std::nullopt, "Train proportion must be in (0, 1)"},
      {10, std::nullopt, 6, 0, "n_bits must be 4 or 8"},
      {10, 0.5f, 0, std::nullopt, "n_bits must be 4 or 8"},
      {10, std::nullopt, 16, std::nullopt, "n_bits must be 4 or 8"},
      {10, std::nullopt, std::nullopt, 0, "m must be in 1..=dim"},
      {10, std::nullopt, 8, 5, "m must be in 1..=dim"},
      {10, std::nullopt, 4, std::numeric_limits<std::uint64_t>::max(), "m must be in 1..=dim"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    MetadataVecTable t = filled_table(c.rows, 4);
    const Result<void> r = t.build_pq_table(c.p, c.n_bits, c.m);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message, c.message);
    EXPECT_FALSE(t.has_pq_table());
    EXPECT_EQ(t.len(), c.rows);
  }
}

TEST(MetadataVecTablePq, PresentTableSucceedsWithoutLookingAtArguments) {
  MetadataVecTable t = filled_table(50, 4);
  ASSERT_TRUE(t.build_pq_table(std::nullopt, std::nullopt, std::nullopt).has_value());
  const PQTable before = *t.pq_table;
  EXPECT_TRUE(t.build_pq_table(kNaN, 6, 0).has_value());
  EXPECT_TRUE(t.build_pq_table(0.5f, 8, 4).has_value());
  ASSERT_TRUE(t.has_pq_table());
  EXPECT_EQ(*t.pq_table, before);
  t.clear_pq_table();
  EXPECT_FALSE(t.has_pq_table());
  EXPECT_EQ(t.len(), 50u);
}

TEST(MetadataVecTablePq, ConfigurationFromTheArguments) {
  struct Case {
    std::uint64_t rows, dim;
    std::optional<float> p;
    std::optional<std::uint64_t> n_bits, m;
    std::uint64_t train_size, want_m, want_k;
  };
  const Case cases[] = {
      {10, 4, std::nullopt, std::nullopt, std::nullopt, 1, 2, 16},
      {1000, 4, std::nullopt, std::nullopt, std::nullopt, 100, 2, 16},
      {5, 4, 0.5f, std::nullopt, std::nullopt, 2, 2, 16},
      {1, 4, 0.001f, std::nullopt, std::nullopt, 1, 2, 16},
      {20, 1, std::nullopt, std::nullopt, std::nullopt, 2, 1, 16},
      {20, 2, std::nullopt, std::nullopt, std::nullopt, 2, 1, 16},
      {20, 3, std::nullopt, std::nullopt, std::nullopt, 2, 1, 16},
      {20, 10, std::nullopt, std::nullopt, std::nullopt, 2, 4, 16},
      {20, 5, 0.99f, 4, 5, 19, 5, 16},
      {300, 6, 0.9f, 8, 3, 270, 3, 256},
      {30, 3, std::nullopt, 8, 1, 3, 1, 256},
  };
  for (DistanceAlgorithm dist : kKinds) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(c.rows) + " rows of dim " + std::to_string(c.dim));
      MetadataVecTable t = filled_table(c.rows, c.dim, dist);
      t.build_hnsw_index(std::nullopt);  // the PQ table is built over either index's rows
      ASSERT_TRUE(t.build_pq_table(c.p, c.n_bits, c.m).has_value());
      ASSERT_TRUE(t.has_pq_table());
      const PQTable& pq = *t.pq_table;
      EXPECT_EQ(pq.config().train_size, c.train_size);
      EXPECT_EQ(pq.config().m, c.want_m);
      EXPECT_EQ(pq.config().n_bits, c.want_k == 256 ? 8u : 4u);
      EXPECT_EQ(pq.config().dist, dist);
      EXPECT_EQ(pq.config().max_iter, 20u);
      EXPECT_EQ(pq.config().tol, 1e-6f);
      EXPECT_EQ(pq.k(), c.want_k);
      EXPECT_EQ(pq.dim(), c.dim);
      EXPECT_EQ(pq.encoded_vec_set().len(), c.rows);
      ASSERT_EQ(pq.kmeans().size(), c.want_m);
      for (const KMeans& model : pq.kmeans()) EXPECT_EQ(model.centroids.len(), c.want_k);
      EXPECT_TRUE(t.has_hnsw_index());
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Deleting rows

// Rows a..e (vector i = (i, -i)); `tagged` rows get tag = x as well.
MetadataVecTable lettered_table(const std::string& tagged) {
  MetadataVecTable t = make_table(2);
  for (int i = 0; i < 5; ++i) {
    const std::string name(1, static_cast<char>('a' + i));
    Metadata m{{"name", name}};
    if (tagged.find(name) != std::string::npos) m["tag"] = "x";
    t.add(std::vector<float>{static_cast<float>(i), static_cast<float>(-i)}, m);
  }
  return t;
}

std::string names_of(const MetadataVecTable& t) {
  std::string out;
  for (const auto& [vec, meta] : t.extract_data()) {
    const std::string& name = meta.at("name");
    out += name;
    const float i = static_cast<float>(name[0] - 'a');
    EXPECT_EQ(vec, (std::vector<float>{i, -i})) << "row " << name << " lost its vector";
  }
  return out;
}

TEST(MetadataVecTableDelete, SwapRemovalFromTheLargestRowDown) {
  struct Case {
    const char* tagged;
    const char* left;
  };
  const Case cases[] = {{"bd", "aec"}, {"", "abcde"}, {"a", "ebcd"}, {"e", "abcd"},
                        {"abcde", ""}, {"ae", "dbc"}, {"abc", "ed"}, {"cde", "ab"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tagged);
    MetadataVecTable t = lettered_table(c.tagged);
    EXPECT_EQ(t.delete_rows({{"tag", "x"}}), std::string(c.tagged).size());
    EXPECT_EQ(names_of(t), c.left);
    EXPECT_EQ(t.len(), t.metadata.size());
  }
}

TEST(MetadataVecTableDelete, EmptyPatternRemovesEveryRow) {
  MetadataVecTable t = lettered_table("b");
  EXPECT_EQ(t.delete_rows({}), 5u);
  EXPECT_EQ(t.len(), 0u);
  EXPECT_TRUE(t.metadata.empty());
  EXPECT_EQ(t.delete_rows({}), 0u);
}

TEST(MetadataVecTableDelete, RowMatchesWhenItHoldsEveryPatternEntry) {
  MetadataVecTable t = make_table(1);
  const std::vector<Metadata> metas = {
      {{"a", "1"}},              // 0 match
      {{"a", "1"}, {"b", "2"}},  // 1 match (other keys are fine)
      {{"a", "2"}},              // 2 other value
      {{"b", "1"}},              // 3 key absent
      {},                        // 4 nothing
      {{"a", "1 "}},             // 5 not byte-equal
      {{"A", "1"}},              // 6 key differs in case
      {{"a", ""}},               // 7 empty value
  };
  for (std::size_t i = 0; i < metas.size(); ++i)
    t.add(std::vector<float>{static_cast<float>(i)}, metas[i]);
  EXPECT_EQ(t.delete_rows({{"a", "1"}}), 2u);
  // Rows 0 and 1 removed from the top: 1 <- 7, then 0 <- 6.
  const auto data = t.extract_data();
  ASSERT_EQ(data.size(), 6u);
  const std::vector<float> order = {6, 7, 2, 3, 4, 5};
  for (std::size_t i = 0; i < data.size(); ++i) {
    EXPECT_EQ(data[i].first, std::vector<float>{order[i]});
    EXPECT_EQ(data[i].second, metas[static_cast<std::size_t>(order[i])]);
  }
  EXPECT_EQ(t.delete_rows({{"a", "1"}, {"b", "2"}}), 0u);
  EXPECT_EQ(t.delete_rows({{"a", ""}}), 1u);
  EXPECT_EQ(t.len(), 5u);
}

TEST(MetadataVecTableDelete, AlwaysLeavesAFlatIndexWithoutPqTable) {
  for (const Metadata& pattern : {Metadata{{"id", "nope"}}, Metadata{{"id", "3"}}}) {
    MetadataVecTable t = filled_table(100, 4);
    t.build_hnsw_index(std::nullopt);
    ASSERT_TRUE(t.build_pq_table(std::nullopt, std::nullopt, std::nullopt).has_value());
    const auto before = t.extract_data();
    const std::uint64_t removed = t.delete_rows(pattern);
    EXPECT_FALSE(t.has_hnsw_index());
    EXPECT_FALSE(t.has_pq_table());
    if (pattern.at("id") == "nope") {
      EXPECT_EQ(removed, 0u);
      EXPECT_EQ(t.extract_data(), before);
    } else {
      EXPECT_EQ(removed, 1u);
      const auto after = t.extract_data();
      ASSERT_EQ(after.size(), 99u);
      EXPECT_EQ(after[3], before[99]);
    }
  }
}

TEST(MetadataVecTableDelete, MetadataWithoutVectorRowIsAnInternalFailure) {
  MetadataVecTable t = make_table(1);
  t.add(std::vector<float>{1}, {{"k", "v"}});
  t.metadata.push_back({{"k", "v"}});  // as only a damaged table could be
  EXPECT_NE(failure_of([&] { t.delete_rows({{"k", "v"}}); }), kNoFailure);
}

// ---------------------------------------------------------------------------------------------
// Search

TEST(MetadataVecTableSearch, IndexChoice) {
  const Rows queries = random_rows(25, 8, 99);
  for (DistanceAlgorithm dist : kKinds) {
    for (bool hnsw : {false, true}) {
      SCOPED_TRACE(std::string(name(dist)) + (hnsw ? " hnsw" : " flat"));
      MetadataVecTable t = filled_table(600, 8, dist);
      if (hnsw) {
        t.build_hnsw_index(std::nullopt);
        t.inner.hnsw()->TEST_set_ef_search(3);  // a narrow default width, so it shows
      }
      const HNSWIndex* h = t.inner.hnsw();
      const FlatIndex* f = t.inner.flat();
      const std::uint64_t k = 10, ef = 12;
      bool pq_differs = false, default_width_differs = false;

      for (const auto& q : queries) {
        // No PQ table: without ef the default width (HNSW) or the exact scan.
        const auto exact = hnsw ? h->knn_with_ef(q, k, 3) : f->knn(q, k);
        EXPECT_TRUE(
            same_answers(t.search(q, k, std::nullopt, std::nullopt), expected_answer(t, exact)));
        const auto with_ef = hnsw ? h->knn_with_ef(q, k, ef) : f->knn(q, k);
        EXPECT_TRUE(same_answers(t.search(q, k, ef, std::nullopt), expected_answer(t, with_ef)));
        if (hnsw && h->knn_with_ef(q, k, 200) != exact) default_width_differs = true;
      }
      ASSERT_TRUE(t.build_pq_table(std::nullopt, 4, 1).has_value());  // a coarse quantizer
      for (const auto& q : queries) {
        const auto no_ef = hnsw ? h->knn_with_ef(q, k, 3) : f->knn(q, k);
        EXPECT_TRUE(
            same_answers(t.search(q, k, std::nullopt, std::nullopt), expected_answer(t, no_ef)));
        const auto pq = hnsw ? h->knn_pq(q, k, ef, *t.pq_table) : f->knn_pq(q, k, ef, *t.pq_table);
        EXPECT_TRUE(same_answers(t.search(q, k, ef, std::nullopt), expected_answer(t, pq)));
        if (pq != no_ef) pq_differs = true;
      }
      EXPECT_TRUE(pq_differs);  // the cases are told apart by these data
      if (hnsw) {
        EXPECT_TRUE(default_width_differs);
      }
    }
  }
}

TEST(MetadataVecTableSearch, FlatWithoutPqIgnoresEf) {
  MetadataVecTable t = filled_table(200, 3, DistanceAlgorithm::Cosine);
  const Rows queries = random_rows(5, 3, 5);
  for (const auto& q : queries) {
    const auto plain = t.search(q, 7, std::nullopt, std::nullopt);
    EXPECT_EQ(plain.size(), 7u);
    for (std::uint64_t ef : {0u, 1u, 7u, 1000u})
      EXPECT_TRUE(same_answers(t.search(q, 7, ef, std::nullopt), plain));
  }
}

TEST(MetadataVecTableSearch, KZeroAnswersNothing) {
  for (bool hnsw : {false, true}) {
    MetadataVecTable t = filled_table(50, 4);
    if (hnsw) t.build_hnsw_index(std::nullopt);
    const std::vector<float> q = {0, 0, 0, 0};
    EXPECT_TRUE(t.search(q, 0, std::nullopt, std::nullopt).empty());
    EXPECT_TRUE(t.search(q, 0, 10, std::nullopt).empty());
    ASSERT_TRUE(t.build_pq_table(std::nullopt, std::nullopt, std::nullopt).has_value());
    EXPECT_TRUE(t.search(q, 0, 10, std::nullopt).empty());
  }
}

TEST(MetadataVecTableSearch, UpperBoundIsAppliedAfterTheKNearest) {
  // Squared distances from the origin: 0, 0.25, 0.5, 1, 2.
  MetadataVecTable t = make_table(2);
  const Rows rows = {{1, 1}, {0.5f, 0.5f}, {0, 0}, {1, 0}, {0.5f, 0}};
  for (std::size_t i = 0; i < rows.size(); ++i) t.add(rows[i], row_meta(i));
  const std::vector<float> q = {0, 0};
  struct Case {
    std::uint64_t k;
    std::optional<float> bound;
    std::vector<std::string> ids;
  };
  const float inf = std::numeric_limits<float>::infinity();
  const Case cases[] = {
      {5, 0.5f, {"2", "4", "1"}},
      {2, 0.5f, {"2", "4"}},
      {5, std::nullopt, {"2", "4", "1", "3", "0"}},
      {5, 0.0f, {"2"}},
      {5, -0.1f, {}},
      {5, kNaN, {}},
      {5, inf, {"2", "4", "1", "3", "0"}},
      {1, 2.0f, {"2"}},
      {9, 0.49f, {"2", "4"}},
  };
  for (bool hnsw : {false, true}) {
    if (hnsw) t.build_hnsw_index(std::nullopt);
    for (const Case& c : cases) {
      const auto found = t.search(q, c.k, std::nullopt, c.bound);
      std::vector<std::string> ids;
      for (const auto& [meta, d] : found) {
        ids.push_back(meta.at("id"));
        EXPECT_LE(d, c.bound.value_or(inf));
      }
      EXPECT_EQ(ids, c.ids) << "k " << c.k << " hnsw " << hnsw;
    }
  }
  ASSERT_TRUE(t.build_pq_table(std::nullopt, std::nullopt, std::nullopt).has_value());
  EXPECT_TRUE(t.search(q, 5, 5, kNaN).empty());
  EXPECT_EQ(t.search(q, 5, 5, 0.5f).size(), 3u);
}

TEST(MetadataVecTableSearch, NaNDistancesAreDropped) {
  for (bool hnsw : {false, true}) {
    MetadataVecTable t = make_table(2);
    t.add(std::vector<float>{0, 0}, row_meta(0));
    t.add(std::vector<float>{kNaN, 1}, row_meta(1));
    t.add(std::vector<float>{1, 1}, row_meta(2));
    if (hnsw) t.build_hnsw_index(std::nullopt);
    const std::vector<float> q = {0.1f, 0};
    // The index itself answers the NaN candidate; the table drops it.
    const auto raw = hnsw ? t.inner.hnsw()->knn_with_ef(q, 3, 10) : t.inner.flat()->knn(q, 3);
    ASSERT_EQ(raw.size(), 3u);
    EXPECT_TRUE(std::isnan(raw[2].distance));
    const auto found = t.search(q, 3, std::nullopt, std::nullopt);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].first, row_meta(0));
    EXPECT_EQ(found[1].first, row_meta(2));
    EXPECT_EQ(t.search(q, 3, std::nullopt, 1e30f).size(), 2u);
  }
}

TEST(MetadataVecTableSearch, AnsweredRowWithoutMetadataIsAnInternalFailure) {
  MetadataVecTable t = make_table(1);
  t.add(std::vector<float>{1}, {});
  t.add(std::vector<float>{2}, {});
  t.metadata.pop_back();  // as only a damaged table could be
  EXPECT_EQ(failure_of([&] { t.search(std::vector<float>{2}, 1, std::nullopt, std::nullopt); }),
            "index out of bounds: the len is 1 but the index is 1");
  // A bound that drops the row first answers without failing.
  EXPECT_EQ(failure_of([&] { t.search(std::vector<float>{0}, 2, std::nullopt, 1.5f); }),
            kNoFailure);
}

// ---------------------------------------------------------------------------------------------
// extract_data

TEST(MetadataVecTableExtract, CopiesOfEveryRowInOrder) {
  for (bool hnsw : {false, true}) {
    MetadataVecTable t = filled_table(120, 3, DistanceAlgorithm::Cosine, 4);
    const Rows rows = random_rows(120, 3, 4);
    if (hnsw) t.build_hnsw_index(std::nullopt);
    auto data = t.extract_data();
    ASSERT_EQ(data.size(), 120u);
    for (std::size_t i = 0; i < data.size(); ++i) {
      EXPECT_EQ(data[i].first, rows[i]);
      EXPECT_EQ(data[i].second, row_meta(i));
    }
    data[0].first[0] = 42.0f;  // a copy: the table is not touched
    data[0].second["x"] = "y";
    EXPECT_EQ(row_of(t, 0), rows[0]);
    EXPECT_EQ(t.metadata[0], row_meta(0));
  }
}

TEST(MetadataVecTableExtract, AsLongAsTheShorterOfRowsAndMetadata) {
  MetadataVecTable t = filled_table(4, 2);
  t.metadata.pop_back();
  EXPECT_EQ(t.extract_data().size(), 3u);
  t.metadata.push_back({});
  t.metadata.push_back({});
  EXPECT_EQ(t.extract_data().size(), 4u);
}

}  // namespace
}  // namespace quillmere
