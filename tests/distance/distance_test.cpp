// The two distance forms over vectors and their batch forms.
#include "distance/distance.hpp"

#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "common/failure.hpp"
#include "distance/kernels.hpp"
#include "test_support.hpp"

namespace quillmere {
namespace {

using testing_support::same_bits;

using D = DistanceAlgorithm;
using V = std::vector<float>;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(Distance, KnownValues) {
  struct Case {
    D d;
    V a, b;
    float expected;
  };
  const Case cases[] = {
      {D::L2Sqr, {0, 0}, {3, 4}, 25.0f},
      {D::L2Sqr, {1, 2, 3}, {1, 2}, 0.0f},       // only the common prefix counts
      {D::L2Sqr, {}, {}, -0.0f},                 // the empty sum keeps its -0.0 start
      {D::L2Sqr, {1.5f, -2}, {1.5f, -2}, 0.0f},  // -0.0 + 0.0 = +0.0
      {D::Cosine, {1, 0}, {0, 1}, 1.0f},
      {D::Cosine, {1, 0}, {2, 0}, 0.0f},
      {D::Cosine, {1, 0}, {-1, 0}, 2.0f},
      {D::Cosine, {0, 0}, {3, 4}, 1.0f},  // the floor avoids a division by zero
      {D::Cosine, {0, 0}, {0, 0}, 1.0f},
      {D::L2Sqr, {1, kNaN}, {1, 2}, kNaN},
      {D::Cosine, {1, kNaN}, {1, 2}, kNaN},
  };
  for (const Case& c : cases)
    EXPECT_TRUE(same_bits(distance(c.d, c.a, c.b), c.expected))
        << name(c.d) << " gave " << distance(c.d, c.a, c.b) << ", expected " << c.expected;
}

TEST(Distance, CosineOfUnequalLengthsUsesWholeNorms) {
  // Dot over two positions, the second norm over all three.
  const float d = distance(D::Cosine, V{1, 2}, V{1, 2, 100});
  EXPECT_NE(d, 0.0f);
  EXPECT_FLOAT_EQ(d, 1.0f - 5.0f / (std::sqrt(5.0f) * std::sqrt(10005.0f)));
}

TEST(Distance, NormFormFollowsItsFormulaUnclamped) {
  const V a{0.1f, 0.2f, 0.3f};
  for (D d : {D::L2Sqr, D::Cosine}) {
    const float na = norm_for(d, a);
    EXPECT_TRUE(same_bits(distance(d, NormedVector{a, na}, NormedVector{a, na}),
                          d == D::L2Sqr ? 0.0f : 1.0f - dot(a, a) / (na * na)));
  }
  // Close but unequal vectors: (|a|^2 + |b|^2) - 2 a.b keeps its rounding residue.
  V x(8), y(8);
  for (int i = 0; i < 8; ++i) {
    x[i] = 0.3f + 0.1f * i;
    y[i] = x[i] + 1e-4f;
  }
  const float nx = sq_norm(x), ny = sq_norm(y), dt = dot(x, y);
  const float got = distance(D::L2Sqr, NormedVector{x, nx}, NormedVector{y, ny});
  EXPECT_TRUE(same_bits(got, (nx + ny) - (dt + dt)));
  EXPECT_LT(std::fabs(got), 1e-5f);
  // The cosine denominator is floored, NaN included.
  EXPECT_EQ(distance(D::Cosine, NormedVector{x, 0.0f}, NormedVector{y, 0.0f}), 1.0f - dt / 1e-10f);
  EXPECT_EQ(distance(D::Cosine, NormedVector{x, kNaN}, NormedVector{y, 1.0f}), 1.0f - dt / 1e-10f);
}

// The batch forms give, row by row, the pairwise forms' bits, query on the left.
TEST(Distance, BatchFormsMatchPairwiseForms) {
  std::mt19937 gen(11);
  std::normal_distribution<float> normal;
  for (std::size_t dim : {1, 3, 8, 17, 128, 513}) {
    for (std::size_t q_len : {dim, dim / 2, dim + 3}) {
      const std::size_t rows = 300;  // more than one internal piece of 256 rows
      V q(q_len), data(rows * dim);
      for (float& x : q) x = normal(gen);
      for (float& x : data) x = normal(gen);
      data[dim * 5] = 0.0f;  // a few zero-norm and NaN rows
      for (std::size_t j = 0; j < dim; ++j) data[dim * 9 + j] = 0.0f;
      data[dim * 12] = kNaN;
      std::vector<const float*> ptrs;
      for (std::size_t i = 0; i < rows; ++i) ptrs.push_back(data.data() + ((i * 37) % rows) * dim);

      for (D d : {D::L2Sqr, D::Cosine}) {
        V out(rows), out_ptrs(rows), out_norms(rows), norms(rows);
        distance_to_rows(d, q, RowBatch::contiguous(data.data(), rows, dim), out.data());
        distance_to_rows(d, q, RowBatch::scattered(ptrs.data(), rows, dim), out_ptrs.data());
        for (std::size_t i = 0; i < rows; ++i) norms[i] = norm_for(d, {ptrs[i], dim});
        const NormedVector nq{q, norm_for(d, q)};
        distance_to_rows(d, nq, RowBatch::scattered(ptrs.data(), rows, dim), norms.data(),
                         out_norms.data());
        for (std::size_t i = 0; i < rows; ++i) {
          std::span<const float> row(data.data() + i * dim, dim), prow(ptrs[i], dim);
          ASSERT_TRUE(same_bits(out[i], distance(d, q, row)))
              << name(d) << " dim " << dim << " row " << i;
          ASSERT_TRUE(same_bits(out_ptrs[i], distance(d, q, prow))) << name(d) << " dim " << dim;
          ASSERT_TRUE(same_bits(out_norms[i], distance(d, NormedVector{prow, norms[i]}, nq)))
              << name(d) << " dim " << dim << " row " << i;
        }
      }
    }
  }
}

// A column set answers the two-vector distance of each of its rows, query on the left.
TEST(Distance, ColumnSetMatchesPairwiseForm) {
  std::mt19937 gen(13);
  std::normal_distribution<float> normal;
  for (std::size_t width : {1, 3, 9, 40}) {
    const std::size_t rows = 133, stride = width + 2;  // rows taken from inside wider rows
    V data(rows * stride), q(width);
    for (float& x : data) x = normal(gen);
    for (float& x : q) x = normal(gen);
    for (std::size_t j = 0; j < width; ++j) data[7 * stride + j] = 0.0f;
    for (D d : {D::L2Sqr, D::Cosine}) {
      const ColumnSet set(d, data.data(), rows, width, stride);
      V out(rows);
      set.distances(q, 0, rows, out.data());
      V tail(rows - 32);
      set.distances(q, 32, rows, tail.data());
      for (std::size_t i = 0; i < rows; ++i) {
        const float want = distance(d, q, std::span<const float>(data.data() + i * stride, width));
        ASSERT_TRUE(same_bits(out[i], want)) << name(d) << " width " << width << " row " << i;
        if (i >= 32) {
          ASSERT_TRUE(same_bits(tail[i - 32], want)) << name(d) << " row " << i;
        }
      }
    }
  }
}

// Flush-to-zero / denormals-are-zero left on by another library must not change results.
TEST(Distance, IgnoresFlushToZeroModeOfTheThread) {
  // Products and sums in the subnormal range, and subnormal inputs.
  const V a{1e-20f, 2e-20f, 1e-39f}, b{1e-20f, 3e-20f, 2e-39f};
  std::vector<float> rows(64 * 3);
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = (i % 2 ? 1e-20f : 3e-39f) * float(i % 7);
  V expected_rows(64), got_rows(64);
  const float l2 = distance(D::L2Sqr, a, b), cos = distance(D::Cosine, a, b);
  const float d = dot(a, b);
  distance_to_rows(D::Cosine, a, RowBatch::contiguous(rows.data(), 64, 3), expected_rows.data());
  ASSERT_GT(d, 0.0f);  // only exact subnormal arithmetic gives a non-zero dot

  const unsigned saved = _mm_getcsr();
  _mm_setcsr(saved | 0x8040);
  const float l2_ftz = distance(D::L2Sqr, a, b), cos_ftz = distance(D::Cosine, a, b);
  const float d_ftz = dot(a, b);
  distance_to_rows(D::Cosine, a, RowBatch::contiguous(rows.data(), 64, 3), got_rows.data());
  const unsigned during = _mm_getcsr();
  _mm_setcsr(saved);

  EXPECT_EQ(during & 0x8040, 0x8040u) << "the caller's mode is restored afterwards";
  EXPECT_TRUE(same_bits(l2_ftz, l2));
  EXPECT_TRUE(same_bits(cos_ftz, cos));
  EXPECT_TRUE(same_bits(d_ftz, d));
  for (std::size_t i = 0; i < 64; ++i) EXPECT_TRUE(same_bits(got_rows[i], expected_rows[i])) << i;
}

TEST(DistanceAlgorithm, PrintsItsNameInEqualityAssertions) {
  try {
    assert_eq(D::L2Sqr, D::Cosine, "Distance algorithm mismatch.");
    FAIL();
  } catch (const InternalFailure& f) {
    EXPECT_EQ(f.message,
              "assertion `left == right` failed: Distance algorithm mismatch.\n  left: L2Sqr\n "
              "right: Cosine");
  }
}

}  // namespace
}  // namespace quillmere
