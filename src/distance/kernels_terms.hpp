// PRIVATE header of src/distance: what each lane of the across-rows kernels adds per column and
// how a cosine lane is finished, shared by the kernels of kernels_lanes.hpp and
// kernels_staggered.hpp. Internal linkage, like the kernels that include it.
#pragma once

#include <cstddef>

#include "distance/kernels.hpp"

namespace quillmere::kernels {
namespace {

enum class Op { Dot, L2Sqr, Cosine };

inline std::size_t lesser(std::size_t a, std::size_t b) { return a < b ? a : b; }

// One column's terms: x holds a row element per lane, qv the query element of each lane's
// column. Cosine sums the dot in a and the row's squared norm in b.
template <class T, Op op>
inline void add_terms(typename T::V& a, typename T::V& b, typename T::V x, typename T::V qv) {
  if constexpr (op == Op::Dot) {
    a = T::add(a, T::mul(x, qv));
  } else if constexpr (op == Op::L2Sqr) {
    // (r - q)^2 rounds to the same bits as (q - r)^2, and lets the query element be an
    // operand broadcast straight from memory.
    const typename T::V d = T::sub(x, qv);
    a = T::add(a, T::mul(d, d));
  } else {
    a = T::add(a, T::mul(x, qv));
    b = T::add(b, T::mul(x, x));
  }
}

// The cosine distances from the lanes' dots and squared row norms: sqrt, multiply, compare,
// divide and subtract are exact IEEE operations, so each lane equals the scalar cosine_finish.
template <class T>
inline typename T::V cosine_lanes(typename T::V dot, typename T::V sq_norm, float q_root) {
  const typename T::V den =
      T::raise_to(T::mul(T::set1(q_root), T::sqrt(sq_norm)), T::set1(kCosineFloor));
  return T::sub(T::set1(1.0f), T::div(dot, den));
}

}  // namespace
}  // namespace quillmere::kernels
