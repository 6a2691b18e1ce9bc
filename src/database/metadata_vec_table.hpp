// MetadataVecTable: one table of the database in memory: vectors of one dimension in the
// table's index, one metadata map per row (metadata[i] belongs to row i), an optional PQ table
// that encodes exactly the current rows, and the table's random generator (never stored).
// No lock of its own: the owner runs search and the accessors under a shared lock and every
// other operation under an exclusive one.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "common/random.hpp"
#include "database/directory.hpp"
#include "database/dynamic_index.hpp"
#include "distance/pq_table.hpp"

namespace quillmere {

// Keys ordered byte-wise (std::string compares its bytes as unsigned char).
using Metadata = std::map<std::string, std::string>;

struct MetadataVecTable {
  // What the table's index builds take when the caller leaves them open.
  static constexpr std::uint64_t kDefaultEfConstruction = 200;
  static constexpr std::uint64_t kMaxLinks = 16;  // per node above level 0; twice that on level 0
  static constexpr float kDefaultTrainProportion = 0.1f;
  static constexpr std::uint64_t kDefaultPqBits = 4;
  static constexpr std::uint64_t kPqMaxIter = 20;  // k-means iterations of each sub-space
  static constexpr float kPqTolerance = 1e-6f;

  std::vector<Metadata> metadata;
  DynamicIndex inner;
  std::optional<PQTable> pq_table;
  ChaCha12Rng rng;

  // An empty table with a flat index. A dimension of 0 is refused with an error value.
  static Result<MetadataVecTable> create(std::uint64_t dim, DistanceAlgorithm dist);

  // Adds one row. A vector of another length than the dimension is an internal failure that
  // leaves the table unchanged. Discards the PQ table.
  void add(std::span<const float> vector, Metadata meta);
  // Adds rows in list order; unequal list lengths or a vector of another length are internal
  // failures that leave the table unchanged. Discards the PQ table, even for empty lists.
  void batch_add(std::span<const std::span<const float>> vectors, std::vector<Metadata> metas);

  // Switches to an HNSW index (M 16, construction width `ef_construction` or 200); nothing
  // happens when the index already is one.
  void build_hnsw_index(std::optional<std::uint64_t> ef_construction);
  // Switches back to a flat index over the same rows.
  void clear_hnsw_index();
  // Builds the PQ table unless one is present (then succeeds without looking at the arguments).
  Result<void> build_pq_table(std::optional<float> train_proportion,
                              std::optional<std::uint64_t> n_bits, std::optional<std::uint64_t> m);
  void clear_pq_table() { pq_table.reset(); }

  // Removes every row whose metadata holds every (key, value) of `pattern`; answers how many.
  // Always leaves a flat index and no PQ table.
  std::uint64_t delete_rows(const Metadata& pattern);

  // The k nearest rows, each with a copy of its metadata; those farther than `upper_bound` (or
  // at a NaN distance) are dropped afterwards. With `ef` and a PQ table, the index gathers
  // max(ef, k) candidates by quantized distance and re-ranks them exactly; otherwise a graph
  // searches with width max(ef or its default width, k), and a flat index scans every row.
  std::vector<std::pair<Metadata, float>> search(std::span<const float> query, std::uint64_t k,
                                                 std::optional<std::uint64_t> ef,
                                                 std::optional<float> upper_bound) const;

  std::uint64_t len() const { return inner.vec_set().len(); }
  std::uint64_t dim() const { return inner.vec_set().dim(); }
  DistanceAlgorithm dist() const { return inner.dist(); }
  bool has_hnsw_index() const { return inner.is_hnsw(); }
  bool has_pq_table() const { return pq_table.has_value(); }
  // Every row in row order: a copy of its vector with a copy of its metadata.
  std::vector<std::pair<std::vector<float>, Metadata>> extract_data() const;

  // The table file (see table_file.hpp for the bytes): written through an 8192-byte buffer,
  // read back with every length bounded by the file and the result validated.
  // The file is written and read as it stands; Directory::replace makes a save crash-safe.
  Result<void> save(File& out) const;
  static Result<MetadataVecTable> load(File& in);
};

}  // namespace quillmere
