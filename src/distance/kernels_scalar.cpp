// The scalar reference: the definition every other variant must reproduce bit for bit.
#include "distance/kernels.hpp"

#include <cmath>

namespace quillmere::kernels {

float dot_ref(const float* a, const float* b, std::size_t n) {
  float s = -0.0f;
  for (std::size_t i = 0; i < n; ++i) s = s + a[i] * b[i];
  return s;
}

float sq_norm_ref(const float* a, std::size_t n) {
  float s = -0.0f;
  for (std::size_t i = 0; i < n; ++i) s = s + a[i] * a[i];
  return s;
}

float l2sqr_ref(const float* a, const float* b, std::size_t n) {
  float s = -0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float d = a[i] - b[i];
    s = s + d * d;
  }
  return s;
}

void cosine_sums_ref(const float* a, const float* b, std::size_t n, float* aa, float* bb,
                     float* ab) {
  float p = -0.0f, q = -0.0f, d = -0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    p = p + a[i] * a[i];
    q = q + b[i] * b[i];
    d = d + a[i] * b[i];
  }
  *aa = p;
  *bb = q;
  *ab = d;
}

float pq_code_ref(const PQScan& scan, const unsigned char* code) {
  float sum = 0.0f, norm = 0.0f;
  for (std::size_t g = 0; g < scan.m; ++g) {
    const unsigned c = scan.n_bits == 4 ? (code[g >> 1] >> ((g & 1) * 4)) & 0xFu : code[g];
    const std::size_t idx = (g << scan.n_bits) + c;
    sum = sum + scan.values[idx];
    if (scan.sq_norms != nullptr) norm = norm + scan.sq_norms[idx];
  }
  if (scan.sq_norms == nullptr) return sum;
  return cosine_finish(sum, std::sqrt(norm) * scan.query_norm);
}

float pq_code_norm_ref(const PQScan& scan, const unsigned char* code) {
  float norm = 0.0f;
  for (std::size_t g = 0; g < scan.m; ++g) {
    const unsigned c = scan.n_bits == 4 ? (code[g >> 1] >> ((g & 1) * 4)) & 0xFu : code[g];
    norm = norm + scan.sq_norms[(g << scan.n_bits) + c];
  }
  return norm;
}

std::size_t pq_blocks_bytes(std::size_t code_len, std::size_t count) {
  const std::size_t blocks = (count + kPQBlockCodes - 1) / kPQBlockCodes;
  return blocks * kPQBlockCodes * 4 * ((code_len + 3) / 4);
}

void pq_fill_blocks(const unsigned char* codes, std::size_t code_len, std::size_t begin,
                    std::size_t end, unsigned char* blocks) {
  const std::size_t word_bytes = kPQBlockCodes * 4;
  const std::size_t block_bytes = word_bytes * ((code_len + 3) / 4);
  for (std::size_t r = begin; r < end; ++r) {
    unsigned char* lane = blocks + r / kPQBlockCodes * block_bytes + 4 * (r % kPQBlockCodes);
    for (std::size_t j = 0; j < code_len; ++j)
      lane[j / 4 * word_bytes + j % 4] = codes[r * code_len + j];
  }
}

namespace {

void pq_scan_codes(const PQScan& scan, float* out) {
  for (std::size_t i = 0; i < scan.count; ++i)
    out[i] = pq_code_ref(scan, scan.codes + i * scan.code_len);
}

void l2sqr_columns(const ColumnScan& scan, float* out) {
  for (std::size_t i = scan.begin; i < scan.end; ++i) {
    float s = -0.0f;
    for (std::size_t j = 0; j < scan.n; ++j) {
      const float d = scan.q[j] - scan.cols[j * scan.lanes + i];
      s = s + d * d;
    }
    out[i - scan.begin] = s;
  }
}

void cosine_columns(const ColumnScan& scan, float* out) {
  for (std::size_t i = scan.begin; i < scan.end; ++i) {
    float s = -0.0f;
    for (std::size_t j = 0; j < scan.n; ++j) s = s + scan.q[j] * scan.cols[j * scan.lanes + i];
    out[i - scan.begin] = cosine_finish(s, scan.q_root * scan.row_roots[i]);
  }
}

void dot_rows(const float* q, RowSource src, std::size_t count, std::size_t n, float* out) {
  for (std::size_t i = 0; i < count; ++i) out[i] = dot_ref(q, src.row(i), n);
}

void dot_queries(const float* const* qs, std::size_t nq, RowSource src, std::size_t count,
                 std::size_t n, float* out) {
  for (std::size_t k = 0; k < nq; ++k) dot_rows(qs[k], src, count, n, out + k * count);
}

void l2sqr_rows(const float* q, RowSource src, std::size_t count, std::size_t n, float* out) {
  for (std::size_t i = 0; i < count; ++i) out[i] = l2sqr_ref(q, src.row(i), n);
}

void cosine_rows(const float* q, float q_root, RowSource src, std::size_t count, std::size_t n,
                 std::size_t m, float* out) {
  for (std::size_t i = 0; i < count; ++i)
    out[i] =
        cosine_finish(dot_ref(q, src.row(i), n), q_root * std::sqrt(sq_norm_ref(src.row(i), m)));
}

constexpr Kernels kScalar{"scalar",    dot_rows,      dot_queries,   l2sqr_rows,
                          cosine_rows, pq_scan_codes, l2sqr_columns, cosine_columns};

}  // namespace

const Kernels& scalar_kernels() { return kScalar; }

}  // namespace quillmere::kernels
