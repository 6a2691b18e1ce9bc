// PRIVATE header of src/distance: the across-rows batch kernels, written once over an
// instruction-set traits type and included by one translation unit per instruction set.
//
// A group of rows is processed at once as independent accumulator chains of W rows each (one
// chain alone is bound by the add latency): kChains chains for scattered rows up to the
// prefetch lead below, kConsecutiveChains for consecutive ones and longer scattered ones (16
// rows, so that a group of 128-d rows and the next one, prefetched while it runs, fit in L1). Rows
// are read in blocks of 8 consecutive elements, transposed in registers so that register c[k] holds
// element j+k of W rows, and each lane adds its terms in ascending element order starting from
// -0.0: lane i computes exactly the scalar sum of row i. Tail columns are loaded under a mask and
// never added, so a missing element cannot turn -0.0 into +0.0 or 0*inf into NaN. Short groups
// repeat their last row; the extra lanes are computed and dropped.
//
// Everything here has internal linkage: each including file compiles it for its own target.
// It calls no inline function of another header (std::min, std::copy, RowSource::row), since
// an out-of-line copy compiled for a wider instruction set could be the one the linker keeps.
#pragma once

#include <xmmintrin.h>

#include <cstddef>

#include "distance/kernels.hpp"
#include "distance/kernels_staggered.hpp"
#include "distance/kernels_terms.hpp"

namespace quillmere::kernels {
namespace {

inline const float* row_of(const RowSource& src, std::size_t i) {
  return src.ptrs != nullptr ? src.ptrs[i] : src.base + i * src.stride;
}

// Rows of a group are read in an interleaved pattern, 8 elements of each of its R rows in
// turn: R streams, each consumed one cache line per 16 columns. Rows longer than a lead of
// 512 bytes are therefore prefetched by software row by row, each the lead ahead of the
// column the group reads, one line per row every 16 columns, so that the lines in flight
// (R x the lead) stay within L1. Measured on a Zen 5 (one thread, 16 rows of 1536
// dimensions, data far larger than the last-level cache): without software prefetch the
// loads alone ran at 0.56 of a streaming read, and a software stream in address order, one
// or two groups ahead, at 0.52-0.71 (the farther ahead, the slower: its lines come long
// before their use and leave L1 first). With the per-row lead the flat scan runs at about 0.9
// of the streaming read at 768 and 1536 dimensions. With the rows in L2 the scan runs at only
// 1.5-1.7 times the streaming read from memory (71 GB/s L2Sqr, bound by its one add chain, and
// 62 GB/s cosine, against 42), so what memory stalls cost is not made up afterwards.
//
// Past the end of a row the lead runs on into the row R further on, the same lane of the next
// group, so the stream continues across groups (and into the `following` rows of consecutive
// ones). Consecutive rows up to the lead make groups that fit in L1 (16 x 512 bytes): the next
// group is prefetched whole in address order, spread over the current group's columns.
// Scattered rows (graph neighbours, re-ranked candidates) up to the lead: the next group's
// rows whole when a group starts. Longer scattered rows take the per-row lead like
// consecutive ones, in groups of 16 rows (32 rows' leads at once were slower, 0.75-0.95x), and the
// lead of the first group is prefetched when the batch starts, since nothing before it did.
// Measured on the Zen 5, batches of 32 rows in a random order over data far larger than the
// last-level cache, share of a streaming read, before -> after: 192 dimensions 0.36 -> 0.53, 384:
// 0.44 -> 0.61, 768: 0.61 -> 0.72, 1536: 0.66 -> 0.79-0.81, 3072: 0.52-0.66 -> 0.70-0.77 (cosine
// alike, a few hundredths lower); with the rows in L3 (4 MB), 0.92-1.1x of the two chains at 192 to
// 768 dimensions, 1.1-1.7x at 1536 and 3072. A lead of 64, 96, 192 or 256 columns was no better.
//
// Consecutive rows longer than the lead, where the instruction set has the registers for it
// (T::kWholeLines), go through their columns in pairs of blocks, both halves of each row's 64
// bytes loaded one after the other, so that a line is needed in L1 only for the moment of its
// loads. Rows whose stride is a multiple of 4 KiB (1024, 2048, 3072 dimensions) put the same
// column of all 16 rows of a group in one set of the 12-way L1, and a line wanted again one
// block later was often gone by then (a prototype at 3072 dimensions: 0.8 of the streaming
// read, at 3056 over 0.9). The pairs help, yet 3072 dimensions stayed near 0.7 in the flat scan,
// so where the instruction set can, runs of such rows go in staggered groups instead
// (kernels_staggered.hpp), which read fewer rows of a column at once. At 128 dimensions the
// pairs made the scan slower (0.7x), and so they did for scattered rows (groups of 32) at 768 to
// 3072 dimensions (0.5-0.75x).
constexpr std::size_t kLeadBytes = 512;

// Rows of `len` columns that are read with a lead per row (and, consecutive, in pairs of blocks).
inline bool beyond_lead(std::size_t len) { return len * sizeof(float) > kLeadBytes; }

// The first `bytes` of each of the rows [begin, end).
inline void prefetch_scattered(const float* const* ptrs, std::size_t begin, std::size_t end,
                               std::size_t bytes) {
  for (std::size_t i = begin; i < end; ++i) {
    const char* row = reinterpret_cast<const char*>(ptrs[i]);
    for (std::size_t off = 0; off < bytes; off += 64) _mm_prefetch(row + off, _MM_HINT_T0);
  }
}

// The software prefetch of a scan over rows in groups of R (see above). Its calls are always
// inlined: g++ 12 takes a function whose only effects are prefetches (and whose loops end)
// for a pure one and drops every call to it.
template <std::size_t R>
class RowPrefetch {
 public:
  RowPrefetch(const RowSource& src, std::size_t count, std::size_t len)
      : base_(src.base),
        ptrs_(src.ptrs),
        stride_(src.stride),
        len_(len),
        total_(count + src.following),
        whole_groups_(src.ptrs == nullptr && !beyond_lead(len)),
        per_row_(beyond_lead(len)) {
    if (ptrs_ != nullptr && per_row_) prefetch_scattered(ptrs_, 0, lesser(R, total_), kLeadBytes);
    if (!whole_groups_) return;
    const std::size_t group_bytes = R * stride_ * sizeof(float);
    const std::size_t steps = len > 16 ? (len + 15) / 16 : 1;
    lines_per_step_ = ((group_bytes + 63) / 64 + steps - 1) / steps;
    end_ = reinterpret_cast<const char*>(base_ + total_ * stride_);
  }

