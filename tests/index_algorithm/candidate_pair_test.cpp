#include "index_algorithm/candidate_pair.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "common/random.hpp"
#include "index_algorithm/heuristic_oracle.hpp"

namespace quillmere {
namespace {

using testing_support::heuristic;

using Pairs = std::vector<CandidatePair>;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

float from_bits(std::uint32_t bits) { return std::bit_cast<float>(bits); }

// NaNs of every sign and payload, quiet and signalling.
const float kNaNs[] = {kNaN,
                       -kNaN,
                       from_bits(0x7fc12345),
                       from_bits(0xffc00001),
                       from_bits(0x7f800001),
                       from_bits(0xff812345)};

// The order, written independently: (is NaN, value with -0 == +0, index), lexicographically.
std::tuple<bool, double, std::uint64_t> key(const CandidatePair& p) {
  const bool nan = std::isnan(p.distance);
  return {nan, nan ? 0.0 : static_cast<double>(p.distance) + 0.0, p.index};
}
int reference_cmp(const CandidatePair& a, const CandidatePair& b) {
  return key(a) < key(b) ? -1 : (key(b) < key(a) ? 1 : 0);
}
struct ReferenceLess {
  bool operator()(const CandidatePair& a, const CandidatePair& b) const { return key(a) < key(b); }
};

// Pairs compare equal when their indices match and distances are equal or both NaN; the
// float's bits may differ (-0.0 against +0.0, NaN payloads), which EXPECT_EQ would accept too.
// This compares bits where they are significant: the -0.0/+0.0 sign and every number.
void expect_pairs(const Pairs& got, const Pairs& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "position " << i);
    EXPECT_EQ(got[i].index, want[i].index);
    if (std::isnan(want[i].distance)) {
      EXPECT_TRUE(std::isnan(got[i].distance)) << got[i].distance;
    } else {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(got[i].distance),
                std::bit_cast<std::uint32_t>(want[i].distance))
          << got[i].distance << " vs " << want[i].distance;
    }
  }
}

Pairs members(const ResultSet& set) { return {set.members().begin(), set.members().end()}; }

TEST(CandidatePair, OrdersByDistanceThenIndex) {
  std::vector<float> distances = {-kInf,
                                  -1e30f,
                                  -1.0f,
                                  -std::numeric_limits<float>::denorm_min(),
                                  -0.0f,
                                  0.0f,
                                  std::numeric_limits<float>::denorm_min(),
                                  0.5f,
                                  1.0f,
                                  1e30f,
                                  kInf};
  distances.insert(distances.end(), std::begin(kNaNs), std::end(kNaNs));
  Pairs pairs;
  for (float d : distances)
    for (std::uint64_t index : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{7},
                                std::numeric_limits<std::uint64_t>::max()})
      pairs.push_back({index, d});

  for (const CandidatePair& a : pairs) {
    for (const CandidatePair& b : pairs) {
      SCOPED_TRACE(testing::Message() << "(" << a.index << ", " << a.distance << ") vs (" << b.index
                                      << ", " << b.distance << ")");
      const int want = reference_cmp(a, b);
      ASSERT_EQ(a < b, want < 0);
      ASSERT_EQ(a == b, want == 0);
    }
  }

  // A consistent total order: sorting a shuffled copy gives the reference order.
  Pairs shuffled = pairs;
  ChaCha12Rng rng(ChaCha12Rng::Seed{3, 1, 4, 1, 5, 9, 2, 6});
  for (std::size_t p = shuffled.size() - 1; p >= 1; --p)
    std::swap(shuffled[p], shuffled[rng.gen_index(p + 1)]);
  std::stable_sort(shuffled.begin(), shuffled.end());
  Pairs expected = pairs;
  std::stable_sort(expected.begin(), expected.end(), ReferenceLess{});
  for (std::size_t i = 0; i < expected.size(); ++i)
    ASSERT_EQ(reference_cmp(shuffled[i], expected[i]), 0) << "position " << i;
}

TEST(ResultSet, CapacityTwoKeepsTheFirstOfEqualDistances) {
  ResultSet set(2);
  EXPECT_TRUE(set.add(7, 0.5f));
  EXPECT_TRUE(set.add(3, 0.5f));
  expect_pairs(members(set), {{3, 0.5f}, {7, 0.5f}});
  EXPECT_FALSE(set.add(1, 0.5f));  // same distance as the worst: refused despite its row
  expect_pairs(members(set), {{3, 0.5f}, {7, 0.5f}});
  EXPECT_TRUE(set.add(9, 0.4f));
  expect_pairs(std::move(set).into_sorted_vec(), {{9, 0.4f}, {3, 0.5f}});
}

