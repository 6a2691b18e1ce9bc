// Mutation fuzzing of the table file: every damaged file is either refused with an error value,
// or loads into a table on which every operation runs without an internal failure.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/failure.hpp"
#include "database/metadata_vec_table.hpp"
#include "database/table_file.hpp"
#include "database/file_support.hpp"
#include "test_support.hpp"

namespace quillmere {
namespace {

using testing_support::load_table_file;
using testing_support::random_rows;
using testing_support::save_file;

using Bytes = std::vector<std::uint8_t>;

#if defined(__SANITIZE_ADDRESS__)
constexpr int kMutationsPerFile = 400;
#else
constexpr int kMutationsPerFile = 3000;
#endif

// A value of the file that says how much follows or where to look: its offset and width.
struct Field {
  std::size_t at;
  int width;  // 1, 4 or 8 bytes; -4 for a 32-bit float setting
};

// A sequence of fixed-size elements: where its count and its first element lie.
struct Sequence {
  std::size_t count_at, data_at;
  std::uint64_t count, element;
};

// The fields of a valid file, found by walking it by the layout.
struct FieldMap {
  std::vector<Field> header;       // counts, dimensions, settings, tags, variants, entry point
  std::vector<Field> per_node;     // per-node sequence counts, levels, string lengths
  std::vector<Field> link_counts;  // HNSW used-slot counts
  std::vector<Field> links;        // HNSW link slots
  std::vector<Sequence> sequences;
  std::uint64_t nodes = 0;
};

class Walker {
 public:
  explicit Walker(const Bytes& b) : b_(b) {}

  FieldMap walk() {
    const std::uint64_t maps = u64(map_.header);
    for (std::uint64_t i = 0; i < maps; ++i) {
      const std::uint64_t entries = u64(map_.per_node);
      for (std::uint64_t e = 0; e < 2 * entries; ++e) pos_ += u64(map_.per_node);
    }
    if (u32(map_.header) == 0) {
      u32(map_.header);
      vec_set(4);
    } else {
      hnsw();
    }
    if (u8(map_.header) == 1) pq();
    EXPECT_EQ(pos_, b_.size());
    return map_;
  }

 private:
  std::uint64_t read(std::size_t width) {
    std::uint64_t v = 0;
    std::memcpy(&v, b_.data() + pos_, width);
    pos_ += width;
    return v;
  }
  std::uint64_t u64(std::vector<Field>& into) {
    into.push_back({pos_, 8});
    return read(8);
  }
  std::uint64_t u32(std::vector<Field>& into) {
    into.push_back({pos_, 4});
    return read(4);
  }
  std::uint64_t u8(std::vector<Field>& into) {
    into.push_back({pos_, 1});
    return read(1);
  }
  void f32(std::vector<Field>& into) {
    into.push_back({pos_, -4});
    pos_ += 4;
  }
  void opt_u64() {
    if (u8(map_.header) == 1) u64(map_.header);
  }
  // A sequence's count (into `into`) and its elements, skipped or recorded with `each`.
  std::uint64_t sequence(std::vector<Field>& into, std::uint64_t element,
                         std::vector<Field>* each = nullptr) {
    const std::size_t count_at = pos_;
    const std::uint64_t count = u64(into);
    map_.sequences.push_back({count_at, pos_, count, element});
    if (each == nullptr) {
      pos_ += element * count;
    } else {
      for (std::uint64_t i = 0; i < count; ++i) {
        each->push_back({pos_, static_cast<int>(element)});
        pos_ += element;
      }
    }
    return count;
  }
  void vec_set(std::size_t element) {
    u64(map_.header);
    sequence(map_.header, element);
  }
  void hnsw() {
    u64(map_.header);
    u32(map_.header);
    for (int i = 0; i < 5; ++i) u64(map_.header);
    f32(map_.header);
    u64(map_.header);
    vec_set(4);
    sequence(map_.header, 4, &map_.links);
    map_.nodes = u64(map_.header);
    for (std::uint64_t n = 0; n < map_.nodes; ++n) sequence(map_.per_node, 4, &map_.links);
    u64(map_.header);
    for (std::uint64_t n = 0; n < map_.nodes; ++n) sequence(map_.per_node, 8, &map_.link_counts);
    sequence(map_.header, 8, &map_.per_node);
    u64(map_.header);
    opt_u64();
    opt_u64();
  }
  void pq() {
    u64(map_.header);
    u64(map_.header);
    u32(map_.header);
    opt_u64();
    u64(map_.header);
    f32(map_.header);
    for (int i = 0; i < 3; ++i) u64(map_.header);
    vec_set(1);
    const std::uint64_t models = u64(map_.header);
    for (std::uint64_t g = 0; g < models; ++g) {
      u64(map_.header);
      u64(map_.header);
      f32(map_.header);
      u32(map_.header);
      if (u8(map_.header) == 1) {
        u64(map_.header);
        u64(map_.header);
      }
      vec_set(4);
    }
    sequence(map_.header, 4);
  }

