// PRIVATE header of src/distance: the across-rows batch kernels, written once over an
// instruction-set traits type and included by one translation unit per instruction set.
//
// A group of rows is processed at once as independent accumulator chains of W rows each (one
// chain alone is bound by the add latency): kChains chains for scattered rows,
// kConsecutiveChains for consecutive ones (16 rows, so that a group of 128-d rows and the next
// one, prefetched while it runs, fit in L1). Rows are read in blocks of 8 consecutive elements,
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

enum class Op { Dot, L2Sqr, Cosine };

inline std::size_t lesser(std::size_t a, std::size_t b) { return a < b ? a : b; }

inline const float* row_of(const RowSource& src, std::size_t i) {
  return src.ptrs != nullptr ? src.ptrs[i] : src.base + i * src.stride;
}

// Rows of a group are read in an interleaved pattern (8 elements of each row in turn), which
// the hardware prefetchers follow badly. Consecutive rows are therefore prefetched by software
// in address order, spread evenly over the group's columns so that the prefetches advance at
// the rate the group is consumed: short groups (up to 8 KiB) one group ahead into L1, longer
// ones two groups ahead into L2, whence the interleaved loads are served at L2 latency. (On an
// AMD Zen 4, a 128-d scan from memory went from a third of streaming bandwidth to over 90 %;
// prefetches in the interleaved order, or into L1 for long groups, made it slower.)
// Scattered rows (graph neighbours) are prefetched row by row: whole rows up to 1 KiB, the
// first KiB of longer ones.
constexpr std::size_t kShortRowBytes = 1024;
constexpr std::size_t kL1GroupBytes = 8192;

inline void prefetch_scattered(const RowSource& src, std::size_t begin, std::size_t end,
                               std::size_t row_len) {
  const std::size_t bytes = lesser(row_len * sizeof(float), kShortRowBytes);
  for (std::size_t i = begin; i < end; ++i) {
    const char* row = reinterpret_cast<const char*>(src.ptrs[i]);
    for (std::size_t off = 0; off < bytes; off += 64) _mm_prefetch(row + off, _MM_HINT_T0);
  }
}

// The software prefetch stream of a scan over consecutive rows in groups of R: at every 16th
// column of a group, the next cache lines of the stream, as many as make the stream advance by
// one group per group.
template <std::size_t R>
class ConsecutivePrefetch {
 public:
  ConsecutivePrefetch(const RowSource& src, std::size_t count, std::size_t len) {
    if (src.ptrs != nullptr) return;  // scattered rows: nothing to stream
    end_ = reinterpret_cast<const char*>(src.base + (count + src.following) * src.stride);
    const std::size_t group_bytes = R * src.stride * sizeof(float);
    const std::size_t steps = len > 16 ? (len + 15) / 16 : 1;
    to_l1_ = group_bytes <= kL1GroupBytes;
    ahead_ = (to_l1_ ? 1 : 2) * group_bytes;
    lines_per_step_ = ((group_bytes + 63) / 64 + steps - 1) / steps;
  }

  void start_group(const float* group) { next_ = reinterpret_cast<const char*>(group) + ahead_; }

  // At column j of the current group (j a multiple of 8).
  void at_column(std::size_t j) {
    if ((j & 15) != 0) return;
    for (std::size_t i = 0; i < lines_per_step_ && next_ < end_; ++i, next_ += 64) {
      if (to_l1_)
        _mm_prefetch(next_, _MM_HINT_T0);
      else
        _mm_prefetch(next_, _MM_HINT_T1);
    }
  }

 private:
  const char* end_ = nullptr;
  bool to_l1_ = false;
  std::size_t ahead_ = 0;
  std::size_t lines_per_step_ = 0;
  const char* next_ = nullptr;
};

template <class T, Op op>
inline void add_column(typename T::V& a, typename T::V& b, typename T::V col, const float* qj,
                       bool with_query) {
  if constexpr (op == Op::Dot) {
    a = T::add(a, T::mul(col, T::broadcast(qj)));
  } else if constexpr (op == Op::L2Sqr) {
    // (r - q)^2 rounds to the same bits as (q - r)^2, and lets the query element be an
    // operand broadcast straight from memory.
    const typename T::V d = T::sub(col, T::broadcast(qj));
    a = T::add(a, T::mul(d, d));
  } else {
    if (with_query) a = T::add(a, T::mul(col, T::broadcast(qj)));
    b = T::add(b, T::mul(col, col));
  }
}