TEST(ResultSet, NaNDistancesAreTakenOnlyBelowCapacity) {
  ResultSet set(3);
  EXPECT_TRUE(set.add(0, kNaN));
  EXPECT_TRUE(set.add(1, 1.0f));
  EXPECT_TRUE(set.add(2, -kNaN));
  expect_pairs(members(set), {{1, 1.0f}, {0, kNaN}, {2, kNaN}});
  EXPECT_TRUE(set.add(3, 5.0f));  // any number beats a NaN worst member
  expect_pairs(members(set), {{1, 1.0f}, {3, 5.0f}, {0, kNaN}});
  EXPECT_FALSE(set.add(4, kNaN));
  EXPECT_FALSE(set.add(0, from_bits(0x7fc12345)));
  EXPECT_TRUE(set.add(5, kInf));  // evicts the last NaN
  EXPECT_FALSE(set.add(6, kInf));
  expect_pairs(std::move(set).into_sorted_vec(), {{1, 1.0f}, {3, 5.0f}, {5, kInf}});
}

TEST(ResultSet, CapacityZeroTakesNothing) {
  ResultSet set(0);
  for (float d : {0.0f, -1.0f, -kInf, kNaN}) EXPECT_FALSE(set.add(0, d));
  EXPECT_EQ(set.size(), 0u);
  EXPECT_TRUE(std::move(set).into_sorted_vec().empty());
}

TEST(ResultSet, SignedZerosAreEqualDistances) {
  ResultSet set(2);
  EXPECT_TRUE(set.add(5, -0.0f));
  EXPECT_TRUE(set.add(2, 0.0f));
  expect_pairs(members(set), {{2, 0.0f}, {5, -0.0f}});
  EXPECT_FALSE(set.add(1, 0.0f));
  EXPECT_FALSE(set.add(1, -0.0f));
  EXPECT_TRUE(set.admits({1, -0.0f}));
  EXPECT_TRUE(set.add(1, -1e-30f));
  expect_pairs(members(set), {{1, -1e-30f}, {2, 0.0f}});
}

// A pair equal to a member changes nothing, yet counts as taken; the same row with another
// distance is a different pair.
TEST(ResultSet, EqualPairsAreKeptOnce) {
  ResultSet set(3);
  EXPECT_TRUE(set.add(4, 1.0f));
  EXPECT_TRUE(set.add(4, 1.0f));
  EXPECT_TRUE(set.add(6, kNaN));
  EXPECT_TRUE(set.add(6, from_bits(0xffc00001)));
  expect_pairs(members(set), {{4, 1.0f}, {6, kNaN}});
  EXPECT_TRUE(set.add(4, 2.0f));
  expect_pairs(members(set), {{4, 1.0f}, {4, 2.0f}, {6, kNaN}});
  // Full: a pair equal to a member that beats the worst evicts nothing (the set must not
  // shrink below its capacity), whether it equals the best or one in the middle.
  EXPECT_TRUE(set.add(4, 1.0f));
  EXPECT_TRUE(set.add(4, 2.0f));
  expect_pairs(members(set), {{4, 1.0f}, {4, 2.0f}, {6, kNaN}});
  EXPECT_TRUE(set.add(5, 1.5f));
  EXPECT_TRUE(set.add(5, 1.5f));
  expect_pairs(std::move(set).into_sorted_vec(), {{4, 1.0f}, {5, 1.5f}, {4, 2.0f}});
}

TEST(ResultSet, AdmitsComparesWholePairs) {
  ResultSet below(3);
  below.add(7, 0.5f);
  for (const CandidatePair& c : Pairs{{9, 0.9f}, {100, kNaN}, {7, 0.5f}})
    EXPECT_TRUE(below.admits(c)) << c.index;

  ResultSet full(2);
  full.add(1, 0.1f);
  full.add(7, 0.5f);
  struct Case {
    CandidatePair c;
    bool admitted;
    bool added;
  };
  const Case cases[] = {
      {{3, 0.5f}, true, false},  // same distance, smaller row: admitted, but add refuses it
      {{9, 0.5f}, false, false}, {{7, 0.5f}, false, false},  // equal to the worst member
      {{100, 0.4f}, true, true}, {{0, kNaN}, false, false}, {{0, kInf}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "(" << c.c.index << ", " << c.c.distance << ")");
    EXPECT_EQ(full.admits(c.c), c.admitted);
    ResultSet copy = full;
    EXPECT_EQ(copy.add(c.c.index, c.c.distance), c.added);
  }

  ResultSet nan_worst(2);
  nan_worst.add(1, 0.1f);
  nan_worst.add(5, kNaN);
  EXPECT_TRUE(nan_worst.admits({9, 1e30f}));
  EXPECT_TRUE(nan_worst.admits({4, -kNaN}));  // a NaN orders by row among NaNs
  EXPECT_FALSE(nan_worst.admits({5, kNaN}));
  EXPECT_FALSE(nan_worst.admits({6, kNaN}));
}

