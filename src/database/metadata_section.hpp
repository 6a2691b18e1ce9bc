// The metadata of a table file: a sequence of maps of strings (per map: entry count, then per
// entry: key, value), keys in ascending order. A load reads it in two steps: the section is
// copied out of the file with every count bounded and every string checked, then the maps,
// which take one allocation per entry, are built from the copy without the file, so that a
// caller can build them on the pool while it reads the rest.
#pragma once

#include <cstdint>
#include <vector>

#include "common/allocator.hpp"
#include "database/byte_codec.hpp"
#include "database/metadata_vec_table.hpp"

namespace quillmere::table_file {

void write_metadata(Writer& w, const std::vector<Metadata>& metadata);

class MetadataSection {
 public:
  // Failures as the Reader's (a short file; a string that is not UTF-8).
  static MetadataSection read(Reader& r);

  // The section's size in the file.
  std::size_t size_bytes() const { return bytes_.size(); }
  std::vector<Metadata> build_maps() const;

 private:
  std::uint64_t maps_ = 0;
  PodVec<char> bytes_;  // as in the file, after the map count
};

}  // namespace quillmere::table_file
