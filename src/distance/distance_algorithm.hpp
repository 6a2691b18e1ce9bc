// The two distance kinds a table, an index, a PQ table or a k-means model is built for.
// Smaller distances mean nearer vectors everywhere.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillmere {

enum class DistanceAlgorithm : std::uint8_t {
  L2Sqr = 0,   // squared Euclidean distance
  Cosine = 1,  // 1 - cosine similarity
};

constexpr std::string_view name(DistanceAlgorithm d) {
  return d == DistanceAlgorithm::L2Sqr ? "L2Sqr" : "Cosine";
}

// How equality assertions print a distance kind.
inline std::string debug_text(DistanceAlgorithm d) { return std::string(name(d)); }

}  // namespace quillmere
