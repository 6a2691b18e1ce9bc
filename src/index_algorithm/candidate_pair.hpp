// CandidatePair and ResultSet: the bounded, ordered container every search collects its
// answers in, and the exact re-ranking of a set of quantized candidates.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

namespace quillmere {

// A row number with its distance. Ordered by distance ascending (-0.0 equal to +0.0, every NaN
// after every number and equal to every other NaN), then by row number ascending.
//
// The pair carries its distance's order key, computed when the pair is made (the fields are
// never assigned afterwards): the heaps and sorts of the searches compare little else, and a
// key compares in one instruction where the floating-point order takes several with branches.
struct CandidatePair {
  std::uint64_t index = 0;
  float distance = 0.0f;
  std::uint32_t key = order_key(distance);

  // The distance as an unsigned key in the same order: -0.0 and +0.0 alike, every NaN one key
  // above every number.
  static std::uint32_t order_key(float d) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(d + 0.0f);  // -0.0 + 0.0 = +0.0
    const std::uint32_t k = (bits >> 31) != 0 ? ~bits : bits | 0x80000000u;
    return std::isnan(d) ? 0xFFFFFFFFu : k;
  }
  // The one definition of the order, without branches: which side wins a comparison of a
  // search cannot be predicted.
  friend bool operator<(const CandidatePair& a, const CandidatePair& b) {
    return (a.key < b.key) | ((a.key == b.key) & (a.index < b.index));
  }
  friend bool operator==(const CandidatePair& a, const CandidatePair& b) {
    return a.key == b.key && a.index == b.index;
  }
};

// A set of at most k candidate pairs in ascending order; the worst member is the last.
//
// Two representations behind one behaviour:
// - an ordered set (ResultSet(k)): a sorted array, where inserting a pair equal to a member
//   leaves the set as it is. An accepted candidate costs a binary search and a move of up to k
//   pairs: for the small sets of graph updates, and for callers that may offer a row twice.
// - a set of distinct rows (ResultSet::of_distinct_rows(k)), for callers that never offer the
//   same row twice (a scan, a search with a visited set), where no two pairs can be equal: the
//   pairs are appended until the set is full, then kept as a max-heap whose front is the worst,
//   so an accepted candidate costs O(log k), and the ascending order is made once, when the
//   members are asked for. A set that never fills (k at or above the rows offered) costs one
//   sort at the end, and nothing is reserved in proportion to k.
// Both accept, reject and evict the same candidates in every case.
class ResultSet {
 public:
  explicit ResultSet(std::uint64_t k) : k_(k), distinct_(false) {}
  static ResultSet of_distinct_rows(std::uint64_t k) {
    ResultSet set(k);
    set.distinct_ = true;
    return set;
  }
  // Either kind, keeping its members in `storage` (emptied first, its capacity kept): with room
  // for every member it will hold, adding allocates nothing. into_sorted_vec hands the storage
  // back for the next set.
  static ResultSet in_storage(std::uint64_t k, bool distinct_rows,
                              std::vector<CandidatePair>&& storage) {
    ResultSet set(k);
    set.distinct_ = distinct_rows;
    set.set_ = std::move(storage);
    set.set_.clear();
    return set;
  }

  std::uint64_t capacity() const { return k_; }
  std::size_t size() const { return set_.size(); }
  bool full() const { return set_.size() >= k_; }
  // The worst member. REQUIRES: size() > 0.
  const CandidatePair& worst() const {
    if (!distinct_) return set_.back();
    as_heap();
    return set_.front();
  }
  // The members in ascending order.
  std::span<const CandidatePair> members() const {
    as_sorted();
    return set_;
  }

  // Below capacity every candidate is taken, NaN included; a full set takes only a number
  // smaller than its worst member's distance (any number when that distance is NaN), which it
  // then evicts. Compares distances only: an equal distance is refused whatever the row.
  bool add(std::uint64_t index, float distance) {
    if (set_.size() >= k_) {
      // Full (or of capacity 0): the one test most offers of a long scan stop at.
      if (!beats(distance, bound_)) return false;
      if (distinct_) {
        // Replace the front (the worst) and restore the heap below it.
        as_heap();
        replace_front({index, distance});
      } else {
        // A pair equal to a member (a repeated link) is found before the worst is evicted:
        // the set stays as it is, and still answers taken, as below capacity.
        const CandidatePair c{index, distance};
        const auto at = std::lower_bound(set_.begin(), set_.end(), c);
        if (at != set_.end() && *at == c) return true;
        const std::ptrdiff_t offset = at - set_.begin();
        set_.pop_back();
        set_.insert(set_.begin() + offset, c);
      }
    } else if (distinct_) {
      set_.push_back({index, distance});
      order_ = Order::Unordered;
      // Filled: the worst is found by a scan and the heap is made only when a candidate comes
      // to replace it. A set that fills with the last offer (k = n) is sorted once, never
      // heap-sorted, which for large n takes twice as long.
      if (set_.size() >= k_) bound_ = std::max_element(set_.begin(), set_.end())->distance;
      return true;
    } else {
      insert_sorted({index, distance});
    }
    if (set_.size() >= k_) bound_ = worst().distance;
    return true;
  }

