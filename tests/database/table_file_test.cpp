#include "database/table_file.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/failure.hpp"
#include "database/metadata_vec_table.hpp"
#include "distance/kernels.hpp"
#include "database/file_support.hpp"
#include "test_support.hpp"

namespace quillmere {
namespace {

using testing_support::load_table_file;
using testing_support::random_rows;
using testing_support::save_file;

using testing_support::failure_of;
using testing_support::fixed_rng;
using testing_support::kNoFailure;
using Bytes = std::vector<std::uint8_t>;

constexpr DistanceAlgorithm kKinds[] = {DistanceAlgorithm::L2Sqr, DistanceAlgorithm::Cosine};
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();
const std::string kShort = "io error: failed to fill whole buffer";
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// Little-endian file contents built value by value.
struct Encoder {
  Bytes b;
  Encoder& u8(std::uint8_t v) {
    b.push_back(v);
    return *this;
  }
  Encoder& u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Encoder& u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Encoder& f32(float v) { return u32(std::bit_cast<std::uint32_t>(v)); }
  Encoder& str(const std::string& s) {
    u64(s.size());
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
};

void put_u64(Bytes& b, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
}
void put_u32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
}

// A flat L2Sqr file of one map and one row, its map given as (key, value) entries in file order.
Bytes one_row_file(const std::vector<std::pair<std::string, std::string>>& entries) {
  Encoder e;
  e.u64(1).u64(entries.size());
  for (const auto& [k, v] : entries) e.str(k).str(v);
  e.u32(0).u32(0).u64(1).u64(1).f32(5.0f).u8(0);
  return e.b;
}

using Entries = std::vector<std::pair<std::string, std::string>>;

// A flat L2Sqr file of dimension 1 with one row per map (row i holds i), each map given as
// (key, value) entries in file order.
Bytes flat_file(const std::vector<Entries>& maps) {
  Encoder e;
  e.u64(maps.size());
  for (const Entries& entries : maps) {
    e.u64(entries.size());
    for (const auto& [k, v] : entries) e.str(k).str(v);
  }
  e.u32(0).u32(0).u64(1).u64(maps.size());
  for (std::size_t i = 0; i < maps.size(); ++i) e.f32(static_cast<float>(i));
  e.u8(0);
  return e.b;
}

// The 33-byte file of an empty flat Cosine table of dimension 3.
const Bytes kEmptyCosine3 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 3,
                             0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

// The file of an HNSW table without rows, with or without an entry point.
Bytes empty_hnsw_file(const HNSWInnerConfig& c, bool entry) {
  Encoder e;
  e.u64(0)
      .u32(1)
      .u64(c.dim)
      .u32(static_cast<std::uint32_t>(c.dist))
      .u64(c.max_elements)
      .u64(c.max_links);
  e.u64(c.max_links_level0).u64(c.ef_construction).u64(c.ef_search).f32(c.level_multiplier);
  e.u64(c.parallel_threshold).u64(c.dim).u64(0).u64(0).u64(0).u64(0).u64(0).u64(0);
  if (entry) {
    e.u8(1).u64(0).u8(1).u64(0);
  } else {
    e.u8(0).u8(0);
  }
  e.u8(0);
  return e.b;
}

MetadataVecTable make_table(std::uint64_t dim, DistanceAlgorithm dist) {
  Result<MetadataVecTable> t = MetadataVecTable::create(dim, dist);
  EXPECT_TRUE(t.has_value());
  t->rng = fixed_rng(3);
  return std::move(*t);
}

// n random rows; with `with_metadata` row i maps id to i (and every third row has a tag).
MetadataVecTable filled_table(std::size_t n, std::size_t dim, DistanceAlgorithm dist,
                              bool with_metadata, unsigned seed = 1) {
  MetadataVecTable t = make_table(dim, dist);
  const auto rows = random_rows(n, dim, seed);
  for (std::size_t i = 0; i < n; ++i) {
    Metadata m;
    if (with_metadata) {
      m["id"] = std::to_string(i);
      if (i % 3 == 0) m["tag"] = "third";
    }
    t.add(rows[i], std::move(m));
  }
  return t;
}

// Every stored field of two tables, bit for bit, and the HNSW norm caches.
void expect_same_table(const MetadataVecTable& a, const MetadataVecTable& b) {
  EXPECT_EQ(a.metadata, b.metadata);
  ASSERT_EQ(a.has_hnsw_index(), b.has_hnsw_index());
  if (const FlatIndex* fa = a.inner.flat()) {
    const FlatIndex* fb = b.inner.flat();
    EXPECT_EQ(fa->dist(), fb->dist());
    EXPECT_EQ(fa->vec_set(), fb->vec_set());  // PodVec compares bytes: NaN bits included
  } else {
    const HNSWIndex& ha = *a.inner.hnsw();
    const HNSWIndex& hb = *b.inner.hnsw();
    EXPECT_EQ(std::memcmp(&ha.config().level_multiplier, &hb.config().level_multiplier, 4), 0);
    EXPECT_EQ(ha.config(), hb.config());
    EXPECT_EQ(ha.vec_set(), hb.vec_set());
    EXPECT_EQ(ha.levels(), hb.levels());
    EXPECT_EQ(ha.num_deleted(), hb.num_deleted());
    EXPECT_EQ(ha.enter_level(), hb.enter_level());
    EXPECT_EQ(ha.enter_point(), hb.enter_point());
    EXPECT_EQ(ha.norms(), hb.norms());
    ASSERT_EQ(ha.len(), hb.len());
    for (std::uint64_t n = 0; n < ha.len(); ++n) {
      for (std::uint64_t l = 0; l <= ha.level(n); ++l) {
        ASSERT_EQ(ha.stored_links_len(n, l), hb.stored_links_len(n, l))
            << "node " << n << " level " << l;
        ASSERT_TRUE(std::ranges::equal(ha.slots(n, l), hb.slots(n, l)))
            << "node " << n << " level " << l;
      }
    }
  }
  ASSERT_EQ(a.has_pq_table(), b.has_pq_table());
  if (a.pq_table) {
    EXPECT_EQ(*a.pq_table, *b.pq_table);
  }
}

// Byte offsets of the HNSW record's parts in the file of an HNSW table.
struct HnswLayout {
  std::size_t config, vectors, level0, other, lens, levels, num_deleted, enter;
  std::vector<std::size_t> other_of, lens_of;  // per node: its first slot / first count

