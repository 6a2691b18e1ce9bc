// PRIVATE header of src/distance: the flat scan of wide consecutive rows in staggered groups,
// for an instruction set with 16 lanes (T::kStaggered). Internal linkage, like kernels_lanes.hpp.
//
// Why: a group of 16 rows read side by side wants the same column of all 16 rows at once. Where
// the row stride is a multiple of 4 KiB (1024, 2048, 3072, 4096 dimensions) those 16 lines fall
// into one set of the 12-way L1, and lines prefetched for the group evict each other before
// their use; at 2 KiB multiples (512, 1536) 8 rows share a set. Measured on a Zen 5 with a plain
// read of 16 rows of 3072 floats, one load per line: 17-21 GB/s with the rows in step, 29-33 at
// 3056 floats, 34 with the rows in four quarters 128 columns apart.
//
// How: lane l of the register holds row 4 * (l % 4) + l / 4 of its group, in quarter l % 4, and
// quarter s runs s * kStaggerColumns columns behind quarter 0. Time t advances 16 columns per
// step; at time t quarter s reads column t - s * kStaggerColumns of its rows. A quarter goes
// straight on from one group to the next: when its lanes reach the end of their rows their sums
// are stored and reset to -0.0, and their pointers move 16 rows on. Each lane therefore still
// adds exactly its row's terms, in ascending column order, from -0.0: the bits of the scalar sum.
// The query element of each lane comes from a table built per call, four floats per column
// {q[c], q[c - S], q[c - 2S], q[c - 3S]} (indices modulo the length), one 128-bit broadcast per
// column. Before a quarter's first row its lanes read the rows before their own (every quarter
// but the first has rows of its group in front of it), after its last row they read on into the
// rows after their own (every quarter but the last has rows behind it, and the last one ends
// the time); those sums are dropped, and nothing outside the rows is read.
//
// Measured beside the lane kernel (one thread, data far larger than the last-level cache, the
// two interleaved in one process, share of a streaming read): 1024 dimensions 0.67-0.77 ->
// 0.87-1.09, 3072: 0.61-0.81 -> 0.90-1.20, 4096: 0.59-0.81 -> 0.89-1.17. Quarters 128 columns
// apart measured 0.02-0.13 lower, a lead of 64 columns lower still; at strides of 2 KiB
// multiples (1536 dimensions, 8 rows of a group in one set) and at 768 the lane kernel was as
// fast or faster, so they stay with it.
#pragma once

#include <xmmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "distance/kernels.hpp"
#include "distance/kernels_terms.hpp"