  const Bytes& b_;
  std::size_t pos_ = 0;
  FieldMap map_;
};

// Deterministic damage to a file.
class Mutator {
 public:
  Mutator(const FieldMap& fields, std::uint64_t seed) : f_(fields), rng_(seed) {}

  // Applies one to three mutations; answers what was done.
  std::string mutate(Bytes& b) {
    std::string what;
    const int times = pick(0, 9) < 7 ? 1 : pick(2, 3);
    for (int t = 0; t < times && !b.empty(); ++t) what += one(b) + "; ";
    return what;
  }

 private:
  std::uint64_t pick(std::uint64_t lo, std::uint64_t hi) {
    return std::uniform_int_distribution<std::uint64_t>(lo, hi)(rng_);
  }
  std::uint64_t interesting_integer(std::uint64_t old) {
    const std::uint64_t n = f_.nodes;
    const std::uint64_t values[] = {0,
                                    1,
                                    2,
                                    3,
                                    4,
                                    15,
                                    16,
                                    17,
                                    31,
                                    32,
                                    33,
                                    n - 1,
                                    n,
                                    n + 1,
                                    old - 1,
                                    old + 1,
                                    old + 1,
                                    old * 2,
                                    old / 2,
                                    255,
                                    256,
                                    10000,
                                    10001,
                                    20000,
                                    20002,
                                    std::uint64_t{1} << 31,
                                    0xFFFFFFFFu,
                                    std::uint64_t{1} << 32,
                                    std::uint64_t{1} << 62,
                                    std::uint64_t{1} << 63,
                                    std::numeric_limits<std::uint64_t>::max(),
                                    std::numeric_limits<std::uint64_t>::max() / 4 + 1,
                                    pick(0, 64),
                                    pick(0, std::numeric_limits<std::uint64_t>::max())};
    return values[pick(0, std::size(values) - 1)];
  }
  float interesting_float() {
    const float values[] = {0.0f,
                            -0.0f,
                            -1.0f,
                            1.0f,
                            0.5f,
                            4.0f,
                            1e-30f,
                            1e3f,
                            1e30f,
                            std::numeric_limits<float>::max(),
                            std::numeric_limits<float>::denorm_min(),
                            std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity()};
    return values[pick(0, std::size(values) - 1)];
  }
  static std::uint64_t get(const Bytes& b, std::size_t at, std::size_t width) {
    std::uint64_t v = 0;
    std::memcpy(&v, b.data() + at, width);
    return v;
  }
  static void set(Bytes& b, std::size_t at, std::size_t width, std::uint64_t v) {
    std::memcpy(b.data() + at, &v, std::min(width, b.size() - at));
  }
  std::string overwrite_field(Bytes& b, const std::vector<Field>& fields, const char* kind) {
    const Field f = fields[pick(0, fields.size() - 1)];
    if (f.at >= b.size()) return "none";
    if (f.width == -4) {
      const float v = interesting_float();
      set(b, f.at, 4, std::bit_cast<std::uint32_t>(v));
      return std::string(kind) + " float at " + std::to_string(f.at) + " = " + std::to_string(v);
    }
    const std::size_t width = static_cast<std::size_t>(f.width);
    const std::uint64_t v = interesting_integer(get(b, f.at, std::min(width, b.size() - f.at)));
    set(b, f.at, width, v);
    return std::string(kind) + " at " + std::to_string(f.at) + " = " + std::to_string(v);
  }