// add and admits against a model written from their rules over an ordered set, on streams
// dense in equal distances, signed zeros, NaNs and repeated pairs.
TEST(ResultSet, MatchesAnOrderedSetModel) {
  ChaCha12Rng rng(ChaCha12Rng::Seed{42});
  const float alphabet[] = {-0.0f, 0.0f, 0.25f, 0.5f,  1.0f,
                            2.0f,  kInf, kNaN,  -kNaN, from_bits(0x7fc12345)};
  for (std::uint64_t k : {0, 1, 2, 3, 5, 16}) {
    for (int round = 0; round < 20; ++round) {
      SCOPED_TRACE(testing::Message() << "k " << k << ", round " << round);
      ResultSet set(k);
      std::set<CandidatePair, ReferenceLess> model;
      for (int step = 0; step < 200; ++step) {
        const CandidatePair c{rng.gen_index(12), alphabet[rng.gen_index(std::size(alphabet))]};
        if (k > 0) {
          const bool model_admits = model.size() < k || ReferenceLess{}(c, *std::prev(model.end()));
          ASSERT_EQ(set.admits(c), model_admits) << "(" << c.index << ", " << c.distance << ")";
        }
        bool model_added;
        if (model.size() < k) {
          model.insert(c);
          model_added = true;
        } else if (model.empty() || std::isnan(c.distance) ||
                   c.distance >= std::prev(model.end())->distance) {
          model_added = false;
        } else {
          if (!model.contains(c)) {  // a member offered again evicts nothing
            model.erase(std::prev(model.end()));
            model.insert(c);
          }
          model_added = true;
        }
        ASSERT_EQ(set.add(c.index, c.distance), model_added)
            << "step " << step << ": (" << c.index << ", " << c.distance << ")";
        ASSERT_EQ(set.size(), model.size());
      }
      expect_pairs(std::move(set).into_sorted_vec(), Pairs(model.begin(), model.end()));
    }
  }
}

// A set of distinct rows (a heap once full) answers every add, admits and worst as the ordered
// set does, and lists the same members in the same order, when each row is offered once;
// members are asked for now and then, so the heap is sorted and rebuilt in between.
TEST(ResultSet, DistinctRowsBehaveAsTheOrderedSet) {
  ChaCha12Rng rng(ChaCha12Rng::Seed{7});
  const float alphabet[] = {-0.0f, 0.0f, 0.25f, 0.5f,  1.0f,
                            2.0f,  kInf, kNaN,  -kNaN, from_bits(0x7fc12345)};
  const std::uint64_t capacities[] = {0, 1, 2, 3, 5, 16, 100, 1000, std::uint64_t{1} << 62};
  for (std::uint64_t k : capacities) {
    for (int round = 0; round < 10; ++round) {
      SCOPED_TRACE(testing::Message() << "k " << k << ", round " << round);
      ResultSet ordered(k), distinct = ResultSet::of_distinct_rows(k);
      const bool dense = round % 2 == 0;  // few distances, many ties; or nearly all different
      for (std::uint64_t row = 0; row < 600; ++row) {
        const float d = dense ? alphabet[rng.gen_index(std::size(alphabet))]
                              : static_cast<float>(rng.gen_index(1000)) / 7.0f;
        const CandidatePair c{rng.gen_index(2) == 0 ? row : 10000 - row, d};
        ASSERT_EQ(distinct.admits(c), ordered.admits(c)) << "row " << row;
        ASSERT_EQ(distinct.add(c.index, c.distance), ordered.add(c.index, c.distance))
            << "row " << row;
        ASSERT_EQ(distinct.size(), ordered.size());
        if (ordered.size() > 0) {
          ASSERT_EQ(distinct.worst(), ordered.worst());
        }
        if (row % 97 == 0) expect_pairs(members(distinct), members(ordered));
      }
      expect_pairs(std::move(distinct).into_sorted_vec(), std::move(ordered).into_sorted_vec());
    }
  }
}