// out: the dot or L2 sums, or the cosine distances. Columns visited: [0, n) for Dot and
// L2Sqr; [0, m) for Cosine, whose query terms stop at n while the row norms run on to m. The
// cosine distance is finished lane by lane: sqrt, multiply, compare, divide and subtract are
// exact IEEE operations, so each lane equals the scalar finish.
//
// Consecutive rows address every chain's rows from the first chain's W row pointers plus a
// chain offset, so that only W pointers compete for registers; scattered rows need all R.
template <class T, Op op, bool kConsecutive>
void run_rows_from(const float* q, float q_root, RowSource src, std::size_t count, std::size_t n,
                   std::size_t m, float* out) {
  using V = typename T::V;
  constexpr std::size_t W = T::W;
  constexpr std::size_t C = kConsecutive ? T::kConsecutiveChains : T::kChains;
  constexpr std::size_t R = C * W;
  const std::size_t len = op == Op::Cosine ? m : n;
  // Columns below `both` are whole blocks of 8 in which every term of the op applies.
  const std::size_t both = (op == Op::Cosine ? n : len) & ~std::size_t{7};

  constexpr std::size_t kPointers = kConsecutive ? W : R;
  const std::size_t chain_step = kConsecutive ? W * src.stride : 0;

  [[maybe_unused]] ConsecutivePrefetch<R> ahead(src, count, len);

  for (std::size_t g = 0; g < count; g += R) {
    const float* p[kPointers];
    // A short last group of consecutive rows goes the scattered way: its rows repeat.
    if (kConsecutive && g + R > count) {
      run_rows_from<T, op, false>(q, q_root, RowSource{src.base + g * src.stride, src.stride, nullptr, 0},
                                  count - g, n, m, out + g);
      return;
    }
    for (std::size_t i = 0; i < kPointers; ++i) p[i] = row_of(src, lesser(g + i, count - 1));
    if constexpr (kConsecutive)
      ahead.start_group(p[0]);
    else if (src.ptrs != nullptr && g + R < count)
      prefetch_scattered(src, g + R, lesser(count, g + 2 * R), len);

    V a[C], b[C];
    for (std::size_t c = 0; c < C; ++c) a[c] = b[c] = T::neg_zero();
    std::size_t j = 0;
    for (; j < both; j += 8) {
      if constexpr (kConsecutive) ahead.at_column(j);
      for (std::size_t c = 0; c < C; ++c) {
        V col[8];
        T::load_columns(kConsecutive ? p : p + c * W, static_cast<std::ptrdiff_t>(j + c * chain_step), col);
        for (std::size_t k = 0; k < 8; ++k) add_column<T, op>(a[c], b[c], col[k], q + j + k, true);
      }
    }
    for (; j < len; j += 8) {
      if constexpr (kConsecutive) ahead.at_column(j);
      const std::size_t cols = lesser(8, len - j);
      const std::size_t qcols = op == Op::Cosine ? (n > j ? lesser(cols, n - j) : 0) : cols;
      for (std::size_t c = 0; c < C; ++c) {
        V col[8];
        const float* const* rows = kConsecutive ? p : p + c * W;
        if (cols == 8)
          T::load_columns(rows, static_cast<std::ptrdiff_t>(j + c * chain_step), col);
        else
          T::load_columns_masked(rows, static_cast<std::ptrdiff_t>(j + c * chain_step), cols, col);
        for (std::size_t k = 0; k < cols; ++k) {
          // Outside the query's columns only the squared norm gets a term; q is not read there.
          const float* qj = k < qcols ? q + j + k : q;
          add_column<T, op>(a[c], b[c], col[k], qj, k < qcols);
        }
      }
    }

    if constexpr (op == Op::Cosine) {
      const V root = T::set1(q_root), floor = T::set1(kCosineFloor), one = T::set1(1.0f);
      for (std::size_t c = 0; c < C; ++c) {
        const V den = T::raise_to(T::mul(root, T::sqrt(b[c])), floor);
        a[c] = T::sub(one, T::div(a[c], den));
      }
    }
    const std::size_t valid = lesser(R, count - g);
    float tmp[R];
    for (std::size_t c = 0; c < C; ++c) T::store(a[c], tmp + c * W);
    for (std::size_t i = 0; i < valid; ++i) out[g + i] = tmp[i];
  }
}

