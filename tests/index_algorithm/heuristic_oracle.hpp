// The neighbour-selection heuristic in its plainest form: the oracle the graph's own selection
// and the reference insertion of the HNSW tests are checked against.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "index_algorithm/candidate_pair.hpp"

namespace quillmere::testing_support {

// Walks the members of `set` in ascending order and keeps a candidate when its distance to
// every entry kept before it is at least its own distance (numerically, so a NaN on either side
// drops it); stops at m entries. dist(a, b) gives the distance between rows.
template <class Dist>
std::vector<CandidatePair> heuristic(const ResultSet& set, std::uint64_t m, Dist&& dist) {
  std::vector<CandidatePair> result;
  result.reserve(std::min<std::uint64_t>(m, set.size()));
  for (const CandidatePair& c : set.members()) {
    if (result.size() >= m) break;
    bool keep = true;
    for (const CandidatePair& s : result) {
      if (!(dist(c.index, s.index) >= c.distance)) {
        keep = false;
        break;
      }
    }
    if (keep) result.push_back(c);
  }
  return result;
}

}  // namespace quillmere::testing_support
