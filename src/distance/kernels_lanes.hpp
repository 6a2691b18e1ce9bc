// PRIVATE header of src/distance: the across-rows batch kernels, written once over an
// instruction-set traits type and included by one translation unit per instruction set.
//
// A group of kChains*W rows is processed at once as independent accumulator chains (one chain
// alone is bound by the add latency). Rows are read in blocks of 8 consecutive elements,
// transposed in registers so that register c[k] holds element j+k of W rows, and each lane adds
// its terms in ascending element order starting from -0.0: lane i computes exactly the scalar
// sum of row i. Tail columns are loaded under a mask and never added, so a missing element
// cannot turn -0.0 into +0.0 or 0*inf into NaN. Short groups repeat their last row; the extra
// lanes are computed and dropped.
//
// Everything here has internal linkage: each including file compiles it for its own target.
// It calls no inline function of another header (std::min, std::copy, RowSource::row), since
// an out-of-line copy compiled for a wider instruction set could be the one the linker keeps.
#pragma once

#include <xmmintrin.h>

#include <cstddef>

#include "distance/kernels.hpp"

namespace quillmere::kernels {
namespace {

enum class Op { Dot, L2Sqr, DotSqNorm };

inline std::size_t lesser(std::size_t a, std::size_t b) { return a < b ? a : b; }

inline const float* row_of(const RowSource& src, std::size_t i) {
  return src.ptrs != nullptr ? src.ptrs[i] : src.base + i * src.stride;
}

// Rows are read in an interleaved pattern (8 elements of each row of a group in turn). For
// consecutive rows of up to 2 KiB the hardware prefetchers do not follow it (a 128-d scan from
// memory ran at a third of streaming bandwidth, and software prefetches did not help), but
// demand loads in address order train them: so each group first touches one float of every
// cache line of the next group. Longer consecutive rows are followed well on their own.
// Scattered rows (graph neighbours) are prefetched: whole rows up to 1 KiB, the first KiB of
// longer ones.
constexpr std::size_t kShortRowBytes = 1024;
constexpr std::size_t kTouchRowBytes = 2048;

inline void prepare_rows(const RowSource& src, std::size_t begin, std::size_t end,
                         std::size_t row_len) {
  const std::size_t row_bytes = row_len * sizeof(float);
  if (src.ptrs != nullptr) {
    const std::size_t bytes = lesser(row_bytes, kShortRowBytes);
    for (std::size_t i = begin; i < end; ++i) {
      const char* row = reinterpret_cast<const char*>(src.ptrs[i]);
      for (std::size_t off = 0; off < bytes; off += 64) _mm_prefetch(row + off, _MM_HINT_T0);
    }
    return;
  }
  if (row_bytes > kTouchRowBytes || row_bytes == 0) return;
  const char* first = reinterpret_cast<const char*>(src.base + begin * src.stride);
  const char* last = reinterpret_cast<const char*>(src.base + (end - 1) * src.stride) + row_bytes;
  __m128 sink = _mm_setzero_ps();
  for (const char* line = first; line < last; line += 64)
    sink = _mm_or_ps(sink, _mm_load_ss(reinterpret_cast<const float*>(line)));
  asm volatile("" : : "x"(sink));
}

template <class T, Op op>
inline void add_column(typename T::V& a, typename T::V& b, typename T::V col, const float* qj,
                       bool with_query) {
  if constexpr (op == Op::Dot) {
    a = T::add(a, T::mul(col, T::broadcast(qj)));
  } else if constexpr (op == Op::L2Sqr) {
    const typename T::V d = T::sub(T::broadcast(qj), col);
    a = T::add(a, T::mul(d, d));
  } else {
    if (with_query) a = T::add(a, T::mul(col, T::broadcast(qj)));
    b = T::add(b, T::mul(col, col));
  }
}

// out_a: the dot or L2 sums; out_b: the squared norms (DotSqNorm only).
// Columns visited: [0, n) for Dot and L2Sqr; [0, m) for DotSqNorm, whose query terms stop at n.
template <class T, Op op>
void run_rows(const float* q, RowSource src, std::size_t count, std::size_t n, std::size_t m,
              float* out_a, float* out_b) {
  using V = typename T::V;
  constexpr std::size_t W = T::W;
  constexpr std::size_t C = T::kChains;
  constexpr std::size_t R = C * W;
  const std::size_t len = op == Op::DotSqNorm ? m : n;
  // Columns below `both` are whole blocks of 8 in which every term of the op applies.
  const std::size_t both = (op == Op::DotSqNorm ? n : len) & ~std::size_t{7};

  for (std::size_t g = 0; g < count; g += R) {
    const float* p[R];
    for (std::size_t i = 0; i < R; ++i) p[i] = row_of(src, lesser(g + i, count - 1));
    if (g + R < count) prepare_rows(src, g + R, lesser(count, g + 2 * R), len);

    V a[C], b[C];
    for (std::size_t c = 0; c < C; ++c) a[c] = b[c] = T::neg_zero();
    std::size_t j = 0;
    for (; j < both; j += 8) {
      for (std::size_t c = 0; c < C; ++c) {
        V col[8];
        T::load_columns(p + c * W, j, col);
        for (std::size_t k = 0; k < 8; ++k) add_column<T, op>(a[c], b[c], col[k], q + j + k, true);
      }
    }
    for (; j < len; j += 8) {
      const std::size_t cols = lesser(8, len - j);
      const std::size_t qcols = op == Op::DotSqNorm ? (n > j ? lesser(cols, n - j) : 0) : cols;
      for (std::size_t c = 0; c < C; ++c) {
        V col[8];
        if (cols == 8)
          T::load_columns(p + c * W, j, col);
        else
          T::load_columns_masked(p + c * W, j, cols, col);
        for (std::size_t k = 0; k < cols; ++k) {
          // Outside the query's columns only the squared norm gets a term; q is not read there.
          const float* qj = k < qcols ? q + j + k : q;
          add_column<T, op>(a[c], b[c], col[k], qj, k < qcols);
        }
      }
    }

    const std::size_t valid = lesser(R, count - g);
    float tmp[R];
    for (std::size_t c = 0; c < C; ++c) T::store(a[c], tmp + c * W);
    for (std::size_t i = 0; i < valid; ++i) out_a[g + i] = tmp[i];
    if constexpr (op == Op::DotSqNorm) {
      for (std::size_t c = 0; c < C; ++c) T::store(b[c], tmp + c * W);
      for (std::size_t i = 0; i < valid; ++i) out_b[g + i] = tmp[i];
    }
  }
}

template <class T>
void dot_rows(const float* q, RowSource src, std::size_t count, std::size_t n, float* out) {
  run_rows<T, Op::Dot>(q, src, count, n, n, out, nullptr);
}

template <class T>
void l2sqr_rows(const float* q, RowSource src, std::size_t count, std::size_t n, float* out) {
  run_rows<T, Op::L2Sqr>(q, src, count, n, n, out, nullptr);
}

template <class T>
void dot_sqnorm_rows(const float* q, RowSource src, std::size_t count, std::size_t n,
                     std::size_t m, float* dots, float* sqnorms) {
  run_rows<T, Op::DotSqNorm>(q, src, count, n, m, dots, sqnorms);
}

template <class T>
constexpr Kernels make_kernels(const char* name) {
  return Kernels{name, dot_rows<T>, l2sqr_rows<T>, dot_sqnorm_rows<T>};
}

}  // namespace
}  // namespace quillmere::kernels
