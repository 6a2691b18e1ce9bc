// DynamicIndex: a table's index, either exhaustive (Flat) or an HNSW graph, switchable at any
// time without losing rows. Whichever variant is present owns the table's vectors.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <variant>

#include "common/random.hpp"
#include "index_algorithm/flat_index.hpp"
#include "index_algorithm/hnsw_index.hpp"

namespace quillmere {

class DynamicIndex {
 public:
  enum Kind : std::uint32_t { Flat = 0, HNSW = 1 };  // the stored variant index

  explicit DynamicIndex(FlatIndex flat) : index_(std::move(flat)) {}
  explicit DynamicIndex(HNSWIndex hnsw) : index_(std::move(hnsw)) {}

  bool is_hnsw() const { return std::holds_alternative<HNSWIndex>(index_); }
  Kind kind() const { return is_hnsw() ? HNSW : Flat; }

  FlatIndex* flat() { return std::get_if<FlatIndex>(&index_); }
  const FlatIndex* flat() const { return std::get_if<FlatIndex>(&index_); }
  HNSWIndex* hnsw() { return std::get_if<HNSWIndex>(&index_); }
  const HNSWIndex* hnsw() const { return std::get_if<HNSWIndex>(&index_); }

  const VecSet<float>& vec_set() const {
    return is_hnsw() ? std::get<HNSWIndex>(index_).vec_set()
                     : std::get<FlatIndex>(index_).vec_set();
  }
  DistanceAlgorithm dist() const {
    return is_hnsw() ? std::get<HNSWIndex>(index_).config().dist
                     : std::get<FlatIndex>(index_).dist();
  }

 private:
  std::variant<FlatIndex, HNSWIndex> index_;
};

}  // namespace quillmere
