// VecSet<T>: vectors of one dimension stored row after row in one flat, 64-byte aligned array.
// Row i occupies data[i*dim, (i+1)*dim); the row number is the vector's id everywhere else
// (candidate lists, graph links, table metadata). Used with float (vectors, centroids) and
// uint8_t (PQ codes). No locking: concurrent readers are fine, mutation needs exclusive access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <numeric>
#include <optional>
#include <span>
#include <utility>

#include "common/allocator.hpp"
#include "common/failure.hpp"
#include "common/random.hpp"

namespace quillmere {

template <class T>
class VecSet {
 public:
  // Takes the flat array. dim 0 fails (remainder by zero); a length that is not a multiple of
  // dim fails with "Data length must be a multiple of the dimension.".
  VecSet(std::uint64_t dim, PodVec<T> data) : dim_(dim), data_(std::move(data)) {
    if (dim_ == 0) fail_remainder_by_zero();
    if (data_.size() % dim_ != 0) fail("Data length must be a multiple of the dimension.");
  }

  // Empty set with room for n rows. The dimension is not validated here.
  static VecSet with_capacity(std::uint64_t dim, std::uint64_t n) {
    VecSet set;
    set.dim_ = dim;
    if (dim != 0 && n > SIZE_MAX / dim) fail("capacity overflow");
    set.data_.reserve(dim * n);
    return set;
  }

  std::uint64_t dim() const noexcept { return dim_; }

  // Room for `rows` more rows, so that appending them moves nothing; grown by doubling, so
  // that making room before every append of a few rows stays amortised O(1).
  void reserve_more(std::uint64_t rows) {
    if (dim_ != 0 && rows > (SIZE_MAX - data_.size()) / dim_) fail("capacity overflow");
    data_.grow_for(data_.size() + rows * dim_);
  }

  std::uint64_t len() const {
    if (dim_ == 0) fail_divide_by_zero();
    return data_.size() / dim_;
  }

  // Row i as a borrowed slice; a row beyond the data fails with its end and the data length.
  std::span<const T> operator[](std::uint64_t i) const {
    check_row(i);
    return {data_.data() + i * dim_, dim_};
  }
  std::span<T> row_mut(std::uint64_t i) {
    check_row(i);
    return {data_.data() + i * dim_, dim_};
  }

  // Iteration over whole rows, row 0 first.
  class RowIterator {
   public:
    RowIterator(const T* p, std::uint64_t dim) : p_(p), dim_(dim) {}
    std::span<const T> operator*() const { return {p_, dim_}; }
    RowIterator& operator++() {
      p_ += dim_;
      return *this;
    }
    bool operator==(const RowIterator& o) const { return p_ == o.p_; }

   private:
    const T* p_;
    std::uint64_t dim_;
  };
  struct Rows {
    RowIterator b, e;
    RowIterator begin() const { return b; }
    RowIterator end() const { return e; }
  };
  // dim 0 fails with "chunk size must be non-zero".
  Rows iter() const {
    if (dim_ == 0) fail("chunk size must be non-zero");
    const T* base = data_.data();
    return {{base, dim_}, {base + len() * dim_, dim_}};
  }

  // Appends a row and answers its row number; the set is unchanged when it fails.
  std::uint64_t push(std::span<const T> v) {
    const std::uint64_t id = len();
    assert_eq(static_cast<std::uint64_t>(v.size()), dim_);
    data_.append(v);
    return id;
  }

  void put(std::uint64_t i, std::span<const T> v) {
    assert_eq(static_cast<std::uint64_t>(v.size()), dim_);
    std::span<T> row = row_mut(i);
    std::copy(v.begin(), v.end(), row.begin());
  }

  // Takes the last row out; absent when fewer than dim elements remain.
  std::optional<PodVec<T>> pop() {
    if (data_.size() < dim_) return std::nullopt;
    const std::size_t start = data_.size() - dim_;
    PodVec<T> row(std::span<const T>(data_.data() + start, dim_));
    data_.truncate(start);
    return row;
  }

  // Keeps the first `rows` rows (all of them when there are fewer).
  void truncate(std::uint64_t rows) noexcept {
    if (rows <= data_.size() / std::max<std::uint64_t>(dim_, 1)) data_.truncate(rows * dim_);
  }

  // Removes row i; the last row moves into its place.
  void swap_remove(std::uint64_t i) {
    if (i >= len()) fail("assertion failed: index < self.len()");
    PodVec<T> last = *pop();
    if (i < len()) put(i, last.span());
  }

  template <class U>
  VecSet<U> to_type() const {
    PodVec<U> converted;
    converted.reserve(data_.size());
    for (const T& x : data_) converted.push_back(static_cast<U>(x));
    return VecSet<U>(dim_, std::move(converted));
  }

  // n distinct rows drawn without replacement: a Fisher-Yates shuffle of all row numbers from
  // the end, then the first n of them, copied in that order.
  VecSet random_sample(std::uint64_t n, ChaCha12Rng& rng) const {
    const std::uint64_t rows = len();
    PodVec<std::uint64_t> order(rows);
    std::iota(order.begin(), order.end(), std::uint64_t{0});
    for (std::uint64_t p = rows; p-- > 1;) std::swap(order[p], order[rng.gen_index(p + 1)]);
    if (n > rows) fail_slice_end(n, rows);
    PodVec<T> sample;
    sample.reserve(n * dim_);
    for (std::uint64_t j = 0; j < n; ++j)
      sample.append(std::span<const T>(data_.data() + order[j] * dim_, dim_));
    return VecSet(dim_, std::move(sample));
  }

  const PodVec<T>& data() const noexcept { return data_; }

  friend bool operator==(const VecSet& a, const VecSet& b) = default;

 private:
  VecSet() = default;

  // Rows of a set of dimension 0 are empty and always in range.
  void check_row(std::uint64_t i) const {
    if (dim_ == 0 || i < data_.size() / dim_) return;
    const bool overflows = i > (UINT64_MAX - dim_) / dim_;
    fail_slice_end(overflows ? UINT64_MAX : i * dim_ + dim_, data_.size());
  }

  std::uint64_t dim_ = 0;
  PodVec<T> data_;
};

}  // namespace quillmere