  explicit HnswLayout(const MetadataVecTable& t) {
    const HNSWIndex& h = *t.inner.hnsw();
    const std::size_t n = h.len(), d = h.vec_set().dim();
    const std::size_t m = h.config().max_links, m0 = h.config().max_links_level0;
    std::size_t metadata = 8;
    for (const Metadata& map : t.metadata) {
      metadata += 8;
      for (const auto& [k, v] : map) metadata += 16 + k.size() + v.size();
    }
    config = metadata + 4;
    vectors = config + 64;
    level0 = vectors + 16 + 4 * n * d;
    other = level0 + 8 + 4 * n * m0;
    std::size_t at = other + 8;
    for (std::size_t i = 0; i < n; ++i) {
      other_of.push_back(at + 8);
      at += 8 + 4 * h.level(i) * m;
    }
    lens = at;
    at += 8;
    for (std::size_t i = 0; i < n; ++i) {
      lens_of.push_back(at + 8);
      at += 8 + 8 * (h.level(i) + 1);
    }
    levels = at;
    num_deleted = levels + 8 + 8 * n;
    enter = num_deleted + 8;
  }
  std::size_t level0_slot(std::size_t node, std::size_t i, std::size_t m0) const {
    return level0 + 8 + 4 * (node * m0 + i);
  }
};

// The file of an HNSW table of dimension 1 and M = 2 (M0 = 4) without metadata, built from its
// links: every node has level 0, the nodes in `level1` also level 1, and the first of those (or
// node 0) is the entry point. Unused slots hold `filler`.
struct GraphFile {
  std::vector<std::vector<std::uint32_t>> level0;              // per node
  std::map<std::uint32_t, std::vector<std::uint32_t>> level1;  // per node of level 1
  std::uint32_t filler = 0;

  Bytes encode() const {
    constexpr std::size_t m = 2, m0 = 4;
    const std::size_t n = level0.size();
    auto slots = [&](Encoder& e, const std::vector<std::uint32_t>& links, std::size_t capacity) {
      for (std::size_t i = 0; i < capacity; ++i) e.u32(i < links.size() ? links[i] : filler);
    };
    Encoder e;
    e.u64(n);
    for (std::size_t i = 0; i < n; ++i) e.u64(0);
    e.u32(1)
        .u64(1)
        .u32(0)
        .u64(n)
        .u64(m)
        .u64(m0)
        .u64(40)
        .u64(20)
        .f32(1.0f / std::log(2.0f))
        .u64(1000);
    e.u64(1).u64(n);
    for (std::size_t i = 0; i < n; ++i) e.f32(static_cast<float>(i));
    e.u64(n * m0);
    for (const auto& links : level0) slots(e, links, m0);
    e.u64(n);
    for (std::uint32_t i = 0; i < n; ++i) {
      e.u64(level1.contains(i) ? m : 0);
      if (level1.contains(i)) slots(e, level1.at(i), m);
    }
    e.u64(n);
    for (std::uint32_t i = 0; i < n; ++i) {
      e.u64(level1.contains(i) ? 2 : 1).u64(level0[i].size());
      if (level1.contains(i)) e.u64(level1.at(i).size());
    }
    e.u64(n);
    for (std::uint32_t i = 0; i < n; ++i) e.u64(level1.contains(i) ? 1 : 0);
    e.u64(0);
    e.u8(1).u64(level1.empty() ? 0 : 1).u8(1).u64(level1.empty() ? 0 : level1.begin()->first);
    e.u8(0);
    return e.b;
  }
};

class TableFileTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = scratch_.make("quillmere_table_file"); }

  std::string path(const std::string& name = "table.bin") const { return dir_ + "/" + name; }

  static Bytes read_bytes(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static void write_bytes(const std::string& p, const Bytes& b) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  }

  Bytes saved_bytes(const MetadataVecTable& t) {
    const Result<void> r = save_file(t, path("saved.bin"));
    EXPECT_TRUE(r.has_value()) << r.error().message;
    return read_bytes(path("saved.bin"));
  }
  Result<MetadataVecTable> load_bytes(const Bytes& b) {
    write_bytes(path("load.bin"), b);
    return load_table_file(path("load.bin"));
  }
  std::string load_error(const Bytes& b) {
    const Result<MetadataVecTable> r = load_bytes(b);
    return r ? std::string("<loaded>") : r.error().message;
  }

  // Saves, loads, compares field by field, saves the loaded table and compares the bytes.
  void expect_round_trip(const MetadataVecTable& t) {
    EXPECT_TRUE(table_file::validate(t).has_value());
    const Bytes first = saved_bytes(t);
    const Result<MetadataVecTable> loaded = load_bytes(first);
    ASSERT_TRUE(loaded.has_value()) << loaded.error().message;
    expect_same_table(t, *loaded);
    EXPECT_EQ(saved_bytes(*loaded), first);
  }

  testing_support::ScratchDir scratch_;  // removed last, after everything in it is closed
  std::string dir_;
};

// ---------------------------------------------------------------------------------------------
// Exact bytes

TEST_F(TableFileTest, EmptyCosineTableIs33Bytes) {
  const Result<MetadataVecTable> loaded = load_bytes(kEmptyCosine3);
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(loaded->dim(), 3u);
  EXPECT_EQ(loaded->len(), 0u);
  EXPECT_EQ(loaded->dist(), DistanceAlgorithm::Cosine);
  EXPECT_FALSE(loaded->has_hnsw_index());
  EXPECT_FALSE(loaded->has_pq_table());
  EXPECT_EQ(saved_bytes(make_table(3, DistanceAlgorithm::Cosine)), kEmptyCosine3);
  EXPECT_EQ(saved_bytes(*loaded), kEmptyCosine3);
}

TEST_F(TableFileTest, OneRowL2SqrTableIs67Bytes) {
  const Bytes want = {1, 0, 0, 0, 0, 0, 0, 0,    1, 0,    0,    0, 0, 0, 0,    0, 1,
                      0, 0, 0, 0, 0, 0, 0, 0x6B, 1, 0,    0,    0, 0, 0, 0,    0, 0x76,
                      0, 0, 0, 0, 0, 0, 0, 0,    2, 0,    0,    0, 0, 0, 0,    0, 2,
                      0, 0, 0, 0, 0, 0, 0, 0,    0, 0x80, 0x3F, 0, 0, 0, 0x40, 0};
  ASSERT_EQ(want.size(), 67u);
  MetadataVecTable t = make_table(2, DistanceAlgorithm::L2Sqr);
  t.add(std::vector<float>{1.0f, 2.0f}, {{"k", "v"}});
  EXPECT_EQ(saved_bytes(t), want);
  const Result<MetadataVecTable> loaded = load_bytes(want);
  ASSERT_TRUE(loaded.has_value());
  expect_same_table(t, *loaded);
}