  // Removes or repeats elements of a sequence and sets its count to match, so that the file
  // still parses and only the parts disagree. Earlier mutations may have moved the bytes.
  std::string resize_sequence(Bytes& b) {
    const Sequence& q = f_.sequences[pick(0, f_.sequences.size() - 1)];
    const std::uint64_t n = std::uint64_t{1} << pick(0, 5);
    const std::size_t bytes = static_cast<std::size_t>(n * q.element);
    if (q.data_at > b.size()) return "none";
    const bool shrink = pick(0, 1) == 0;
    if (shrink) {
      if (n > q.count || q.data_at + bytes > b.size()) return "none";
      const std::size_t from =
          q.data_at + static_cast<std::size_t>(pick(0, q.count - n) * q.element);
      if (from + bytes > b.size()) return "none";  // earlier mutations shortened the file
      b.erase(b.begin() + static_cast<std::ptrdiff_t>(from),
              b.begin() + static_cast<std::ptrdiff_t>(from + bytes));
      set(b, q.count_at, 8, q.count - n);
    } else {
      Bytes extra(bytes);
      for (auto& x : extra) x = static_cast<std::uint8_t>(pick(0, 3) == 0 ? pick(0, 255) : 0);
      b.insert(b.begin() + static_cast<std::ptrdiff_t>(q.data_at), extra.begin(), extra.end());
      set(b, q.count_at, 8, q.count + n);
    }
    return std::string(shrink ? "remove " : "add ") + std::to_string(n) +
           " elements of the sequence at " + std::to_string(q.count_at);
  }

  std::string one(Bytes& b) {
    const std::size_t at = pick(0, b.size() - 1);
    switch (pick(0, 11)) {
      case 0:
        b[at] ^= static_cast<std::uint8_t>(1u << pick(0, 7));
        return "flip bit at " + std::to_string(at);
      case 1: {
        const std::size_t n = std::min<std::size_t>(pick(1, 4), b.size() - at);
        for (std::size_t i = 0; i < n; ++i) b[at + i] = static_cast<std::uint8_t>(pick(0, 255));
        return "random bytes at " + std::to_string(at);
      }
      case 2: {
        const std::size_t n = pick(1, 16);
        for (std::size_t i = 0; i < n; ++i)
          b.insert(b.begin() + static_cast<std::ptrdiff_t>(at),
                   static_cast<std::uint8_t>(pick(0, 255)));
        return "insert " + std::to_string(n) + " at " + std::to_string(at);
      }
      case 3: {
        const std::size_t n = std::min<std::size_t>(pick(1, 16), b.size() - at);
        b.erase(b.begin() + static_cast<std::ptrdiff_t>(at),
                b.begin() + static_cast<std::ptrdiff_t>(at + n));
        return "delete " + std::to_string(n) + " at " + std::to_string(at);
      }
      case 4:
        b.resize(at);
        return "truncate to " + std::to_string(at);
      case 5: {
        const std::uint64_t v = interesting_integer(0);
        set(b, at, 8, v);
        return "word at " + std::to_string(at) + " = " + std::to_string(v);
      }
      case 6:
      case 7:
        return overwrite_field(b, f_.header, "header field");
      case 8:
        if (f_.per_node.empty()) return overwrite_field(b, f_.header, "header field");
        return overwrite_field(b, f_.per_node, "node field");
      case 9:
        if (f_.links.empty()) return overwrite_field(b, f_.header, "header field");
        return overwrite_field(b, f_.links, "link");
      case 10:
        if (f_.link_counts.empty()) return overwrite_field(b, f_.header, "header field");
        return overwrite_field(b, f_.link_counts, "link count");
      default:
        return resize_sequence(b);
    }
  }

  const FieldMap& f_;
  std::mt19937_64 rng_;
};

MetadataVecTable base_table(std::size_t n, DistanceAlgorithm dist, bool hnsw, bool pq) {
  Result<MetadataVecTable> t = MetadataVecTable::create(4, dist);
  EXPECT_TRUE(t.has_value());
  t->rng = testing_support::fixed_rng(11);
  const auto rows = random_rows(n, 4, 21);
  for (std::size_t i = 0; i < n; ++i) {
    Metadata m;
    if (i % 3 == 0) m["tag"] = "third";
    if (i % 50 == 0) m["id"] = std::to_string(i);
    t->add(rows[i], std::move(m));
  }
  if (hnsw) t->build_hnsw_index(std::nullopt);
  if (pq) {
    EXPECT_TRUE(t->build_pq_table(0.5f, std::nullopt, std::nullopt).has_value());
  }
  return std::move(*t);
}

class TableFileFuzz : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override { dir_ = scratch_.make("quillmere_fuzz"); }

  static Bytes read_bytes(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static void write_bytes(const std::string& p, const Bytes& b) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  }