namespace quillmere::kernels {
namespace {

constexpr std::size_t kStaggerColumns = 256;  // 16 lines: no two quarters' leads share a set
constexpr std::size_t kStaggerQuarters = 4;   // at most 4 rows of a group in one set at once
constexpr std::size_t kStaggeredLead = 128;   // columns prefetched ahead along each row
constexpr std::size_t kMinStaggeredLen = kStaggerQuarters * kStaggerColumns;
constexpr std::size_t kMinStaggeredRows = 64;  // the table costs about as much as one group

// Rows the staggered groups take: consecutive, a stride of whole 4 KiB (a group's rows in one
// set), whole steps of 16 columns (so that rows start and end at a step), and long enough that
// every quarter has rows in front of it.
inline bool staggers(const RowSource& src, std::size_t count, std::size_t len) {
  return src.ptrs == nullptr && count >= kMinStaggeredRows &&
         src.stride * sizeof(float) % 4096 == 0 && len % 16 == 0 && len >= kMinStaggeredLen;
}

// Whole groups of 16 rows of `len` columns, every column in every term of the op; returns the
// rows scored (a multiple of 16), 0 if the table could not be allocated.
template <class T, Op op>
std::size_t run_staggered(const float* q, float q_root, const RowSource& src, std::size_t count,
                          std::size_t len, float* out) {
  using V = typename T::V;
  constexpr std::size_t R = 16, Q = kStaggerQuarters, S = kStaggerColumns;
  constexpr std::size_t lead = kStaggeredLead;
  static_assert(T::W == R && Q * Q == R);
  // On the heap: a thread's stack may be small (Python lets a program choose 32 KiB).
  float* const table = static_cast<float*>(std::malloc(len * Q * sizeof(float)));
  if (table == nullptr) return 0;
  for (std::size_t s = 0; s < Q; ++s) {
    const std::size_t shift = s * S;
    for (std::size_t c = 0; c < shift; ++c) table[c * Q + s] = q[c + len - shift];
    for (std::size_t c = shift; c < len; ++c) table[c * Q + s] = q[c - shift];
  }

  const std::size_t groups = count / R, total = count + src.following, stride = src.stride;
  V a = T::neg_zero(), b = T::neg_zero();
  // Lane l reads p[l] + t at time t and prefetches pf[l] + t + lead.
  const float* p[R];
  const float* pf[R];
  // Quarter s: the time its current row ends (before its first row: the time that row
  // begins), the rows it has begun, and whether its prefetch has moved on to its next row.
  std::size_t ends[Q], begun[Q];
  bool moved_on[Q];
  for (std::size_t s = 0; s < Q; ++s) {
    ends[s] = s * S;
    begun[s] = 0;
    moved_on[s] = true;
    for (std::size_t i = 0; i < Q; ++i)
      pf[Q * i + s] = p[Q * i + s] = src.base + (Q * s + i) * stride - s * S;
  }
  auto finish_quarter = [&](std::size_t s, std::size_t group) {
    float lanes[R];
    if constexpr (op == Op::Cosine)
      T::store(cosine_lanes<T>(a, b, q_root), lanes);
    else
      T::store(a, lanes);
    for (std::size_t i = 0; i < Q; ++i) out[group * R + Q * s + i] = lanes[Q * i + s];
  };
  std::size_t column = 0;  // t modulo len: quarter 0's column, the query table's row
  for (std::size_t t = 0;;) {
    // The quarters' changes at time t and the time of the next one.
    std::size_t next = SIZE_MAX;
    for (std::size_t s = 0; s < Q; ++s) {
      if (begun[s] > groups) continue;  // past its last row
      if (t == ends[s]) {
        if (begun[s] > 0) finish_quarter(s, begun[s] - 1);
        const unsigned lanes = 0x1111u << s;
        a = T::reset_lanes(a, lanes);
        if constexpr (op == Op::Cosine) b = T::reset_lanes(b, lanes);
        if (begun[s]++ == groups) continue;
        ends[s] = t + len;
        moved_on[s] = false;
        for (std::size_t i = 0; i < Q; ++i) {
          const std::size_t row = (begun[s] - 1) * R + Q * s + i;
          pf[Q * i + s] = p[Q * i + s] = src.base + row * stride - t;
        }
      } else if (!moved_on[s] && t == ends[s] - lead) {
        // The prefetch runs on into the same lane's row of the next group, where there is one.
        moved_on[s] = true;
        for (std::size_t i = 0; i < Q; ++i)
          if (begun[s] * R + Q * s + i < total) pf[Q * i + s] = p[Q * i + s] + R * stride - len;
      }
      next = lesser(next, moved_on[s] ? ends[s] : ends[s] - lead);
    }
    if (begun[Q - 1] > groups) break;
    const float* qt = table + column * Q;
    column = (column + (next - t)) % len;
    for (; t < next; t += 16, qt += 16 * Q) {
      for (std::size_t l = 0; l < R; ++l)
        _mm_prefetch(reinterpret_cast<const char*>(pf[l] + t + lead), _MM_HINT_T0);
      V col[2][8];
      T::load_column_pairs(p, static_cast<std::ptrdiff_t>(t), col[0], col[1]);
      for (std::size_t h = 0; h < 2; ++h)
        for (std::size_t k = 0; k < 8; ++k)
          add_terms<T, op>(a, b, col[h][k], T::broadcast4(qt + (8 * h + k) * Q));
    }
  }
  std::free(table);
  return groups * R;
}

}  // namespace
}  // namespace quillmere::kernels