TEST_F(TableFileTest, SizesFollowTheLayout) {
  for (std::size_t n : {1u, 7u, 100u}) {  // 0 rows: EmptyCosineTableIs33Bytes
    const MetadataVecTable flat = filled_table(n, 5, DistanceAlgorithm::L2Sqr, false);
    EXPECT_EQ(saved_bytes(flat).size(), 8 + 8 * n + 4 + 4 + 8 + 8 + 4 * n * 5 + 1);
  }
  MetadataVecTable t = filled_table(300, 3, DistanceAlgorithm::Cosine, false);
  t.build_hnsw_index(40);
  const HNSWIndex& h = *t.inner.hnsw();
  std::size_t upper = 0, counts = 0;
  for (std::uint64_t level : h.levels()) {
    upper += 8 + 4 * level * h.config().max_links;
    counts += 8 + 8 * (level + 1);
  }
  const std::size_t record = 64 + (16 + 4 * 300 * 3) + (8 + 4 * 300 * h.config().max_links_level0) +
                             (8 + upper) + (8 + counts) + (8 + 8 * 300) + 8 + 9 + 9;
  EXPECT_EQ(saved_bytes(t).size(), 8 + 8 * 300 + 4 + record + 1);
}

TEST_F(TableFileTest, EmptyHnswTableStoresAbsentEntryAsSingleZeroBytes) {
  MetadataVecTable t = make_table(4, DistanceAlgorithm::L2Sqr);
  t.build_hnsw_index(std::nullopt);
  const Bytes want = empty_hnsw_file(t.inner.hnsw()->config(), false);
  // metadata 8, variant 4, config 64, vectors 16, four empty sequences and num_deleted 40,
  // enter_level 1, enter_point 1, pq tag 1.
  ASSERT_EQ(want.size(), 135u);
  const Result<MetadataVecTable> loaded = load_bytes(want);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().message;
  expect_same_table(t, *loaded);
  EXPECT_FALSE(loaded->inner.hnsw()->enter_point().has_value());
  EXPECT_EQ(saved_bytes(t), want);
}

TEST_F(TableFileTest, MapKeysAreWrittenInAscendingByteOrder) {
  MetadataVecTable t = make_table(1, DistanceAlgorithm::L2Sqr);
  Metadata m;
  for (const char* key : {"b", "\xC3\xA9", "a", "", "B", "ab"}) m[key] = std::string("v") + key;
  t.add(std::vector<float>{5.0f}, m);
  EXPECT_EQ(saved_bytes(t), one_row_file({{"", "v"},
                                          {"B", "vB"},
                                          {"a", "va"},
                                          {"ab", "vab"},
                                          {"b", "vb"},
                                          {"\xC3\xA9", "v\xC3\xA9"}}));
}

TEST_F(TableFileTest, MapOrderInTheFileIsNotCheckedAndARepeatedKeyKeepsTheLaterValue) {
  Result<MetadataVecTable> t = load_bytes(one_row_file({{"k", "1"}, {"a", "x"}, {"k", "2"}}));
  ASSERT_TRUE(t.has_value()) << t.error().message;
  EXPECT_EQ(t->metadata, (std::vector<Metadata>{{{"a", "x"}, {"k", "2"}}}));
  EXPECT_EQ(t->extract_data()[0].first, std::vector<float>{5.0f});

  // Keys in ascending order go in at the end of the map; every other order must give the same
  // map, with the last value of a repeated key.
  const std::pair<Entries, Metadata> cases[] = {
      {{{"a", "1"}, {"b", "2"}, {"c", "3"}}, {{"a", "1"}, {"b", "2"}, {"c", "3"}}},
      {{{"c", "3"}, {"b", "2"}, {"a", "1"}}, {{"a", "1"}, {"b", "2"}, {"c", "3"}}},
      {{{"b", "1"}, {"b", "2"}}, {{"b", "2"}}},
      {{{"a", "1"}, {"b", "2"}, {"a", "3"}}, {{"a", "3"}, {"b", "2"}}},
      {{{"a", "1"}, {"c", "2"}, {"b", "3"}, {"c", "4"}}, {{"a", "1"}, {"b", "3"}, {"c", "4"}}},
      {{{"ab", "1"}, {"a", "2"}, {"", "3"}, {"abc", "4"}},
       {{"", "3"}, {"a", "2"}, {"ab", "1"}, {"abc", "4"}}},
      {{{"\xC3\xA9", "1"}, {"z", "2"}}, {{"z", "2"}, {"\xC3\xA9", "1"}}},  // bytes compare unsigned
  };
  for (const auto& [entries, want] : cases) {
    Result<MetadataVecTable> loaded = load_bytes(flat_file({entries, {}, entries}));
    ASSERT_TRUE(loaded.has_value()) << loaded.error().message;
    EXPECT_EQ(loaded->metadata, (std::vector<Metadata>{want, {}, want})) << entries.front().first;
  }
}

// ---------------------------------------------------------------------------------------------
// Round trips

TEST_F(TableFileTest, FlatRoundTripKeepsEveryBit) {
  for (DistanceAlgorithm dist : kKinds) {
    MetadataVecTable t = filled_table(50, 3, dist, true);
    const float odd[][3] = {
        {kNaN, -0.0f, kInf},
        {-kInf, std::bit_cast<float>(0x7FC12345u), std::bit_cast<float>(0xFFA00001u)},
        {std::numeric_limits<float>::denorm_min(), -0.0f, 3.4e38f}};
    for (const auto& row : odd)
      t.add(row, {{"odd", "\xF0\x9F\x98\x80 yes"}, {std::string("z\0z", 3), ""}});
    expect_round_trip(t);
  }
}

TEST_F(TableFileTest, HnswRoundTripKeepsTheGraphAndRebuildsTheSameNorms) {
  for (DistanceAlgorithm dist : kKinds) {
    SCOPED_TRACE(name(dist));
    MetadataVecTable t = filled_table(2500, 6, dist, true);
    t.add(std::vector<float>{kNaN, 1, 2, 3, 4, 5}, {});
    t.add(std::vector<float>{-0.0f, -0.0f, -0.0f, -0.0f, -0.0f, -0.0f}, {});
    t.add(std::vector<float>{3e38f, 3e38f, 1, 1, 1, 1}, {});
    t.build_hnsw_index(40);  // 2503 rows: batches above the parallel threshold
    const auto more = random_rows(1200, 6, 8);
    std::vector<std::span<const float>> spans(more.begin(), more.end());
    t.batch_add(spans, std::vector<Metadata>(more.size()));
    ASSERT_EQ(t.inner.hnsw()->norms().size(), 3703u);
    expect_round_trip(t);
  }
}

