// CandidatePair and ResultSet: the bounded, ordered container every search collects its
// answers in, and the two steps that post-process a whole candidate set (the graph's
// neighbour-selection heuristic and the exact re-ranking of quantized candidates).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

namespace quillmere {

// A row number with its distance. Ordered by distance ascending (-0.0 equal to +0.0, every NaN
// after every number and equal to every other NaN), then by row number ascending.
struct CandidatePair {
  std::uint64_t index;
  float distance;

  // Three-way comparison in that order: negative, zero or positive.
  static int cmp(const CandidatePair& a, const CandidatePair& b) {
    if (a.distance < b.distance) return -1;
    if (a.distance > b.distance) return 1;
    const bool a_nan = std::isnan(a.distance), b_nan = std::isnan(b.distance);
    if (a_nan != b_nan) return a_nan ? 1 : -1;
    return a.index < b.index ? -1 : (a.index > b.index ? 1 : 0);
  }
  friend bool operator<(const CandidatePair& a, const CandidatePair& b) { return cmp(a, b) < 0; }
  friend bool operator==(const CandidatePair& a, const CandidatePair& b) { return cmp(a, b) == 0; }
};

// A set of at most k candidate pairs in ascending order; the last member is the worst.
//
// Kept as a sorted array: the worst member is the back, a rejected candidate costs one
// comparison, and an accepted one a binary search and a move of at most k pairs. Inserting a
// pair equal to a member leaves the set as it is, as in an ordered set.
class ResultSet {
 public:
  explicit ResultSet(std::uint64_t k) : k_(k) {}

  std::uint64_t capacity() const { return k_; }
  std::size_t size() const { return set_.size(); }
  bool full() const { return set_.size() >= k_; }
  // The worst member. REQUIRES: size() > 0.
  const CandidatePair& worst() const { return set_.back(); }
  std::span<const CandidatePair> members() const { return set_; }

  // Below capacity every candidate is taken, NaN included; a full set takes only a number
  // smaller than its worst member's distance (any number when that distance is NaN), which it
  // then evicts. Compares distances only: an equal distance is refused whatever the row.
  bool add(std::uint64_t index, float distance) {
    if (set_.size() < k_) {
      insert({index, distance});
      return true;
    }
    if (k_ == 0 || std::isnan(distance)) return false;
    if (distance >= set_.back().distance) return false;
    set_.pop_back();
    insert({index, distance});
    return true;
  }

  // Whether `c` could still improve the set: room left, or `c` orders strictly before the
  // worst member in the full order. A set of capacity 0 admits nothing.
  bool admits(const CandidatePair& c) const {
    if (set_.size() < k_) return true;
    if (k_ == 0) return false;
    return c < set_.back();
  }

  std::vector<CandidatePair> into_sorted_vec() && { return std::move(set_); }

  // Neighbour selection: walks the members in ascending order and keeps a candidate when its
  // distance to every entry kept before it is at least its own distance (numerically, so a NaN
  // on either side drops it); stops at m entries. dist(a, b) gives the distance between rows.
  template <class Dist>
  std::vector<CandidatePair> heuristic(std::uint64_t m, Dist&& dist) && {
    std::vector<CandidatePair> result;
    result.reserve(std::min<std::uint64_t>(m, set_.size()));
    for (const CandidatePair& c : set_) {
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

  // Exact re-ranking: offers every member, in ascending (quantized) order, with its exact
  // distance exact(row) to a new set of capacity k, and answers that set in order. At a tie
  // on the cut-off the member met first (smaller quantized distance) survives.
  template <class Exact>
  std::vector<CandidatePair> pq_resort(std::uint64_t k, Exact&& exact) && {
    ResultSet out(k);
    for (const CandidatePair& c : set_) out.add(c.index, exact(c.index));
    return std::move(out).into_sorted_vec();
  }

 private:
  void insert(const CandidatePair& c) {
    auto at = std::lower_bound(set_.begin(), set_.end(), c);
    if (at != set_.end() && *at == c) return;
    set_.insert(at, c);
  }

  std::uint64_t k_;
  std::vector<CandidatePair> set_;
};

}  // namespace quillmere