// The same instruction set with a single accumulator chain, for a last group of at most W
// scattered rows (a graph node's few unvisited neighbours), which would otherwise be padded to
// kChains * W rows.
template <class T>
struct OneChain : T {
  static constexpr std::size_t kChains = 1;
};

template <class T, Op op>
void run_rows(const float* q, float q_root, RowSource src, std::size_t count, std::size_t n,
              std::size_t m, float* out) {
  if (src.ptrs == nullptr) {
    run_rows_from<T, op, true>(q, q_root, src, count, n, m, out);
    return;
  }
  constexpr std::size_t R = T::kChains * T::W;
  const std::size_t tail = count % R;
  const std::size_t whole = tail != 0 && tail <= T::W ? count - tail : count;
  if (whole > 0) run_rows_from<T, op, false>(q, q_root, src, whole, n, m, out);
  if (whole < count)
    run_rows_from<OneChain<T>, op, false>(q, q_root, RowSource{nullptr, 0, src.ptrs + whole, 0},
                                          count - whole, n, m, out + whole);
}

template <class T>
void dot_rows(const float* q, RowSource src, std::size_t count, std::size_t n, float* out) {
  run_rows<T, Op::Dot>(q, 0.0f, src, count, n, n, out);
}

template <class T>
void l2sqr_rows(const float* q, RowSource src, std::size_t count, std::size_t n, float* out) {
  run_rows<T, Op::L2Sqr>(q, 0.0f, src, count, n, n, out);
}

template <class T>
void cosine_rows(const float* q, float q_root, RowSource src, std::size_t count, std::size_t n,
                 std::size_t m, float* out) {
  run_rows<T, Op::Cosine>(q, q_root, src, count, n, m, out);
}

// PQ codes, W per register (one code per lane), each lane adding its sub-spaces' partial
// distances in sub-space order from +0.0 exactly as the scalar sum does. A lane's centroid
// indexes come from one 32-bit word of its code per 8 (4 bits) or 4 (8 bits) sub-spaces. At 4
// bits a sub-space's 16 partial distances sit in registers and each lane picks its own with a
// permute (T::lut16); at 8 bits they are gathered from the lookup table. The word loads read up
// to 3 bytes past a code, so groups near the end of the codes, and tables too large for 32-bit
// offsets, are scored by the scalar reference.
template <class T, unsigned kBits>
void pq_scan_lanes(const PQScan& scan, float* out) {
  using V = typename T::V;
  using VI = typename T::VI;
  constexpr std::size_t W = T::W;
  constexpr std::size_t kPerWord = 32 / kBits;
  const std::size_t words = (scan.m + kPerWord - 1) / kPerWord;
  const std::size_t total = scan.count * scan.code_len;
  const bool small =
      scan.code_len * W < (std::size_t{1} << 30) && (scan.m << kBits) < (std::size_t{1} << 30);
  const VI offsets = T::lane_multiples(static_cast<int>(scan.code_len));
  const VI mask = T::iset1((1 << kBits) - 1);
  const bool cosine = scan.sq_norms != nullptr;
  const bool sum_norms = cosine && scan.code_norms == nullptr;

  std::size_t i = 0;
  for (; small && i + W <= scan.count && (i + W - 1) * scan.code_len + 4 * words <= total; i += W) {
    const unsigned char* group = scan.codes + i * scan.code_len;
    V sum = T::set1(0.0f), norm = T::set1(0.0f);
    std::size_t g = 0;
    for (std::size_t w = 0; w < words; ++w) {
      VI word = T::load_words(group + 4 * w, offsets, scan.code_len);
      for (std::size_t s = 0; s < kPerWord && g < scan.m; ++s, ++g) {
        const VI c = T::iand(word, mask);
        if constexpr (kBits == 4) {
          sum = T::add(sum, T::lut16(scan.values + (g << 4), c));
          if (sum_norms) norm = T::add(norm, T::lut16(scan.sq_norms + (g << 4), c));
        } else {
          const VI idx = T::iadd(c, T::iset1(static_cast<int>(g << kBits)));
          sum = T::add(sum, T::gather_f32(scan.values, idx));
          if (sum_norms) norm = T::add(norm, T::gather_f32(scan.sq_norms, idx));
        }
        word = T::template isrli<kBits>(word);
      }
    }
    if (cosine) {
      if (!sum_norms) norm = T::load(scan.code_norms + i);
      const V den = T::raise_to(T::mul(T::sqrt(norm), T::set1(scan.query_norm)), T::set1(kCosineFloor));
      sum = T::sub(T::set1(1.0f), T::div(sum, den));
    }
    T::store(sum, out + i);
  }
  for (; i < scan.count; ++i) out[i] = pq_code_ref(scan, scan.codes + i * scan.code_len);
}