TEST_F(TableFileTest, PqRoundTripsForBothCodeWidths) {
  for (DistanceAlgorithm dist : kKinds) {
    for (std::uint64_t bits : {4u, 8u}) {
      for (std::uint64_t m : {1u, 3u, 5u}) {
        SCOPED_TRACE(std::string(name(dist)) + " bits " + std::to_string(bits) + " m " +
                     std::to_string(m));
        MetadataVecTable t = filled_table(300, 5, dist, true);
        ASSERT_TRUE(t.build_pq_table(0.9f, bits, m).has_value());
        expect_round_trip(t);
        t.build_hnsw_index(30);
        expect_round_trip(t);
        const Bytes b = saved_bytes(t);
        const Result<MetadataVecTable> loaded = load_bytes(b);
        ASSERT_TRUE(loaded.has_value());
        const std::vector<float> q = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f};
        const auto before = t.search(q, 5, 20, std::nullopt),
                   after = loaded->search(q, 5, 20, std::nullopt);
        ASSERT_EQ(before.size(), after.size());
        for (std::size_t i = 0; i < before.size(); ++i) {
          EXPECT_EQ(before[i].first, after[i].first);
          EXPECT_TRUE(testing_support::same_bits(before[i].second, after[i].second));
        }
      }
    }
  }
}

// The code norms are not stored: after a load they must be the reference sums, bit for bit,
// for every row (37 rows: wide kernels leave a partial group at the end).
TEST_F(TableFileTest, LoadedCodeNormsAreTheReferenceSums) {
  for (std::uint64_t bits : {4u, 8u}) {
    for (std::uint64_t m : {1u, 3u, 5u}) {
      SCOPED_TRACE("bits " + std::to_string(bits) + " m " + std::to_string(m));
      MetadataVecTable t = filled_table(37, 5, DistanceAlgorithm::Cosine, false);
      ASSERT_TRUE(t.build_pq_table(0.9f, bits, m).has_value());
      const Result<MetadataVecTable> loaded = load_bytes(saved_bytes(t));
      ASSERT_TRUE(loaded.has_value()) << loaded.error().message;
      const PQTable& pq = *loaded->pq_table;
      ASSERT_EQ(pq.code_sq_norms().size(), 37u);
      const kernels::PQScan scan{nullptr,
                                 static_cast<std::size_t>(pq.code_len()),
                                 1,
                                 static_cast<std::size_t>(m),
                                 static_cast<unsigned>(bits),
                                 nullptr,
                                 pq.centroid_sq_norms().data(),
                                 0.0f};
      for (std::uint64_t row = 0; row < 37; ++row) {
        const float want = kernels::pq_code_norm_ref(scan, pq.encoded_vec_set()[row].data());
        EXPECT_EQ(std::bit_cast<std::uint32_t>(pq.code_sq_norms()[row]),
                  std::bit_cast<std::uint32_t>(want))
            << "row " << row;
      }
    }
  }
}

TEST_F(TableFileTest, ValuesAcrossTheBufferBoundary) {
  MetadataVecTable t = make_table(2, DistanceAlgorithm::L2Sqr);
  for (std::size_t len : {8180u, 8191u, 8192u, 8193u, 20000u, 1u, 0u}) {
    std::string value(len, 'x');
    for (std::size_t i = 0; i < len; ++i) value[i] = static_cast<char>('a' + i % 26);
    t.add(std::vector<float>{static_cast<float>(len), 1.0f}, {{std::string(len % 7, 'k'), value}});
  }
  expect_round_trip(t);
}

// The reader's 8192-byte buffer ends at every offset of a map in turn (inside its entry count,
// a length, a key, a value or between them): the map loads the same, a bad string in it is
// reported the same, and a file that ends there is short.
TEST_F(TableFileTest, MetadataCutByTheBufferEndAtEveryOffset) {
  constexpr std::size_t kBuffer = 8192;
  const Entries probe = {{"k\xC3\xA9", "v\xE2\x82\xAC"}, {"key2", "value two"}};
  const Entries bad = {{"k\xC3\xA9", "v\xE2\x82\xAC"}, {"key2", "valu\xFF two"}};
  constexpr std::size_t kProbeBytes = 8 + (8 + 3 + 8 + 4) + (8 + 4 + 8 + 9);
  // The first map (after the 8-byte map count) is padded so that `inside` bytes of the probe
  // map come before the end of the first buffer.
  auto file = [&](const Entries& probe_map, std::size_t inside) {
    const std::size_t pad = kBuffer - inside - (8 + 8 + 8 + 3 + 8);
    return flat_file({{{"pad", std::string(pad, 'p')}}, probe_map});
  };
  for (std::size_t inside = 0; inside <= kProbeBytes; ++inside) {
    SCOPED_TRACE("the buffer ends " + std::to_string(inside) + " bytes into the map");
    const Bytes whole = file(probe, inside);
    const Result<MetadataVecTable> loaded = load_bytes(whole);
    ASSERT_TRUE(loaded.has_value()) << loaded.error().message;
    EXPECT_EQ(loaded->metadata.at(1), Metadata(probe.begin(), probe.end()));
    EXPECT_EQ(load_error(file(bad, inside)),
              "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 4");
    for (std::size_t len : {kBuffer, kBuffer + 1})
      EXPECT_EQ(load_error(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(len))),
                kShort);
  }
}

// Metadata of some hundred KiB, built into maps while the rest of the file is read: the table
// is the same, and errors after the metadata are still the ones reported.
TEST_F(TableFileTest, LargeMetadataLoadsTheSameAndLaterErrorsAreReported) {
  MetadataVecTable t = make_table(2, DistanceAlgorithm::L2Sqr);
  const auto rows = random_rows(4000, 2, 9);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    Metadata m{{"id", std::to_string(i)},
               {"name", std::string(i % 41, static_cast<char>('a' + i % 26))}};
    if (i % 7 == 0) m["\xC3\xA9t\xC3\xA9"] = "\xE2\x82\xAC" + std::to_string(i);
    t.add(rows[i], std::move(m));
  }
  expect_round_trip(t);
  const Bytes b = saved_bytes(t);
  EXPECT_EQ(load_error(Bytes(b.begin(), b.end() - 3)), kShort);
  Bytes bad_tag = b;
  bad_tag.back() = 9;
  EXPECT_EQ(load_error(bad_tag), "tag for enum is not valid, found 9");
  t.metadata.pop_back();
  EXPECT_EQ(load_error(saved_bytes(t)), "Corrupt table file: 3999 metadata maps for 4000 rows");
}