  // At the start of the group of rows [g, g + R).
  [[gnu::always_inline]] void start_group(std::size_t g) {
    g_ = g;
    if (whole_groups_) next_ = reinterpret_cast<const char*>(base_ + (g + R) * stride_);
    if (ptrs_ != nullptr && !per_row_ && g + R < total_)
      prefetch_scattered(ptrs_, g + R, lesser(total_, g + 2 * R), len_ * sizeof(float));
  }

  // At column j of the current group (j a multiple of 8).
  [[gnu::always_inline]] void at_column(std::size_t j) {
    if ((j & 15) != 0) return;
    if (whole_groups_) {
      for (std::size_t i = 0; i < lines_per_step_ && next_ < end_; ++i, next_ += 64)
        _mm_prefetch(next_, _MM_HINT_T0);
      return;
    }
    if (!per_row_) return;  // short scattered rows: prefetched at the start of the group before
    std::size_t col = j + kLead, first = g_;
    if (col >= len_) {
      col -= len_;
      first += R;
    }
    if (first >= total_) return;
    const std::size_t rows = lesser(R, total_ - first);
    if (ptrs_ != nullptr) {
      for (std::size_t i = 0; i < rows; ++i)
        _mm_prefetch(reinterpret_cast<const char*>(ptrs_[first + i] + col), _MM_HINT_T0);
      return;
    }
    const float* row = base_ + first * stride_ + col;
    for (std::size_t i = 0; i < rows; ++i, row += stride_)
      _mm_prefetch(reinterpret_cast<const char*>(row), _MM_HINT_T0);
  }

