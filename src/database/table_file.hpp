// The table file: one MetadataVecTable record, every field in declaration order, with no
// header, version or checksum. Little-endian throughout:
//   integers, sizes, counts      u64 (HNSW link ids u32)       floats   IEEE bits, 4 bytes
//   string    u64 byte count, UTF-8 bytes                      sequence u64 count, elements
//   map       u64 count, (key, value) in ascending key order   optional 1 byte 0/1, value
//   enum      u32 variant index, then the variant's fields
// Records (in order): MetadataVecTable = metadata, DynamicIndex inner, optional PQTable.
//   FlatIndex = dist, VecSet.  VecSet = dim, sequence of elements (rows * dim).
//   HNSWIndex = HNSWInnerConfig (64 bytes), VecSet, level0_links (u32, M0 per node),
//     other_links (per node: M u32 per level above 0), links_len (per node: u64 per level from
//     0), vec_level, num_deleted, optional enter_level, optional enter_point.
//   PQTable = PQConfig, dim, k, code_len, VecSet<u8>, sequence of KMeans, centroid_sq_norms.
//   PQConfig = n_bits, m, dist, optional train_size, max_iter, tol.
//   KMeans = KMeansConfig (k, max_iter, tol, dist, optional [start, end)), VecSet centroids.
// Bytes after the record are ignored.
//
// The values go through the buffered codec of byte_codec.hpp, whose reader never reserves more
// than the bytes left in the file can hold (a length that cannot fit fails like a short file).
// A loaded table is validated before anyone uses it.
#pragma once

#include <string>

#include "common/error.hpp"
#include "database/metadata_vec_table.hpp"

namespace quillmere::table_file {

// Writes the table to `out` from its current position; reads one from the start of `in`, which
// must be `in.size()` bytes long. Errors carry the messages of the format ("io error: ...").
Result<void> save(const MetadataVecTable& table, File& out);
Result<MetadataVecTable> load(File& in);

// The consistency checks of a loaded table: "Corrupt table file: ..." on the first failure.
Result<void> validate(const MetadataVecTable& table);

}  // namespace quillmere::table_file