TEST_F(TableFileTest, SaveReplacesTheWholeFile) {
  const std::string p = path("replaced.bin");
  const MetadataVecTable big = filled_table(500, 8, DistanceAlgorithm::L2Sqr, true);
  ASSERT_TRUE(save_file(big, p).has_value());
  MetadataVecTable small = make_table(2, DistanceAlgorithm::L2Sqr);
  small.add(std::vector<float>{1.0f, 2.0f}, {{"k", "v"}});
  ASSERT_TRUE(save_file(small, p).has_value());
  EXPECT_EQ(read_bytes(p).size(), 67u);
}

TEST_F(TableFileTest, FailedWritesAreIoErrors) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  for (std::size_t rows : {1u, 5000u}) {  // the last flush, and a full buffer before it
    const MetadataVecTable t = filled_table(rows, 4, DistanceAlgorithm::L2Sqr, true);
    const Result<void> saved = save_file(t, "/dev/full");
    ASSERT_FALSE(saved.has_value());
    EXPECT_EQ(saved.error().message, "io error: No space left on device (os error 28)");
  }
}

TEST_F(TableFileTest, LoadedTableHasAFreshGenerator) {
  MetadataVecTable t = filled_table(20, 2, DistanceAlgorithm::L2Sqr, false);
  const Bytes b = saved_bytes(t);
  Result<MetadataVecTable> one = load_bytes(b), two = load_bytes(b);
  ASSERT_TRUE(one && two);
  std::vector<std::uint32_t> a, c, saved;
  for (int i = 0; i < 8; ++i) {
    a.push_back(one->rng.next_u32());
    c.push_back(two->rng.next_u32());
    saved.push_back(t.rng.next_u32());
  }
  EXPECT_NE(a, c);
  EXPECT_NE(a, saved);
}

TEST_F(TableFileTest, TrailingBytesAreIgnored) {
  MetadataVecTable t = filled_table(30, 4, DistanceAlgorithm::Cosine, true);
  ASSERT_TRUE(t.build_pq_table(std::nullopt, std::nullopt, std::nullopt).has_value());
  for (bool hnsw : {false, true}) {
    if (hnsw) t.build_hnsw_index(std::nullopt);
    Bytes b = saved_bytes(t);
    for (int i = 0; i < 10000; ++i) b.push_back(static_cast<std::uint8_t>(i * 7));
    const Result<MetadataVecTable> loaded = load_bytes(b);
    ASSERT_TRUE(loaded.has_value()) << loaded.error().message;
    expect_same_table(t, *loaded);
  }
}

// ---------------------------------------------------------------------------------------------
// Files that cannot be read

TEST_F(TableFileTest, EveryTruncationIsAShortFile) {
  MetadataVecTable flat = filled_table(12, 4, DistanceAlgorithm::L2Sqr, true);
  ASSERT_TRUE(flat.build_pq_table(0.5f, 4, 3).has_value());
  MetadataVecTable hnsw = filled_table(25, 2, DistanceAlgorithm::Cosine, true);
  hnsw.build_hnsw_index(std::nullopt);
  ASSERT_TRUE(hnsw.build_pq_table(0.5f, 4, 1).has_value());
  for (const MetadataVecTable* t : {&flat, &hnsw}) {
    const Bytes full = saved_bytes(*t);
    ASSERT_TRUE(load_bytes(full).has_value());
    for (std::size_t len = 0; len < full.size(); ++len)
      ASSERT_EQ(load_error(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len))),
                kShort)
          << "cut at " << len << " of " << full.size();
  }
}

TEST_F(TableFileTest, VariantAndTagValuesOutsideTheirRange) {
  const Bytes& empty = kEmptyCosine3;
  struct Case {
    std::size_t offset;
    std::uint32_t value;
    int width;
    const char* message;
  };
  const Case cases[] = {
      {8, 2, 4, "invalid value: integer `2`, expected variant index 0 <= i < 2"},
      {8, 0xFFFFFFFFu, 4, "invalid value: integer `4294967295`, expected variant index 0 <= i < 2"},
      {12, 2, 4, "invalid value: integer `2`, expected variant index 0 <= i < 2"},
      {12, 256, 4, "invalid value: integer `256`, expected variant index 0 <= i < 2"},
      {32, 2, 1, "tag for enum is not valid, found 2"},
      {32, 255, 1, "tag for enum is not valid, found 255"},
  };
  for (const Case& c : cases) {
    Bytes b = empty;
    if (c.width == 4) {
      put_u32(b, c.offset, c.value);
    } else {
      b[c.offset] = static_cast<std::uint8_t>(c.value);
    }
    EXPECT_EQ(load_error(b), c.message);
  }
  // The optional entry level and entry point of an HNSW index.
  MetadataVecTable h = filled_table(10, 2, DistanceAlgorithm::L2Sqr, false);
  h.build_hnsw_index(std::nullopt);
  const HnswLayout at(h);
  const Bytes base = saved_bytes(h);
  for (std::size_t offset : {at.enter, at.enter + 9}) {
    Bytes b = base;
    b[offset] = 7;
    EXPECT_EQ(load_error(b), "tag for enum is not valid, found 7");
  }
}