 private:
  static constexpr std::size_t kLead = kLeadBytes / sizeof(float);  // in columns

  const float* base_;
  const float* const* ptrs_;
  std::size_t stride_, len_, total_;
  bool whole_groups_;  // consecutive rows up to the lead: the next group in address order
  bool per_row_;       // rows longer than the lead: each row the lead ahead
  std::size_t lines_per_step_ = 0;
  const char* end_ = nullptr;
  const char* next_ = nullptr;
  std::size_t g_ = 0;
};

template <class T, Op op>
inline void add_column(typename T::V& a, typename T::V& b, typename T::V col, const float* qj,
                       bool with_query) {
  if (op != Op::Cosine || with_query)
    add_terms<T, op>(a, b, col, T::broadcast(qj));
  else
    b = T::add(b, T::mul(col, col));
}

// out: the dot or L2 sums, or the cosine distances. Columns visited: [0, n) for Dot and
// L2Sqr; [0, m) for Cosine, whose query terms stop at n while the row norms run on to m.
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

  RowPrefetch<R> ahead(src, count, len);

  for (std::size_t g = 0; g < count; g += R) {
    const float* p[kPointers];
    // A short last group of consecutive rows goes the scattered way: its rows repeat.
    if (kConsecutive && g + R > count) {
      run_rows_from<T, op, false>(
          q, q_root, RowSource{src.base + g * src.stride, src.stride, nullptr, src.following},
          count - g, n, m, out + g);
      return;
    }
    for (std::size_t i = 0; i < kPointers; ++i) p[i] = row_of(src, lesser(g + i, count - 1));
    ahead.start_group(g);

    V a[C], b[C];
    for (std::size_t c = 0; c < C; ++c) a[c] = b[c] = T::neg_zero();
    std::size_t j = 0;
    if constexpr (kConsecutive && T::kWholeLines) {
      for (; beyond_lead(len) && j + 16 <= both; j += 16) {
        ahead.at_column(j);
        for (std::size_t c = 0; c < C; ++c) {
          V col0[8], col1[8];
          T::load_column_pairs(p, static_cast<std::ptrdiff_t>(j + c * chain_step), col0, col1);
          for (std::size_t k = 0; k < 8; ++k)
            add_column<T, op>(a[c], b[c], col0[k], q + j + k, true);
          for (std::size_t k = 0; k < 8; ++k)
            add_column<T, op>(a[c], b[c], col1[k], q + j + 8 + k, true);
        }
      }
    }
    for (; j < both; j += 8) {
      ahead.at_column(j);
      for (std::size_t c = 0; c < C; ++c) {
        V col[8];
        T::load_columns(kConsecutive ? p : p + c * W,
                        static_cast<std::ptrdiff_t>(j + c * chain_step), col);
        for (std::size_t k = 0; k < 8; ++k) add_column<T, op>(a[c], b[c], col[k], q + j + k, true);
      }
    }
    for (; j < len; j += 8) {
      ahead.at_column(j);
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

    if constexpr (op == Op::Cosine)
      for (std::size_t c = 0; c < C; ++c) a[c] = cosine_lanes<T>(a[c], b[c], q_root);
    const std::size_t valid = lesser(R, count - g);
    float tmp[R];
    for (std::size_t c = 0; c < C; ++c) T::store(a[c], tmp + c * W);
    for (std::size_t i = 0; i < valid; ++i) out[g + i] = tmp[i];
  }
}

// The same instruction set with C accumulator chains for scattered rows: one for a last group
// of at most W rows (a graph node's few unvisited neighbours), which would otherwise be padded
// to kChains * W rows; the consecutive kernel's kConsecutiveChains (16 rows) for rows longer
// than the prefetch lead, which then go with a lead per row (see RowPrefetch).
template <class T, std::size_t C>
struct Chains : T {
  static constexpr std::size_t kChains = C;
};

template <class T, Op op>
void run_rows(const float* q, float q_root, RowSource src, std::size_t count, std::size_t n,
              std::size_t m, float* out) {
  if (src.ptrs == nullptr) {
    if constexpr (T::kStaggered) {
      if ((op != Op::Cosine || n == m) && staggers(src, count, n)) {
        const std::size_t done = run_staggered<T, op>(q, q_root, src, count, n, out);
        src.base += done * src.stride;
        count -= done;
        out += done;
        if (count == 0) return;
      }
    }
    run_rows_from<T, op, true>(q, q_root, src, count, n, m, out);
    return;
  }
  if (beyond_lead(op == Op::Cosine ? m : n)) {
    run_rows_from<Chains<T, T::kConsecutiveChains>, op, false>(q, q_root, src, count, n, m, out);
    return;
  }
  constexpr std::size_t R = T::kChains * T::W;
  const std::size_t tail = count % R;
  const std::size_t whole = tail != 0 && tail <= T::W ? count - tail : count;
  if (whole > 0) run_rows_from<T, op, false>(q, q_root, src, whole, n, m, out);
  if (whole < count)
    run_rows_from<Chains<T, 1>, op, false>(q, q_root, RowSource{nullptr, 0, src.ptrs + whole, 0},
                                           count - whole, n, m, out + whole);
}

template <class T>
void dot_rows(const float* q, RowSource src, std::size_t count, std::size_t n, float* out) {
  run_rows<T, Op::Dot>(q, 0.0f, src, count, n, n, out);
}

// Several queries against the same rows: each block of 8 columns is loaded and transposed
// once and multiplied with kQueries queries' elements, each query in its own accumulator
// chain, so that a pass scores kQueries queries in about the latency of one. Short groups of
// rows or queries repeat their last one; the extra lanes and chains are computed and dropped.
template <class T>
void dot_queries(const float* const* qs, std::size_t nq, RowSource src, std::size_t count,
                 std::size_t n, float* out) {
  using V = typename T::V;
  constexpr std::size_t W = T::W, kQueries = 4;
  const std::size_t whole = n & ~std::size_t{7};
  for (std::size_t g = 0; g < count; g += W) {
    const float* p[W];
    for (std::size_t i = 0; i < W; ++i) p[i] = row_of(src, lesser(g + i, count - 1));
    const std::size_t valid = lesser(W, count - g);
    for (std::size_t k0 = 0; k0 < nq; k0 += kQueries) {
      const float* q[kQueries];
      for (std::size_t c = 0; c < kQueries; ++c) q[c] = qs[lesser(k0 + c, nq - 1)];
      V a[kQueries];
      for (std::size_t c = 0; c < kQueries; ++c) a[c] = T::neg_zero();
      for (std::size_t j = 0; j < n; j += 8) {
        const std::size_t cols = lesser(8, n - j);
        V col[8];
        if (j < whole)
          T::load_columns(p, static_cast<std::ptrdiff_t>(j), col);
        else
          T::load_columns_masked(p, static_cast<std::ptrdiff_t>(j), cols, col);
        for (std::size_t k = 0; k < cols; ++k)
          for (std::size_t c = 0; c < kQueries; ++c)
            a[c] = T::add(a[c], T::mul(col[k], T::broadcast(q[c] + j + k)));
      }
      float tmp[W];
      for (std::size_t c = 0; c < lesser(kQueries, nq - k0); ++c) {
        T::store(a[c], tmp);
        for (std::size_t i = 0; i < valid; ++i) out[(k0 + c) * count + g + i] = tmp[i];
      }
    }
  }
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

// PQ codes from the block layout (kernels.hpp), W per register (one code per lane), each lane
// adding its sub-spaces' partial distances in sub-space order from +0.0 exactly as the scalar
// sum does. One load gives every lane 4 bytes of its code, 8 sub-spaces at 4 bits or 4 at 8
// bits, sub-space s at bit kBits * s. Several groups of W codes run together (kPQGroups4,
// kPQGroups8): one addition chain alone would wait on the add latency.
//
// At 4 bits a sub-space's 16 partial distances sit in one register (two for AVX2) and each lane
// picks its own with a permute (T::lut16 reads only the low four bits of an index, so a word
// needs a shift per sub-space and no mask). At 8 bits the entries are gathered (T::gather256),
// or, where the instruction set has the registers for a sub-space's 256 entries
// (T::kPQ8InRegisters), picked from them by permutes (T::lut256); then the groups go sub-space
// by sub-space so that each table is loaded once for all of them (the whole lookup table
// outgrows L1), elsewhere word by word as at 4 bits.
template <class T, unsigned kBits, std::size_t C, bool kSumNorms>
inline void pq_add_sub_space(const PQScan& scan, std::size_t g, typename T::VI* word,
                             typename T::V* sum, typename T::V* norm) {
  const std::size_t base = g << kBits;
  for (std::size_t c = 0; c < C; ++c) {
    if constexpr (kBits == 4) {
      sum[c] = T::add(sum[c], T::lut16(scan.values + base, word[c]));
      if constexpr (kSumNorms) norm[c] = T::add(norm[c], T::lut16(scan.sq_norms + base, word[c]));
    } else {
      sum[c] = T::add(sum[c], T::gather256(scan.values + base, word[c]));
      if constexpr (kSumNorms)
        norm[c] = T::add(norm[c], T::gather256(scan.sq_norms + base, word[c]));
    }
    word[c] = T::template isrli<kBits>(word[c]);
  }
}

template <class T, std::size_t C>
inline void pq_add_table256(const float* table, const unsigned char* const* group, std::size_t g,
                            typename T::V* sum) {
  const typename T::Table256 t = T::load256(table + (g << 8));
  const std::size_t at = g / 4 * kPQBlockCodes * 4;
  const int shift = static_cast<int>(8 * (g % 4));
  for (std::size_t c = 0; c < C; ++c)
    sum[c] = T::add(sum[c], T::lut256(t, T::isrl(T::iload(group[c] + at), shift)));
}

// S (and N when summed) of C groups of W codes, group c's words starting at group[c].
template <class T, unsigned kBits, std::size_t C, bool kSumNorms>
inline void pq_group_sums(const PQScan& scan, const unsigned char* const* group, typename T::V* sum,
                          typename T::V* norm) {
  using VI = typename T::VI;
  constexpr std::size_t kPerWord = 32 / kBits;
  constexpr std::size_t kWordBytes = kPQBlockCodes * 4;
  for (std::size_t c = 0; c < C; ++c) sum[c] = norm[c] = T::set1(0.0f);
  if constexpr (kBits == 8 && T::kPQ8InRegisters) {
    for (std::size_t g = 0; g < scan.m; ++g) {
      pq_add_table256<T, C>(scan.values, group, g, sum);
      if constexpr (kSumNorms) pq_add_table256<T, C>(scan.sq_norms, group, g, norm);
    }
  } else {
    const std::size_t whole = scan.m / kPerWord, rest = scan.m % kPerWord;
    VI word[C];
    for (std::size_t w = 0; w < whole; ++w) {
      for (std::size_t c = 0; c < C; ++c) word[c] = T::iload(group[c] + w * kWordBytes);
      for (std::size_t s = 0; s < kPerWord; ++s)
        pq_add_sub_space<T, kBits, C, kSumNorms>(scan, w * kPerWord + s, word, sum, norm);
    }
    if (rest == 0) return;
    for (std::size_t c = 0; c < C; ++c) word[c] = T::iload(group[c] + whole * kWordBytes);
    for (std::size_t s = 0; s < rest; ++s)
      pq_add_sub_space<T, kBits, C, kSumNorms>(scan, whole * kPerWord + s, word, sum, norm);
  }
}

// The result of W lanes from their sums: S, or the cosine finish lane by lane.
template <class T>
inline typename T::V pq_finish(const PQScan& scan, typename T::V sum, typename T::V norm) {
  if (scan.sq_norms == nullptr) return sum;
  return cosine_lanes<T>(sum, norm, scan.query_norm);
}

template <class T, unsigned kBits, bool kSumNorms>
void pq_scan_blocks(const PQScan& scan, float* out) {
  using V = typename T::V;
  constexpr std::size_t W = T::W;
  constexpr std::size_t C = kBits == 8 ? T::kPQGroups8 : T::kPQGroups4;
  const std::size_t block_bytes = kPQBlockCodes * 4 * ((scan.code_len + 3) / 4);
  const std::size_t first = scan.first, end = scan.first + scan.count;
  auto group_at = [&](std::size_t row) {  // row: a multiple of W
    return scan.blocks + row / kPQBlockCodes * block_bytes + 4 * (row % kPQBlockCodes);
  };
  // A group that covers rows outside [first, end): its lanes are all computed (the blocks hold
  // whole groups), and only those inside are stored.
  auto edge_group = [&](std::size_t row) {
    const unsigned char* group = group_at(row);
    V sum, norm;
    pq_group_sums<T, kBits, 1, kSumNorms>(scan, &group, &sum, &norm);
    const std::size_t lo = row < first ? first - row : 0, hi = row + W > end ? end - row : W;
    float lanes[W];
    if (scan.sq_norms != nullptr && !kSumNorms) {
      for (std::size_t i = 0; i < W; ++i)
        lanes[i] = i >= lo && i < hi ? scan.code_norms[row + i - first] : 0.0f;
      norm = T::load(lanes);
    }
    T::store(pq_finish<T>(scan, sum, norm), lanes);
    for (std::size_t i = lo; i < hi; ++i) out[row + i - first] = lanes[i];
  };

  std::size_t row = first - first % W;
  if (row < first) {
    edge_group(row);
    row += W;
  }
  for (; row + C * W <= end; row += C * W) {
    const unsigned char* group[C];
    for (std::size_t c = 0; c < C; ++c) group[c] = group_at(row + c * W);
    V sum[C], norm[C];
    pq_group_sums<T, kBits, C, kSumNorms>(scan, group, sum, norm);
    for (std::size_t c = 0; c < C; ++c) {
      const std::size_t at = row + c * W - first;
      if (scan.sq_norms != nullptr && !kSumNorms) norm[c] = T::load(scan.code_norms + at);
      T::store(pq_finish<T>(scan, sum[c], norm[c]), out + at);
    }
  }
  for (; row < end; row += W) {
    if (row + W > end) {
      edge_group(row);
      break;
    }
    const unsigned char* group = group_at(row);
    V sum, norm;
    pq_group_sums<T, kBits, 1, kSumNorms>(scan, &group, &sum, &norm);
    if (scan.sq_norms != nullptr && !kSumNorms) norm = T::load(scan.code_norms + row - first);
    T::store(pq_finish<T>(scan, sum, norm), out + row - first);
  }
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
        const unsigned c =
            scan.n_bits == 4 ? (code[l][g >> 1] >> ((g & 1) * 4)) & 0xFu : code[l][g];
        const std::size_t idx = (g << scan.n_bits) + c;
        sum[l] = sum[l] + scan.values[idx];
        if (scan.sq_norms != nullptr && scan.code_norms == nullptr)
          norm[l] = norm[l] + scan.sq_norms[idx];
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

// Codes in blocks go the lane way; codes given only row by row (not a table's own) are scored
// by the interleaved scalar loop.
template <class T>
void pq_scan(const PQScan& scan, float* out) {
  if (scan.blocks == nullptr) {
    pq_scan_interleaved<4>(scan, out);
    return;
  }
  const bool sum_norms = scan.sq_norms != nullptr && scan.code_norms == nullptr;
  if (scan.n_bits == 4)
    (sum_norms ? pq_scan_blocks<T, 4, true> : pq_scan_blocks<T, 4, false>)(scan, out);
  else
    (sum_norms ? pq_scan_blocks<T, 8, true> : pq_scan_blocks<T, 8, false>)(scan, out);
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
      for (std::size_t l = 0; l < W && first + l < scan.end; ++l)
        out[first + l - scan.begin] = tmp[l];
    }
  }
}

template <class T>
constexpr Kernels make_kernels(const char* name) {
  return Kernels{name,           dot_rows<T>, dot_queries<T>,        l2sqr_rows<T>,
                 cosine_rows<T>, pq_scan<T>,  columns<T, Op::L2Sqr>, columns<T, Op::Cosine>};
}

}  // namespace
}  // namespace quillmere::kernels
