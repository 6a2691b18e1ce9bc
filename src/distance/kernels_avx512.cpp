// AVX-512 batch kernels: 16 rows per register. Compiled with -mavx512f only (see
// CMakeLists.txt). Each register is filled from two rows' 8-element blocks as 256-bit halves
// (rows i and i+8), transposed in 128-bit lanes like the AVX2 kernel, and the lanes are put in
// row order by one two-source permute per column.
//
// Per column that is 7 vector operations. Measured on a Zen 5 with rows hot in L1, the loads and
// arithmetic alone (one add chain per row, bound by the add latency) take about 0.8 of the time
// of the whole, and none of the alternatives measured there was faster: each register built
// from four rows' 128-bit pieces, so that only in-lane shuffles remain (inserts from memory:
// 0.93-0.95x; masked loads: 0.6x); the subtraction moved to the multiply pipes (x * 1 - q
// rounds once, to the bits of x - q: 0.93-1.0x); two groups of 16 rows in flight (0.9x at 768
// dimensions, 0.5x at 1536, whose 32 rows then share two L1 sets). On that core the two-source
// permutes issue on the same two pipes as the adds (alone 2 per cycle each, mixed 2 in all).
#include <immintrin.h>

#include "distance/kernels_lanes.hpp"

namespace quillmere::kernels {
namespace {

struct Avx512 {
  using V = __m512;
  static constexpr std::size_t kChains = 2;
  static constexpr std::size_t kConsecutiveChains = 1;  // 16 rows per group
  static constexpr std::size_t W = 16;

  static V neg_zero() { return _mm512_set1_ps(-0.0f); }
  static V add(V a, V b) { return _mm512_add_ps(a, b); }
  static V sub(V a, V b) { return _mm512_sub_ps(a, b); }
  static V mul(V a, V b) { return _mm512_mul_ps(a, b); }
  static V div(V a, V b) { return _mm512_div_ps(a, b); }
  static V sqrt(V a) { return _mm512_sqrt_ps(a); }
  static V load(const float* p) { return _mm512_loadu_ps(p); }
  static V set1(float x) { return _mm512_set1_ps(x); }
  // x where x > floor, else floor (NaN included).
  static V raise_to(V x, V floor) {
    return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(x, floor, _CMP_GT_OQ), floor, x);
  }
  static V broadcast(const float* x) { return _mm512_set1_ps(*x); }

  using VI = __m512i;
  template <int kShift>
  static VI isrli(VI a) {
    return _mm512_srli_epi32(a, kShift);
  }
  static VI isrl(VI a, int count) { return _mm512_srl_epi32(a, _mm_cvtsi32_si128(count)); }
  static VI iload(const unsigned char* p) { return _mm512_loadu_si512(p); }
  static constexpr std::size_t kPQGroups4 = 4;  // 64 codes: the add latency over the permutes
  static constexpr std::size_t kPQGroups8 = 8;  // 128 codes per load of a table (16 would spill)
  static constexpr bool kPQ8InRegisters = true;
  // Entry c of a 16-entry table for each lane: one register, one permute.
  static V lut16(const float* table, VI c) {
    return _mm512_permutexvar_ps(c, _mm512_loadu_ps(table));
  }
  // The 256 entries of an 8-bit sub-space in 16 registers: entry c for each lane is picked by
  // eight two-register permutes (bits 0-4 of c) and a tree of blends (bits 5-7). On Zen 4 this
  // scored 8-bit codes of m = 43 in 5.5 ns against 10.5 ns with gathers.
  struct Table256 {
    V part[16];
  };
  static Table256 load256(const float* t) {
    Table256 r;
    for (int j = 0; j < 16; ++j) r.part[j] = _mm512_loadu_ps(t + 16 * j);
    return r;
  }
  static V lut256(const Table256& t, VI c) {
    const __mmask16 b5 = _mm512_test_epi32_mask(c, _mm512_set1_epi32(32));
    const __mmask16 b6 = _mm512_test_epi32_mask(c, _mm512_set1_epi32(64));
    const __mmask16 b7 = _mm512_test_epi32_mask(c, _mm512_set1_epi32(128));
    V p[8];
    for (int j = 0; j < 8; ++j) p[j] = _mm512_permutex2var_ps(t.part[2 * j], c, t.part[2 * j + 1]);
    const V q0 = _mm512_mask_blend_ps(b5, p[0], p[1]), q1 = _mm512_mask_blend_ps(b5, p[2], p[3]);
    const V q2 = _mm512_mask_blend_ps(b5, p[4], p[5]), q3 = _mm512_mask_blend_ps(b5, p[6], p[7]);
    const V r0 = _mm512_mask_blend_ps(b6, q0, q1), r1 = _mm512_mask_blend_ps(b6, q2, q3);
    return _mm512_mask_blend_ps(b7, r0, r1);
  }
  static void store(V v, float* out) { _mm512_storeu_ps(out, v); }