// add_all over blocks of any length (whole groups of offers tested at once, tails one by one)
// ends with the members that the same offers made one at a time give: ties at the bound, a
// NaN bound that takes any number, NaN offers, and groups that hold one taker among refusals.
TEST(ResultSet, AddAllOffersAsAddDoes) {
  ChaCha12Rng rng(ChaCha12Rng::Seed{11});
  const float alphabet[] = {-0.0f, 0.0f, 0.25f, 0.5f, 1.0f, 2.0f, kInf, kNaN};
  for (std::uint64_t k : {0, 1, 5, 16, 100}) {
    for (int round = 0; round < 12; ++round) {
      SCOPED_TRACE(testing::Message() << "k " << k << ", round " << round);
      const bool dense = round % 3 == 0, nan_first = round % 3 == 1;
      std::vector<float> d(700);
      for (std::size_t i = 0; i < d.size(); ++i) {
        d[i] = dense ? alphabet[rng.gen_index(std::size(alphabet))]
                     : static_cast<float>(rng.gen_index(100000)) / 7.0f;
        if (nan_first && i < 40) d[i] = kNaN;  // the set fills with NaN: its bound is NaN
      }
      ResultSet one_by_one = ResultSet::of_distinct_rows(k),
                blocks = ResultSet::of_distinct_rows(k);
      for (std::size_t i = 0; i < d.size(); ++i) one_by_one.add(1000 + i, d[i]);
      for (std::size_t at = 0; at < d.size();) {
        const std::size_t len = std::min(d.size() - at, std::size_t{rng.gen_index(40)});
        blocks.add_all(1000 + at, std::span<const float>(d).subspan(at, len));
        at += len;
      }
      expect_pairs(members(blocks), members(one_by_one));
    }
  }
}

ResultSet filled(std::uint64_t k, const Pairs& pairs) {
  ResultSet set(k);
  for (const CandidatePair& p : pairs) set.add(p.index, p.distance);
  return set;
}

TEST(ResultSetHeuristic, CountZeroGivesNothing) {
  int calls = 0;
  const Pairs got =
      heuristic(filled(4, {{1, 1.0f}, {2, 2.0f}, {3, 3.0f}}), 0, [&](std::uint64_t, std::uint64_t) {
        ++calls;
        return 100.0f;
      });
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(calls, 0);
}

// Points in the plane, the query at the origin: a candidate is kept only when it is at least
// as far from every kept point as from the query.
TEST(ResultSetHeuristic, DropsCandidatesNearerToAKeptEntryThanToTheQuery) {
  const std::map<std::uint64_t, std::pair<float, float>> at = {
      {10, {1, 0}},  {11, {1.5f, 0}}, {12, {0, 2}}, {13, {2, 2}},
      {14, {-3, 0}}, {15, {0, -4}},   {16, {-3, 3}}};
  ResultSet set(16);
  for (const auto& [row, p] : at) set.add(row, std::hypot(p.first, p.second));
  auto dist = [&](std::uint64_t a, std::uint64_t b) {
    return std::hypot(at.at(a).first - at.at(b).first, at.at(a).second - at.at(b).second);
  };
  // 11 is 0.5 from 10 (1.5 from the query); 13 is 2.24 from 10 (2.83); 16 is 3.16 from 12
  // (4.24). 12, 14 and 15 are farther from every kept point than from the query.
  expect_pairs(heuristic(set, 16, dist), {{10, 1.0f}, {12, 2.0f}, {14, 3.0f}, {15, 4.0f}});
  // Stops at m entries; dropped candidates do not count towards m.
  expect_pairs(heuristic(set, 2, dist), {{10, 1.0f}, {12, 2.0f}});
  expect_pairs(heuristic(set, 1, dist), {{10, 1.0f}});
}

