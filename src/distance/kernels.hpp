// PRIVATE header of src/distance: the per-instruction-set kernels behind distance.hpp.
//
// Every sum is a single-precision sum of rounded terms, one term at a time in ascending index
// order, starting from -0.0, without fused multiply-add. The vector variants keep that order by
// putting one row per lane (8 rows per AVX2 register, 16 per AVX-512 register): each lane runs
// its own sequential sum, so every variant is bit-identical to the scalar reference.
#pragma once

#include <cstddef>

namespace quillmere::kernels {

// Where the rows of a batch are: either `ptrs[i]` or `base + i * stride`. Consecutive rows may
// be followed by `following` more rows that the caller scans next: the kernel may prefetch
// them (never reads them).
struct RowSource {
  const float* base = nullptr;
  std::size_t stride = 0;
  const float* const* ptrs = nullptr;
  std::size_t following = 0;

  const float* row(std::size_t i) const { return ptrs != nullptr ? ptrs[i] : base + i * stride; }
};

// One instruction set's batch kernels. For rows r_0 .. r_{count-1} of `src` and a query q:
//   dot:        out[i] = sum_{j<n} q[j] * r_i[j]
//   l2sqr:      out[i] = sum_{j<n} (q[j] - r_i[j])^2
//   cosine:     out[i] = cosine_finish(dot over n, q_root * sqrt(sum_{j<m} r_i[j]^2));
//               requires n <= m (the row's norm covers the whole row)
// Consecutive PQ codes scored against a lookup table: for code i and sub-space g with centroid
// c (the low or high nibble of byte g/2 for 4 bits, byte g for 8 bits) and idx = (g << n_bits)
// + c, S = sum of values[idx] and N = sum of sq_norms[idx], each from +0.0 in sub-space order;
// out[i] = S for L2Sqr (sq_norms null), cosine_finish(S, sqrt(N) * query_norm) for Cosine.
struct PQScan {
  const unsigned char* codes;
  std::size_t code_len;
  std::size_t count;
  std::size_t m;
  unsigned n_bits;  // 4 or 8
  const float* values;
  const float* sq_norms;  // Cosine only; nullptr for L2Sqr
  float query_norm;
  // Cosine, optional: N of every code, already summed (it does not depend on the query).
  const float* code_norms = nullptr;
  // Optional: the same codes in the block layout below, code i of the scan being row
  // `first + i` there. The vector kernels read codes from the blocks when they are given.
  const unsigned char* blocks = nullptr;
  std::size_t first = 0;
};

// The block layout of PQ codes, made for scoring kPQBlockCodes codes at once, one per lane:
// rows in blocks of 16; a code is read as ceil(code_len / 4) 32-bit little-endian words, and
// block b stores word w of its 16 codes side by side (bytes 4w .. 4w + 3 of code 16b + i at
// offset b * 64 * words + 64 * w + 4 * i). Bytes past a code's end and the codes past the
// last row of the last block are zero.
inline constexpr std::size_t kPQBlockCodes = 16;
// Bytes of the block layout of `count` codes of `code_len` bytes.
std::size_t pq_blocks_bytes(std::size_t code_len, std::size_t count);
// Writes rows [begin, end) of the row-major `codes` into their places in `blocks`: the zeroed
// pq_blocks_bytes(code_len, count) bytes of some count >= end. Disjoint ranges may be written
// in parallel.
void pq_fill_blocks(const unsigned char* codes, std::size_t code_len, std::size_t begin,
                    std::size_t end, unsigned char* blocks);

// Rows stored by column: component j of row i at cols[j * lanes + i]. Scores rows
// [begin, end) against q over the first n components: L2Sqr sums of (q[j] - r_i[j])^2, or
// Cosine from the dot over n and the whole-row roots row_roots[i] (q_root: q's own root).
// REQUIRES: begin a multiple of 16; lanes a multiple of 16 and >= end rounded up to 16
// (the padding lanes are read, never reported). out[i - begin] gets row i.
struct ColumnScan {
  const float* q;
  std::size_t n;
  const float* cols;
  std::size_t lanes;
  std::size_t begin;
  std::size_t end;
  const float* row_roots;  // Cosine only
  float q_root;            // Cosine only
};

struct Kernels {
  const char* name;
  void (*dot)(const float* q, RowSource src, std::size_t count, std::size_t n, float* out);
  // dot for each of the queries qs[0 .. nq-1] against the same rows:
  // out[k * count + i] = sum_{j<n} qs[k][j] * r_i[j].
  void (*dot_queries)(const float* const* qs, std::size_t nq, RowSource src, std::size_t count,
                      std::size_t n, float* out);
  void (*l2sqr)(const float* q, RowSource src, std::size_t count, std::size_t n, float* out);
  void (*cosine)(const float* q, float q_root, RowSource src, std::size_t count, std::size_t n,
                 std::size_t m, float* out);
  void (*pq_scan)(const PQScan& scan, float* out);
  void (*l2sqr_columns)(const ColumnScan& scan, float* out);
  void (*cosine_columns)(const ColumnScan& scan, float* out);
};

// The smallest cosine denominator: the float nearest to 1e-10.
inline constexpr float kCosineFloor = 1e-10f;

// 1 - dot / den, with a denominator that is not above the floor (or NaN) raised to the floor.
inline float cosine_finish(float dot, float den) {
  if (!(den > kCosineFloor)) den = kCosineFloor;
  return 1.0f - dot / den;
}

enum class Isa { Scalar, Avx2, Avx512 };

// The reference definitions, one pair at a time.
float dot_ref(const float* a, const float* b, std::size_t n);
float sq_norm_ref(const float* a, std::size_t n);
float l2sqr_ref(const float* a, const float* b, std::size_t n);
// One code of a PQScan, scored by the reference definition (N summed from the code).
float pq_code_ref(const PQScan& scan, const unsigned char* code);
// N of one code: its centroids' squared norms summed in sub-space order from +0.0.
float pq_code_norm_ref(const PQScan& scan, const unsigned char* code);
// The three sums of a cosine distance of two vectors of length n, in one pass (three
// independent chains instead of three passes): aa = |a|^2, bb = |b|^2, ab = a.b.
void cosine_sums_ref(const float* a, const float* b, std::size_t n, float* aa, float* bb,
                     float* ab);

const Kernels& scalar_kernels();
const Kernels& avx2_kernels();    // callable only where the CPU has AVX2
const Kernels& avx512_kernels();  // callable only where the CPU has AVX-512F

// The kernels of `isa`, or nullptr when this CPU cannot run them.
const Kernels* kernels_for(Isa isa);
// The best kernels this CPU runs, chosen once.
const Kernels& active_kernels();

}  // namespace quillmere::kernels