// Scalar scoring of L codes at a time: L independent addition chains instead of one.
template <std::size_t L>
void pq_scan_interleaved(const PQScan& scan, float* out) {
  std::size_t i = 0;
  for (; i + L <= scan.count; i += L) {
    float sum[L], norm[L];
    const unsigned char* code[L];
    for (std::size_t l = 0; l < L; ++l) {
      sum[l] = norm[l] = 0.0f;
      code[l] = scan.codes + (i + l) * scan.code_len;
    }
    for (std::size_t g = 0; g < scan.m; ++g) {
      for (std::size_t l = 0; l < L; ++l) {
        const unsigned c = scan.n_bits == 4 ? (code[l][g >> 1] >> ((g & 1) * 4)) & 0xFu : code[l][g];
        const std::size_t idx = (g << scan.n_bits) + c;
        sum[l] = sum[l] + scan.values[idx];
        if (scan.sq_norms != nullptr && scan.code_norms == nullptr) norm[l] = norm[l] + scan.sq_norms[idx];
      }
    }
    for (std::size_t l = 0; l < L; ++l) {
      if (scan.sq_norms == nullptr) {
        out[i + l] = sum[l];
      } else {
        const float n_sum = scan.code_norms != nullptr ? scan.code_norms[i + l] : norm[l];
        float den = __builtin_sqrtf(n_sum) * scan.query_norm;
        if (!(den > kCosineFloor)) den = kCosineFloor;
        out[i + l] = 1.0f - sum[l] / den;
      }
    }
  }
  for (; i < scan.count; ++i) out[i] = pq_code_ref(scan, scan.codes + i * scan.code_len);
}

template <class T>
void pq_scan(const PQScan& scan, float* out) {
  if (scan.n_bits == 4)
    pq_scan_lanes<T, 4>(scan, out);
  else if constexpr (T::kFastGather)
    pq_scan_lanes<T, 8>(scan, out);
  else
    pq_scan_interleaved<4>(scan, out);
}

// Rows stored by column need no transposition: a register of W consecutive lanes of column j
// is element j of W rows. Four chains of W rows each cover the add latency.
template <class T, Op op>
void columns(const ColumnScan& scan, float* out) {
  using V = typename T::V;
  constexpr std::size_t W = T::W;
  constexpr std::size_t C = 4;
  for (std::size_t i = scan.begin; i < scan.end; i += C * W) {
    const std::size_t chains = lesser(C, (scan.end - i + W - 1) / W);
    V acc[C];
    for (std::size_t c = 0; c < C; ++c) acc[c] = T::neg_zero();
    for (std::size_t j = 0; j < scan.n; ++j) {
      const float* col = scan.cols + j * scan.lanes + i;
      const V qj = T::broadcast(scan.q + j);
      for (std::size_t c = 0; c < C; ++c) {
        if (c >= chains) break;
        const V r = T::load(col + c * W);
        if constexpr (op == Op::L2Sqr) {
          const V d = T::sub(qj, r);
          acc[c] = T::add(acc[c], T::mul(d, d));
        } else {
          acc[c] = T::add(acc[c], T::mul(qj, r));
        }
      }
    }
    for (std::size_t c = 0; c < chains; ++c) {
      V v = acc[c];
      if constexpr (op == Op::Cosine) {
        const V den = T::raise_to(T::mul(T::set1(scan.q_root), T::load(scan.row_roots + i + c * W)),
                                  T::set1(kCosineFloor));
        v = T::sub(T::set1(1.0f), T::div(v, den));
      }
      float tmp[W];
      T::store(v, tmp);
      const std::size_t first = i + c * W;
      for (std::size_t l = 0; l < W && first + l < scan.end; ++l) out[first + l - scan.begin] = tmp[l];
    }
  }
}

template <class T>
constexpr Kernels make_kernels(const char* name) {
  return Kernels{name,       dot_rows<T>,                l2sqr_rows<T>,
                 cosine_rows<T>, pq_scan<T>,             columns<T, Op::L2Sqr>,
                 columns<T, Op::Cosine>};
}

}  // namespace
}  // namespace quillmere::kernels