TEST(ResultSetHeuristic, KeepsTheNearestAndComparesNumerically) {
  // Distance 0 between every two rows: only the first, nearest, member enters.
  expect_pairs(heuristic(filled(4, {{3, 0.75f}, {1, 0.5f}, {2, 0.5f}}), 3,
                         [](std::uint64_t, std::uint64_t) { return 0.0f; }),
               {{1, 0.5f}});
  // The first member enters even with a NaN distance; later NaN members never do.
  expect_pairs(heuristic(filled(3, {{2, kNaN}, {1, -kNaN}}), 3,
                         [](std::uint64_t, std::uint64_t) { return kInf; }),
               {{1, kNaN}});
  // An entry at exactly the candidate's distance keeps it; a NaN distance drops it.
  auto dist = [](std::uint64_t c, std::uint64_t) {
    return c == 2 ? 2.0f : (c == 3 ? kNaN : 100.0f);
  };
  expect_pairs(heuristic(filled(4, {{1, 1.0f}, {2, 2.0f}, {3, 3.0f}, {4, 4.0f}}), 4, dist),
               {{1, 1.0f}, {2, 2.0f}, {4, 4.0f}});
}

// dist is asked with the candidate's row first and the entry's row second, for every entry in
// the order the entries were kept: the distance function need not be symmetric.
TEST(ResultSetHeuristic, AsksTheCandidateAgainstEachKeptEntry) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
  auto dist = [&](std::uint64_t c, std::uint64_t s) {
    calls.emplace_back(c, s);
    return c > s ? 10.0f : 0.0f;  // far only in the direction candidate > entry
  };
  const Pairs got = heuristic(filled(4, {{5, 3.0f}, {1, 1.0f}, {3, 2.0f}, {7, 4.0f}}), 4, dist);
  expect_pairs(got, {{1, 1.0f}, {3, 2.0f}, {5, 3.0f}, {7, 4.0f}});
  const std::vector<std::pair<std::uint64_t, std::uint64_t>> want = {{3, 1}, {5, 1}, {5, 3},
                                                                     {7, 1}, {7, 3}, {7, 5}};
  EXPECT_EQ(calls, want);

  // Reversed rows: every candidate is near its entries in that direction, so only the first
  // enters, although dist(entry, candidate) would have been far.
  calls.clear();
  expect_pairs(heuristic(filled(3, {{7, 1.0f}, {5, 2.0f}, {3, 3.0f}}), 3, dist), {{7, 1.0f}});
}

TEST(ResultSetPqResort, KeepsTheKExactlyNearestAscending) {
  // Quantized distances ascending with the row; exact distances in another order.
  const float exact[10] = {9.0f, 4.0f, 7.0f, 0.5f, 8.0f, 3.0f, 6.0f, 2.0f, 5.0f, 1.0f};
  ResultSet set(10);
  for (std::uint64_t r = 0; r < 10; ++r) set.add(r, 0.1f * static_cast<float>(r + 1));
  std::vector<std::uint64_t> asked;
  const Pairs got = std::move(set).pq_resort(3, [&](std::uint64_t r) {
    asked.push_back(r);
    return exact[r];
  });
  expect_pairs(got, {{3, 0.5f}, {9, 1.0f}, {7, 2.0f}});
  EXPECT_EQ(asked, (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(ResultSetPqResort, TieAtTheCutOffKeepsTheMemberMetFirst) {
  // Quantized order: 8, 2, 5, 1. Rows 5 and 1 tie at the cut-off on their exact distance;
  // 5 comes first in quantized order and survives although 1 is the smaller row.
  const Pairs quantized = {{8, 0.1f}, {2, 0.2f}, {5, 0.3f}, {1, 0.4f}};
  auto exact = [](std::uint64_t r) { return r == 8 ? 3.0f : (r == 2 ? 1.0f : 2.0f); };
  expect_pairs(filled(4, quantized).pq_resort(2, exact), {{2, 1.0f}, {5, 2.0f}});
  // With room for all, the tie orders by row.
  expect_pairs(filled(4, quantized).pq_resort(5, exact),
               {{2, 1.0f}, {1, 2.0f}, {5, 2.0f}, {8, 3.0f}});
  EXPECT_TRUE(filled(4, quantized).pq_resort(0, exact).empty());
  // NaN exact distances rank last and only fill free room.
  auto nan_for_8 = [](std::uint64_t r) { return r == 8 ? kNaN : static_cast<float>(r); };
  expect_pairs(filled(4, quantized).pq_resort(4, nan_for_8),
               {{1, 1.0f}, {2, 2.0f}, {5, 5.0f}, {8, kNaN}});
  expect_pairs(filled(4, quantized).pq_resort(3, nan_for_8), {{1, 1.0f}, {2, 2.0f}, {5, 5.0f}});
}

}  // namespace
}  // namespace quillmere