  // Offers rows first, first + 1, ... with the distances `d`, in that order, exactly as add
  // would one by one; the scans' loop, with the worst distance kept in a register while the
  // offers are refused.
  void add_all(std::uint64_t first, std::span<const float> d) {
    std::size_t i = 0;
    for (; i < d.size() && set_.size() < k_; ++i) add(first + i, d[i]);
    float bound = bound_;
    const auto offer = [&](std::size_t at) {
      const float x = d[at];
      if (!beats(x, bound)) [[likely]]
        return;
      add(first + at, x);
      bound = bound_;
    };
    // Whole groups of kGroup offers are tested at once against a bound that is a number (then
    // only a smaller number is taken); a group with a candidate, and a NaN bound, go one by one.
    constexpr std::size_t kGroup = 16;
    for (; i + kGroup <= d.size(); i += kGroup) {
      if (bound == bound) {
        int below = 0;  // a count of the offers below: the loop compiles without branches
        for (std::size_t j = 0; j < kGroup; ++j) below += d[i + j] < bound;
        if (below == 0) [[likely]]
          continue;
      }
      for (std::size_t j = 0; j < kGroup; ++j) offer(i + j);
    }
    for (; i < d.size(); ++i) offer(i);
  }

  // Whether `c` could still improve the set: room left, or `c` orders strictly before the
  // worst member in the full order. A set of capacity 0 admits nothing.
  bool admits(const CandidatePair& c) const {
    if (set_.size() < k_) return true;
    if (k_ == 0) return false;
    return c < worst();
  }

  std::vector<CandidatePair> into_sorted_vec() && {
    as_sorted();
    return std::move(set_);
  }

  // Exact re-ranking: offers every member, in ascending (quantized) order, with its exact
  // distance exact(row) to a new set of capacity k, and answers that set in order. At a tie
  // on the cut-off the member met first (smaller quantized distance) survives.
  template <class Exact>
  std::vector<CandidatePair> pq_resort(std::uint64_t k, Exact&& exact) && {
    ResultSet out = distinct_ ? of_distinct_rows(k) : ResultSet(k);
    for (const CandidatePair& c : members()) out.add(c.index, exact(c.index));
    return std::move(out).into_sorted_vec();
  }

 private:
  // Whether a full set whose worst distance is `bound` takes a candidate at distance `x`: a
  // smaller number, or any number when the bound is NaN.
  static bool beats(float x, float bound) { return x < bound || (bound != bound && x == x); }
  // How a distinct set's array is ordered now; an ordered set is always Sorted.
  enum class Order { Sorted, Heap, Unordered };

  // Puts `c` in the heap's front (the worst member's place) and sifts it down: one pass where
  // a pop and a push would make two.
  void replace_front(CandidatePair c) {
    const std::size_t n = set_.size();
    std::size_t hole = 0;
    for (std::size_t child = 1; child < n; child = 2 * hole + 1) {
      // The larger child without a branch: which one it is cannot be predicted.
      if (child + 1 < n) child += before(set_[child], set_[child + 1]);
      if (!before(c, set_[child])) break;
      set_[hole] = set_[child];
      hole = child;
    }
    set_[hole] = c;
  }
  // a < b as 0 or 1, to step to the larger child.
  static std::size_t before(const CandidatePair& a, const CandidatePair& b) {
    return static_cast<std::size_t>(a < b);
  }
  void insert_sorted(const CandidatePair& c) {
    auto at = std::lower_bound(set_.begin(), set_.end(), c);
    if (at != set_.end() && *at == c) return;
    set_.insert(at, c);
  }
  // The order changes only the representation, never the members, hence const.
  void as_heap() const {
    if (order_ == Order::Heap) return;
    std::make_heap(set_.begin(), set_.end());
    order_ = Order::Heap;
  }
  void as_sorted() const {
    if (order_ == Order::Sorted) return;
    // A heap too: introsort sorts a heap of 200 pairs in two thirds of sort_heap's time.
    std::sort(set_.begin(), set_.end());
    order_ = Order::Sorted;
  }

  std::uint64_t k_;
  bool distinct_;
  // The worst member's distance while the set is full; below every number before (so that a
  // set of capacity 0 takes nothing).
  float bound_ = -std::numeric_limits<float>::infinity();
  mutable Order order_ = Order::Sorted;
  mutable std::vector<CandidatePair> set_;
};

}  // namespace quillmere
