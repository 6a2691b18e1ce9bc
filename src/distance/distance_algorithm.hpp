// The two distance kinds a table, an index, a PQ table or a k-means model is built for.
// Smaller distances mean nearer vectors everywhere.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.hpp"

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

// The names callers choose a kind by, "l2sqr" and "cosine": parsed exactly (no case folding, no
// blanks), anything else "Invalid distance function"; and printed back the same way.
inline constexpr std::string_view kInvalidDistance = "Invalid distance function";
inline Result<DistanceAlgorithm> parse_distance(std::string_view text) {
  if (text == "l2sqr") return DistanceAlgorithm::L2Sqr;
  if (text == "cosine") return DistanceAlgorithm::Cosine;
  return make_error(ErrorKind::UnknownOption, std::string(kInvalidDistance));
}
constexpr std::string_view option_name(DistanceAlgorithm d) {
  return d == DistanceAlgorithm::L2Sqr ? "l2sqr" : "cosine";
}

}  // namespace quillmere