  testing_support::ScratchDir scratch_;  // removed last, after everything in it is closed
  std::string dir_;
};

// Every operation a loaded table offers; the first internal failure or exception, or empty.
std::string exercise(MetadataVecTable& t, const std::string& dir) {
  try {
    return testing_support::failure_of([&] {
      std::vector<float> q(t.dim(), 0.25f);
      for (std::size_t i = 0; i < q.size(); ++i) q[i] = static_cast<float>(i % 3) - 0.5f;
      const auto a = t.search(q, 5, std::nullopt, std::nullopt);
      const auto b = t.search(q, 5, 64, std::nullopt);  // through the PQ table when one is loaded
      const auto c = t.search(q, 3, 1, 0.5f);
      if (a.size() > 5 || b.size() > 5 || c.size() > 3)
        throw std::runtime_error("too many answers");
      if (t.extract_data().size() != t.len()) throw std::runtime_error("extract_data lost rows");
      const Result<void> saved = save_file(t, dir + "/resaved.bin");
      if (!saved) throw std::runtime_error("save failed: " + saved.error().message);
      const Result<MetadataVecTable> again = load_table_file(dir + "/resaved.bin");
      if (!again) throw std::runtime_error("a saved table does not load: " + again.error().message);
      const std::uint64_t rows = t.len();
      t.add(q, {{"tag", "third"}});
      if (t.len() != rows + 1 || t.metadata.size() != rows + 1)
        throw std::runtime_error("add lost a row");
      const Result<void> pq = t.build_pq_table(std::nullopt, std::nullopt, std::nullopt);
      if (!pq) throw std::runtime_error("build_pq_table: " + pq.error().message);
      t.search(q, 4, 8, std::nullopt);
      const std::uint64_t removed = t.delete_rows({{"tag", "third"}});
      if (removed == 0 || t.len() != rows + 1 - removed)
        throw std::runtime_error("delete_rows miscounted");
      t.search(q, 4, std::nullopt, std::nullopt);
      if (!save_file(t, dir + "/after.bin"))
        throw std::runtime_error("save after the changes failed");
    });
  } catch (const std::exception& e) {
    return std::string("exception: ") + e.what();
  }
}

TEST_P(TableFileFuzz, DamagedFilesAreRefusedOrLoadIntoAWorkingTable) {
  const int variant = GetParam();
  const bool hnsw = variant >= 2, pq = variant % 2 == 1;
  const MetadataVecTable table =
      base_table(hnsw ? 1200 : 60,
                 variant == 1 ? DistanceAlgorithm::Cosine : DistanceAlgorithm::L2Sqr, hnsw, pq);
  const std::string valid = dir_ + "/valid.bin", damaged = dir_ + "/damaged.bin";
  ASSERT_TRUE(save_file(table, valid).has_value());
  const Bytes original = read_bytes(valid);
  const FieldMap fields = Walker(original).walk();
  ASSERT_FALSE(fields.header.empty());
  {
    Result<MetadataVecTable> loaded = load_table_file(valid);
    ASSERT_TRUE(loaded.has_value());
    ASSERT_EQ(exercise(*loaded, dir_), testing_support::kNoFailure);
  }

  Mutator mutator(fields, 0x5eed0000u + static_cast<std::uint64_t>(variant));
  int refused = 0, accepted = 0, failures = 0;
  for (int i = 0; i < kMutationsPerFile; ++i) {
    Bytes b = original;
    const std::string what = mutator.mutate(b);
    write_bytes(damaged, b);
    Result<MetadataVecTable> loaded = load_table_file(damaged);
    if (!loaded) {
      ++refused;
      const std::string& m = loaded.error().message;
      const bool known_kind = m == "io error: failed to fill whole buffer" ||
                              m.starts_with("Corrupt table file: ") ||
                              m.starts_with("invalid value: integer `") ||
                              m.starts_with("tag for enum is not valid, found ") ||
                              m.starts_with("string is not valid utf8: ");
      EXPECT_TRUE(known_kind) << what << ": " << m;
      continue;
    }
    ++accepted;
    const std::string failure = exercise(*loaded, dir_);
    if (failure == testing_support::kNoFailure) continue;
    ADD_FAILURE() << "mutation " << i << " (" << what << ") loaded, then: " << failure;
    if (++failures >= 10) break;
  }
  RecordProperty("refused", refused);
  RecordProperty("accepted", accepted);
  EXPECT_GT(refused, kMutationsPerFile / 10);
  EXPECT_GT(accepted, 0);
}

std::string file_name(const ::testing::TestParamInfo<int>& info) {
  const char* names[] = {"Flat", "FlatCosinePq", "Hnsw", "HnswPq"};
  return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(Files, TableFileFuzz, ::testing::Values(0, 1, 2, 3), file_name);

}  // namespace
}  // namespace quillmere