TEST_F(TableFileTest, InvalidUtf8InKeysAndValues) {
  struct Case {
    std::string text;
    const char* message;  // nullptr: valid
  };
  const Case cases[] = {
      {"\xFF", "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
      {"a\x80", "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 1"},
      {"\xC0\xAF", "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xE0\x80\x80", "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xED\xA0\x80", "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xF4\x90\x80\x80",
       "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xE2\x82\x28", "string is not valid utf8: invalid utf-8 sequence of 2 bytes from index 0"},
      {"ok\xF0\x90\x80\x28",
       "string is not valid utf8: invalid utf-8 sequence of 3 bytes from index 2"},
      {"ab\xE2\x82", "string is not valid utf8: incomplete utf-8 byte sequence from index 2"},
      {"\xF0", "string is not valid utf8: incomplete utf-8 byte sequence from index 0"},
      {"x\xF0\x9F\x98", "string is not valid utf8: incomplete utf-8 byte sequence from index 1"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", nullptr},
      {std::string("\0", 1), nullptr},
  };
  for (const Case& c : cases) {
    for (bool in_key : {true, false}) {
      const Bytes b = in_key ? one_row_file({{c.text, "v"}}) : one_row_file({{"k", c.text}});
      EXPECT_EQ(load_error(b), c.message ? c.message : "<loaded>") << (in_key ? "key" : "value");
    }
  }
}

// One non-ASCII byte at each position of strings of every length up to a few words: the
// invalid one is reported at its index and a valid two-byte character is kept, wherever it
// falls in the words that are tested together.
TEST_F(TableFileTest, NonAsciiBytesAtEveryPositionOfAString) {
  for (std::size_t len = 1; len <= 20; ++len) {
    for (std::size_t at = 0; at < len; ++at) {
      SCOPED_TRACE("length " + std::to_string(len) + ", byte " + std::to_string(at));
      std::string text(len, 'a');
      text[at] = '\xFF';
      EXPECT_EQ(load_error(one_row_file({{"k", text}})),
                "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index " +
                    std::to_string(at));
      if (at + 1 == len) continue;
      text[at] = '\xC3';
      text[at + 1] = '\xA9';
      const Result<MetadataVecTable> loaded = load_bytes(one_row_file({{text, text}}));
      ASSERT_TRUE(loaded.has_value()) << loaded.error().message;
      EXPECT_EQ(loaded->metadata[0], (Metadata{{text, text}}));
    }
  }
}

TEST_F(TableFileTest, CountsLargerThanTheFileAreShortFiles) {
  // Positions of counts in the one-row file: metadata maps, map entries, key length, vector data.
  const Bytes base = one_row_file({{"k", "v"}});
  for (std::size_t offset : {0u, 8u, 16u, 50u}) {
    for (std::uint64_t count :
         {kMax, kMax / 4 + 1, std::uint64_t{1} << 62, std::uint64_t{1} << 40}) {
      Bytes b = base;
      put_u64(b, offset, count);
      EXPECT_EQ(load_error(b), kShort) << "offset " << offset << " count " << count;
    }
  }
  // One element more than the rest of the file holds.
  Bytes b = base;
  put_u64(b, 50, 2);  // 4 + 1 bytes follow: a second float does not fit with the tag
  EXPECT_EQ(load_error(b), kShort);
  put_u64(b, 50, 3);
  EXPECT_EQ(load_error(b), kShort);
}

TEST_F(TableFileTest, HugeCountsInsideHnswAndPqRecords) {
  MetadataVecTable t = filled_table(20, 2, DistanceAlgorithm::L2Sqr, false);
  t.build_hnsw_index(std::nullopt);
  ASSERT_TRUE(t.build_pq_table(0.5f, 4, 2).has_value());
  const Bytes base = saved_bytes(t);
  const HnswLayout at(t);
  // The PQ record: config 41 bytes (train_size present), dim, k, code_len, then the codes.
  const std::size_t pq = at.enter + 18 + 1;
  const std::size_t codes = pq + 41 + 24, models = codes + 16 + 20 * 1;
  for (std::size_t offset :
       {at.vectors + 8, at.level0, at.other, at.other_of[0] - 8, at.lens, at.lens_of[3] - 8,
        at.levels, codes + 8, models, models + 8 + 41 + 8, base.size() - 4 * 32 - 8}) {
    Bytes b = base;
    put_u64(b, offset, kMax - 3);
    EXPECT_EQ(load_error(b), kShort) << "offset " << offset;
  }
}

// ---------------------------------------------------------------------------------------------
// Validation of a loaded table

TEST_F(TableFileTest, FilesWrittenBySaveAlwaysPassValidation) {
  for (DistanceAlgorithm dist : kKinds) {
    MetadataVecTable t = filled_table(64, 7, dist, true);
    for (int step = 0; step < 4; ++step) {
      if (step == 1) {
        ASSERT_TRUE(t.build_pq_table(std::nullopt, 8, 7).has_value());
      }
      if (step == 2) t.build_hnsw_index(20);
      if (step == 3) t.delete_rows({{"tag", "third"}});
      EXPECT_TRUE(table_file::validate(t).has_value());
      const Result<MetadataVecTable> loaded = load_bytes(saved_bytes(t));
      ASSERT_TRUE(loaded.has_value()) << loaded.error().message;
      EXPECT_TRUE(table_file::validate(*loaded).has_value());
    }
  }
}

TEST_F(TableFileTest, FlatPartsThatDisagreeAreRefused) {
  MetadataVecTable t = filled_table(4, 3, DistanceAlgorithm::L2Sqr, true);
  t.metadata.pop_back();
  EXPECT_EQ(load_error(saved_bytes(t)), "Corrupt table file: 3 metadata maps for 4 rows");
  t.metadata.push_back({});
  t.metadata.push_back({});
  EXPECT_EQ(load_error(saved_bytes(t)), "Corrupt table file: 5 metadata maps for 4 rows");

  Encoder dim0;
  dim0.u64(0).u32(0).u32(1).u64(0).u64(0).u8(0);
  EXPECT_EQ(load_error(dim0.b), "Corrupt table file: the vector set has dimension 0");
  Encoder ragged;
  ragged.u64(2).u64(0).u64(0).u32(0).u32(0).u64(3).u64(7);
  for (int i = 0; i < 7; ++i) ragged.f32(1.0f);
  ragged.u8(0);
  EXPECT_EQ(
      load_error(ragged.b),
      "Corrupt table file: the vector set holds 7 elements, not a multiple of its dimension 3");
}

TEST_F(TableFileTest, HnswPartsThatDisagreeAreRefused) {
  MetadataVecTable t = filled_table(60, 3, DistanceAlgorithm::L2Sqr, false, 5);
  t.build_hnsw_index(std::nullopt);
  const HNSWIndex& h = *t.inner.hnsw();
  const HnswLayout at(t);
  const Bytes base = saved_bytes(t);
  ASSERT_TRUE(load_bytes(base).has_value());
  ASSERT_GT(h.stored_links_len(0, 0), 0u);
  std::uint64_t upper = 0, low = 0;  // a node with a level-1 list, and one of level 0
  while (h.level(upper) == 0 || h.stored_links_len(upper, 1) == 0) ++upper;
  while (h.level(low) != 0) ++low;
  const std::uint64_t top = *h.enter_level();
  std::uint64_t below_top = 0;
  while (h.level(below_top) == top) ++below_top;

  using Patch = std::function<void(Bytes&)>;
  const std::string c = "Corrupt table file: ";
  const std::string range = c + "HNSW level multiplier or construction width out of range";
  const std::pair<Patch, std::string> cases[] = {
      {[&](Bytes& b) { put_u64(b, at.config, 4); },
       c + "HNSW dimension 4 for vectors of dimension 3"},
      {[&](Bytes& b) {
         put_u64(b, at.config + 20, 1);
         put_u64(b, at.config + 28, 2);
       },
       c + "HNSW link capacities 1 and 2"},
      {[&](Bytes& b) {
         put_u64(b, at.config + 20, 10001);
         put_u64(b, at.config + 28, 20002);
       },
       c + "HNSW link capacities 10001 and 20002"},
      {[&](Bytes& b) { put_u64(b, at.config + 28, 31); }, c + "HNSW link capacities 16 and 31"},
      {[&](Bytes& b) { put_u64(b, at.config + 28, 16); }, c + "HNSW link capacities 16 and 16"},
      {[&](Bytes& b) { put_u32(b, at.config + 52, std::bit_cast<std::uint32_t>(0.0f)); }, range},
      {[&](Bytes& b) { put_u32(b, at.config + 52, std::bit_cast<std::uint32_t>(-0.5f)); }, range},
      {[&](Bytes& b) { put_u32(b, at.config + 52, std::bit_cast<std::uint32_t>(kNaN)); }, range},
      {[&](Bytes& b) { put_u32(b, at.config + 52, std::bit_cast<std::uint32_t>(kInf)); }, range},
      {[&](Bytes& b) { put_u64(b, at.config + 36, 0); }, range},
      {[&](Bytes& b) { put_u64(b, at.vectors, 0); }, c + "the HNSW vector set has dimension 0"},
      {[&](Bytes& b) { put_u64(b, at.vectors, 7); },
       c + "the HNSW vector set holds 180 elements, not a multiple of its dimension 7"},
      {[&](Bytes& b) { put_u32(b, at.level0_slot(0, 0, 32), 60); },
       c + "HNSW node 0 links to node 60 on level 0"},
      {[&](Bytes& b) { put_u32(b, at.level0_slot(0, 0, 32), 0xFFFFFFFFu); },
       c + "HNSW node 0 links to node 4294967295 on level 0"},
      {[&](Bytes& b) { put_u32(b, at.other_of[upper], static_cast<std::uint32_t>(low)); },
       c + "HNSW node " + std::to_string(upper) + " links to node " + std::to_string(low) +
           " on level 1"},
      {[&](Bytes& b) { put_u64(b, at.lens_of[0], 33); }, c + "HNSW node 0 has 33 links on level 0"},
      {[&](Bytes& b) { put_u64(b, at.lens_of[upper] + 8, 17); },
       c + "HNSW node " + std::to_string(upper) + " has 17 links on level 1"},
      {[&](Bytes& b) { put_u64(b, at.lens_of[1], kMax); },
       c + "HNSW node 1 has " + std::to_string(kMax) + " links on level 0"},
      {[&](Bytes& b) { put_u64(b, at.levels + 8 + 8 * low, 1); },
       c + "HNSW node " + std::to_string(low) + " of level 1 has 0 upper slots and 1 link counts"},
      {[&](Bytes& b) { put_u64(b, at.enter + 10, below_top); },
       c + "HNSW entry point inconsistent with the nodes"},
      {[&](Bytes& b) { put_u64(b, at.enter + 10, 60); },
       c + "HNSW entry point inconsistent with the nodes"},
      {[&](Bytes& b) { put_u64(b, at.enter + 1, top + 1); },
       c + "HNSW entry point inconsistent with the nodes"},
  };
  for (const auto& [patch, message] : cases) {
    Bytes b = base;
    patch(b);
    EXPECT_EQ(load_error(b), message);
  }
  // Entry point absent with nodes present: the tags shrink the record by 16 bytes.
  Bytes b(base.begin(), base.begin() + static_cast<std::ptrdiff_t>(at.enter));
  b.insert(b.end(), {0, 0, 0});
  EXPECT_EQ(load_error(b), c + "HNSW entry point inconsistent with the nodes");
  // An empty index with an entry point.
  EXPECT_EQ(load_error(empty_hnsw_file(h.config(), true)),
            c + "HNSW entry point inconsistent with the nodes");
  EXPECT_EQ(load_error(empty_hnsw_file(h.config(), false)), "<loaded>");
}

// Links are checked over many nodes at once; the one reported is still the first bad link in
// node order, and within a node in level order. Slots past a list's count are not links.
TEST_F(TableFileTest, TheFirstBadLinkInNodeOrderIsReported) {
  constexpr std::uint32_t kNodes = 30000;
  GraphFile base;
  for (std::uint32_t i = 0; i < kNodes; ++i) base.level0.push_back({(i + 1) % kNodes});
  base.level1 = {{0, {20000}}, {20000, {0}}};
  using Change = std::function<void(GraphFile&)>;
  const std::string c = "Corrupt table file: HNSW node ";
  const std::pair<Change, std::string> cases[] = {
      {[](GraphFile&) {}, "<loaded>"},
      {[](GraphFile& g) { g.filler = 0xFFFFFFFFu; }, "<loaded>"},
      {[](GraphFile& g) {
         g.level0[25000] = {25001, 30000};
       },
       c + "25000 links to node 30000 on level 0"},
      {[](GraphFile& g) {
         g.level0[29999] = {0, 1, 2, 40000};
       },
       c + "29999 links to node 40000 on level 0"},
      {[](GraphFile& g) {
         g.level0[25000] = {30000};
         g.level0[100] = {0xFFFFFFFFu};
       },
       c + "100 links to node 4294967295 on level 0"},
      {[](GraphFile& g) {
         g.level0[29999] = {30000};
         g.level1[20000] = {5};
       },
       c + "20000 links to node 5 on level 1"},
      {[](GraphFile& g) {
         g.level0[20000] = {1, 30001};
         g.level1[20000] = {7};
       },
       c + "20000 links to node 30001 on level 0"},
  };
  for (const auto& [change, message] : cases) {
    GraphFile g = base;
    change(g);
    EXPECT_EQ(load_error(g.encode()), message);
  }
}

TEST_F(TableFileTest, PqPartsThatDisagreeAreRefused) {
  using Change = std::function<void(PQParts&)>;
  const std::string c = "Corrupt table file: PQ table ";
  const std::pair<Change, std::string> cases[] = {
      {[](PQParts& p) { p.encoded_vec_set = VecSet<std::uint8_t>(3, PodVec<std::uint8_t>(9 * 3)); },
       c + "with 9 codes for 10 rows"},
      {[](PQParts& p) {
         p.encoded_vec_set = VecSet<std::uint8_t>(3, PodVec<std::uint8_t>(11 * 3));
       },
       c + "with 11 codes for 10 rows"},
      {[](PQParts& p) { p.config.n_bits = 6; }, c + "with 6-bit codes"},
      {[](PQParts& p) { p.k = 16; }, c + "with 16 centroids per sub-space"},
      {[](PQParts& p) { p.dim = 5; }, c + "of dimension 5 for a table of dimension 4"},
      {[](PQParts& p) { p.config.dist = DistanceAlgorithm::Cosine; },
       c + "for another distance than the table's"},
      {[](PQParts& p) { p.config.m = 0; }, c + "with 0 sub-spaces"},
      {[](PQParts& p) { p.config.m = 5; }, c + "with 5 sub-spaces"},
      {[](PQParts& p) { p.config.m = 2; }, c + "with codes of 3 bytes"},
      {[](PQParts& p) { p.code_len = 2; }, c + "with codes of 3 bytes"},
      {[](PQParts& p) { p.encoded_vec_set = VecSet<std::uint8_t>(1, PodVec<std::uint8_t>(10)); },
       c + "with codes of 1 bytes"},
      {[](PQParts& p) { p.kmeans.pop_back(); }, c + "with 2 models for 3 sub-spaces"},
      {[](PQParts& p) { p.kmeans.push_back(p.kmeans[0]); }, c + "with 4 models for 3 sub-spaces"},
      {[](PQParts& p) { p.kmeans[1].centroids = VecSet<float>(1, PodVec<float>(255)); },
       c + "model 1 does not fit its sub-space"},
      {[](PQParts& p) { p.kmeans[0].centroids = VecSet<float>(1, PodVec<float>(256)); },
       c + "model 0 does not fit its sub-space"},
      {[](PQParts& p) { p.centroid_sq_norms.truncate(767); }, c + "with 767 centroid norms"},
  };
  for (bool hnsw : {false, true}) {
    MetadataVecTable t = filled_table(10, 4, DistanceAlgorithm::L2Sqr, true);
    if (hnsw) t.build_hnsw_index(std::nullopt);
    ASSERT_TRUE(t.build_pq_table(0.5f, 8, 3).has_value());  // sub-spaces of 2, 1 and 1
    const PQTable good = *t.pq_table;
    for (const auto& [change, message] : cases) {
      *t.pq_table = good;
      change(t.pq_table->TEST_parts());
      EXPECT_EQ(load_error(saved_bytes(t)), message) << (hnsw ? "hnsw" : "flat");
    }
  }
}

// Settings of a graph that no check refuses: a table loaded with them must keep working.
TEST_F(TableFileTest, AcceptedGraphSettingsKeepEveryOperationWorking) {
  MetadataVecTable t = filled_table(80, 3, DistanceAlgorithm::Cosine, true);
  t.build_hnsw_index(std::nullopt);
  const HnswLayout at(t);
  const Bytes base = saved_bytes(t);
  struct Case {
    const char* what;
    std::size_t offset;
    std::uint64_t value;
    int width;
  };
  const Case cases[] = {
      {"max_elements 0", at.config + 12, 0, 8},
      {"max_elements max", at.config + 12, kMax, 8},
      {"ef_construction 1", at.config + 36, 1, 8},
      {"ef_construction huge", at.config + 36, std::uint64_t{1} << 62, 8},
      {"ef_search 0", at.config + 44, 0, 8},
      {"ef_search huge", at.config + 44, kMax, 8},
      {"parallel_threshold 0", at.config + 56, 0, 8},
      {"parallel_threshold max", at.config + 56, kMax, 8},
      {"num_deleted max", at.num_deleted, kMax, 8},
      {"level multiplier tiny", at.config + 52, std::bit_cast<std::uint32_t>(1e-30f), 4},
      {"level multiplier 1 / ln 2", at.config + 52,
       std::bit_cast<std::uint32_t>(1.0f / std::log(2.0f)), 4},
  };
  const std::vector<float> q = {0.3f, -0.2f, 0.9f};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes b = base;
    if (c.width == 8) {
      put_u64(b, c.offset, c.value);
    } else {
      put_u32(b, c.offset, static_cast<std::uint32_t>(c.value));
    }
    Result<MetadataVecTable> loaded = load_bytes(b);
    ASSERT_TRUE(loaded.has_value()) << loaded.error().message;
    MetadataVecTable& l = *loaded;
    std::string failure;
    try {
      failure = failure_of([&] {
        EXPECT_EQ(l.search(q, 5, std::nullopt, std::nullopt).size(), 5u);
        EXPECT_EQ(l.search(q, 5, 10, std::nullopt).size(), 5u);
        l.add(q, {{"id", "new"}});
        const auto rows = random_rows(3, 3, 2);
        const std::vector<std::span<const float>> spans(rows.begin(), rows.end());
        l.batch_add(spans, std::vector<Metadata>(3));
        EXPECT_EQ(l.len(), 84u);
        EXPECT_EQ(l.search(q, 5, std::nullopt, std::nullopt).size(), 5u);
        ASSERT_TRUE(save_file(l, path("again.bin")).has_value());
        ASSERT_TRUE(l.build_pq_table(std::nullopt, std::nullopt, std::nullopt).has_value());
        EXPECT_EQ(l.search(q, 5, 10, std::nullopt).size(), 5u);
        EXPECT_EQ(l.delete_rows({{"tag", "third"}}), 27u);
      });
    } catch (const std::exception& e) {
      failure = std::string("exception: ") + e.what();
    }
    EXPECT_EQ(failure, kNoFailure);
  }
}

// A level multiplier above 1 / ln 2 (which no M >= 2 gives) would make the level drawn for the
// next row saturate: such files are refused.
TEST_F(TableFileTest, LevelMultiplierAboveAnyM) {
  MetadataVecTable t = filled_table(30, 2, DistanceAlgorithm::L2Sqr, false);
  t.build_hnsw_index(std::nullopt);
  const HnswLayout at(t);
  const Bytes base = saved_bytes(t);
  for (float multiplier : {1e30f, std::numeric_limits<float>::max()}) {
    SCOPED_TRACE(multiplier);
    Bytes b = base;
    put_u32(b, at.config + 52, std::bit_cast<std::uint32_t>(multiplier));
    Result<MetadataVecTable> loaded = load_bytes(b);
    ASSERT_FALSE(loaded.has_value());
    EXPECT_EQ(loaded.error().message,
              "Corrupt table file: HNSW level multiplier or construction width out of range");
  }
}

}  // namespace
}  // namespace quillmere