  static V halves(__m256 lo, __m256 hi) {
    return _mm512_castpd_ps(
        _mm512_insertf64x4(_mm512_castps_pd(_mm512_castps256_ps512(lo)), _mm256_castps_pd(hi), 1));
  }

  // r[i] = [row i, elements 0..7 | row i+8, elements 0..7]  ->  c[k] = element k of rows 0..15.
  static void transpose(const V r[8], V c[8]) {
    const V t0 = _mm512_unpacklo_ps(r[0], r[1]), t1 = _mm512_unpackhi_ps(r[0], r[1]);
    const V t2 = _mm512_unpacklo_ps(r[2], r[3]), t3 = _mm512_unpackhi_ps(r[2], r[3]);
    const V t4 = _mm512_unpacklo_ps(r[4], r[5]), t5 = _mm512_unpackhi_ps(r[4], r[5]);
    const V t6 = _mm512_unpacklo_ps(r[6], r[7]), t7 = _mm512_unpackhi_ps(r[6], r[7]);
    const V s0 = _mm512_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
    const V s1 = _mm512_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
    const V s2 = _mm512_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
    const V s3 = _mm512_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
    const V s4 = _mm512_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
    const V s5 = _mm512_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
    const V s6 = _mm512_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
    const V s7 = _mm512_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
    // Lanes 0-3 of s_k hold rows 0-3, lanes 8-11 rows 8-11 (of element k or k+4, by half).
    const __m512i lo = _mm512_setr_epi32(0, 1, 2, 3, 16, 17, 18, 19, 8, 9, 10, 11, 24, 25, 26, 27);
    const __m512i hi =
        _mm512_setr_epi32(4, 5, 6, 7, 20, 21, 22, 23, 12, 13, 14, 15, 28, 29, 30, 31);
    c[0] = _mm512_permutex2var_ps(s0, lo, s4);
    c[1] = _mm512_permutex2var_ps(s1, lo, s5);
    c[2] = _mm512_permutex2var_ps(s2, lo, s6);
    c[3] = _mm512_permutex2var_ps(s3, lo, s7);
    c[4] = _mm512_permutex2var_ps(s0, hi, s4);
    c[5] = _mm512_permutex2var_ps(s1, hi, s5);
    c[6] = _mm512_permutex2var_ps(s2, hi, s6);
    c[7] = _mm512_permutex2var_ps(s3, hi, s7);
  }

  static void load_columns(const float* const* p, std::ptrdiff_t j, V c[8]) {
    V r[8];
    for (std::size_t i = 0; i < 8; ++i)
      r[i] = halves(_mm256_loadu_ps(p[i] + j), _mm256_loadu_ps(p[i + 8] + j));
    transpose(r, c);
  }

  // Columns j .. j+7 into c0 and j+8 .. j+15 into c1, both halves of a row's 64 bytes loaded
  // one after the other (see kWholeLines in kernels_lanes.hpp).
  static constexpr bool kWholeLines = true;
  static void load_column_pairs(const float* const* p, std::ptrdiff_t j, V c0[8], V c1[8]) {
    V r0[8], r1[8];
    for (std::size_t i = 0; i < 8; ++i) {
      r0[i] = halves(_mm256_loadu_ps(p[i] + j), _mm256_loadu_ps(p[i + 8] + j));
      r1[i] = halves(_mm256_loadu_ps(p[i] + j + 8), _mm256_loadu_ps(p[i + 8] + j + 8));
    }
    transpose(r0, c0);
    transpose(r1, c1);
  }

  // The staggered groups of kernels_staggered.hpp: the 4 floats at x in every 128 bits, and
  // -0.0 in the lanes of a mask.
  static constexpr bool kStaggered = true;
  static V broadcast4(const float* x) { return _mm512_broadcast_f32x4(_mm_loadu_ps(x)); }
  static V reset_lanes(V a, unsigned lanes) {
    return _mm512_mask_mov_ps(a, static_cast<__mmask16>(lanes), neg_zero());
  }

  static void load_columns_masked(const float* const* p, std::ptrdiff_t j, std::size_t cols,
                                  V c[8]) {
    const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(cols)),
                                            _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    V r[8];
    for (std::size_t i = 0; i < 8; ++i)
      r[i] = halves(_mm256_maskload_ps(p[i] + j, mask), _mm256_maskload_ps(p[i + 8] + j, mask));
    transpose(r, c);
  }
};

constexpr Kernels kAvx512 = make_kernels<Avx512>("avx512");

}  // namespace

const Kernels& avx512_kernels() { return kAvx512; }

}  // namespace quillmere::kernels
