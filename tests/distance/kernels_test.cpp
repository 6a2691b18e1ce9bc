// Every batch kernel variant this CPU can run must give the scalar reference's bits: lengths 0
// to 67 and a few large ones, partial row groups, unequal lengths, and inputs full of -0.0,
// NaN, infinities, subnormals and extreme magnitudes. A NaN only has to be a NaN.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "distance/kernels.hpp"
#include "test_support.hpp"

namespace quillmere::kernels {
namespace {

using testing_support::same_bits;

std::string show(float x) {
  return std::to_string(x) + " (0x" + [&] {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", std::bit_cast<std::uint32_t>(x));
    return std::string(buf);
  }() + ")";
}

enum class Fill { Plain, Special };

// Values chosen so that sums hit every rounding and special-value path.
std::vector<float> make_values(std::size_t n, Fill fill, std::mt19937& gen) {
  static const float kSpecial[] = {0.0f,
                                   -0.0f,
                                   1.0f,
                                   -1.0f,
                                   0.1f,
                                   -3.5f,
                                   std::numeric_limits<float>::denorm_min(),
                                   -1e-40f,
                                   1e-39f,
                                   std::numeric_limits<float>::min(),
                                   1e-20f,
                                   1e20f,
                                   3e38f,
                                   -3e38f,
                                   std::numeric_limits<float>::infinity(),
                                   -std::numeric_limits<float>::infinity(),
                                   std::numeric_limits<float>::quiet_NaN(),
                                   12345.678f};
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::uniform_int_distribution<int> pick(0, 99);
  std::uniform_int_distribution<std::size_t> which(0, std::size(kSpecial) - 1);
  std::vector<float> v(n);
  for (float& x : v)
    x = (fill == Fill::Special && pick(gen) < 15) ? kSpecial[which(gen)] : normal(gen);
  return v;
}

struct Case {
  std::size_t dim;    // row length
  std::size_t q_len;  // query length (may differ from dim)
  std::size_t rows;
  Fill fill;
};

std::vector<Case> all_cases() {
  std::vector<Case> cases;
  for (std::size_t dim = 0; dim <= 67; ++dim) {
    cases.push_back({dim, dim, 37, Fill::Plain});
    cases.push_back({dim, dim, 33, Fill::Special});
  }
  for (std::size_t dim : {128, 300, 1536}) {
    cases.push_back({dim, dim, 70, Fill::Plain});
    cases.push_back({dim, dim, 17, Fill::Special});
  }
  // Unequal lengths, both ways, and row counts around the group sizes (8, 16, 32).
  for (auto [dim, q_len] :
       {std::pair<std::size_t, std::size_t>{20, 13}, {20, 27}, {9, 0}, {64, 61}, {130, 129}})
    for (std::size_t rows : {1, 7, 8, 15, 16, 17, 31, 32, 33, 65})
      cases.push_back({dim, q_len, rows, Fill::Special});
  return cases;
}

std::vector<const Kernels*> variants() {
  std::vector<const Kernels*> out;
  for (Isa isa : {Isa::Scalar, Isa::Avx2, Isa::Avx512})
    if (const Kernels* k = kernels_for(isa)) out.push_back(k);
  return out;
}

class KernelsTest : public ::testing::TestWithParam<const Kernels*> {};

TEST_P(KernelsTest, MatchesScalarReferenceBitForBit) {
  const Kernels& k = *GetParam();
  std::mt19937 gen(7);
  std::size_t case_number = 0;
  for (const Case& c : all_cases()) {
    const std::vector<float> q = make_values(c.q_len, c.fill, gen);
    // Several queries against the same rows: 1 to 9 of them, around the kernels' groups of 4.
    std::vector<std::vector<float>> qs(1 + case_number++ % 9);
    std::vector<const float*> q_ptrs;
    for (std::vector<float>& x : qs)
      q_ptrs.push_back((x = make_values(c.q_len, c.fill, gen)).data());
    const std::vector<float> data = make_values(c.dim * c.rows, c.fill, gen);
    const std::size_t n = std::min(c.q_len, c.dim);

    // Scattered rows: every row once, in a shuffled order.
    std::vector<const float*> ptrs(c.rows);
    for (std::size_t i = 0; i < c.rows; ++i) ptrs[i] = data.data() + ((i * 7) % c.rows) * c.dim;

    for (const RowSource& src :
         {RowSource{data.data(), c.dim, nullptr}, RowSource{nullptr, 0, ptrs.data()}}) {
      std::vector<float> dots(c.rows), l2(c.rows), cos(c.rows);
      const float q_root = std::sqrt(sq_norm_ref(q.data(), c.q_len));
      k.dot(q.data(), src, c.rows, n, dots.data());
      k.l2sqr(q.data(), src, c.rows, n, l2.data());
      k.cosine(q.data(), q_root, src, c.rows, n, c.dim, cos.data());
      std::vector<float> many(qs.size() * c.rows);
      k.dot_queries(q_ptrs.data(), qs.size(), src, c.rows, n, many.data());
      for (std::size_t i = 0; i < c.rows; ++i) {
        const float* row = src.row(i);
        const std::string where = std::string(k.name) + " dim " + std::to_string(c.dim) +
                                  " q_len " + std::to_string(c.q_len) + " rows " +
                                  std::to_string(c.rows) + " row " + std::to_string(i) +
                                  (src.ptrs ? " scattered" : " contiguous");
        const float dot = dot_ref(q.data(), row, n);
        ASSERT_TRUE(same_bits(dots[i], dot))
            << where << ": dot " << show(dots[i]) << " vs " << show(dot);
        const float l = l2sqr_ref(q.data(), row, n);
        ASSERT_TRUE(same_bits(l2[i], l)) << where << ": l2 " << show(l2[i]) << " vs " << show(l);
        const float cs = cosine_finish(dot, q_root * std::sqrt(sq_norm_ref(row, c.dim)));
        ASSERT_TRUE(same_bits(cos[i], cs))
            << where << ": cosine " << show(cos[i]) << " vs " << show(cs);
        for (std::size_t j = 0; j < qs.size(); ++j) {
          const float want = dot_ref(q_ptrs[j], row, n), got = many[j * c.rows + i];
          ASSERT_TRUE(same_bits(got, want)) << where << ": query " << j << " of " << qs.size()
                                            << ", dot " << show(got) << " vs " << show(want);
        }
      }
    }
  }
}

// Wide consecutive rows with a stride of whole 4 KiB go in staggered groups, whose lanes start
// and end their rows at different columns: whole and partial groups, runs just long enough and one
// row short of it, rows scored shorter than their stride, and rows followed by more that the caller
// scores next. The rows end where their allocation ends, for the sanitizer build.
TEST_P(KernelsTest, StaggeredWideRowsMatchScalarReference) {
  const Kernels& k = *GetParam();
  std::mt19937 gen(11);
  struct Wide {
    std::size_t stride, n, rows, following;
  };
  for (const Wide& c : {Wide{1024, 1024, 63, 0}, Wide{1024, 1024, 100, 0}, Wide{2048, 1536, 70, 6},
                        Wide{2048, 1024, 96, 0}, Wide{3072, 3072, 64, 0}, Wide{3072, 3072, 65, 0},
                        Wide{4096, 4096, 80, 16}, Wide{4096, 4000, 64, 0}}) {
    for (Fill fill : {Fill::Plain, Fill::Special}) {
      const std::vector<float> q = make_values(c.n, fill, gen);
      const std::vector<float> data = make_values(c.stride * (c.rows + c.following), fill, gen);
      const float q_root = std::sqrt(sq_norm_ref(q.data(), c.n));
      const RowSource src{data.data(), c.stride, nullptr, c.following};
      std::vector<float> dots(c.rows), l2(c.rows), cos(c.rows);
      k.dot(q.data(), src, c.rows, c.n, dots.data());
      k.l2sqr(q.data(), src, c.rows, c.n, l2.data());
      k.cosine(q.data(), q_root, src, c.rows, c.n, c.n, cos.data());
      for (std::size_t i = 0; i < c.rows; ++i) {
        const float* row = src.row(i);
        const std::string where = std::string(k.name) + " stride " + std::to_string(c.stride) +
                                  " n " + std::to_string(c.n) + " rows " + std::to_string(c.rows) +
                                  " row " + std::to_string(i);
        const float dot = dot_ref(q.data(), row, c.n);
        ASSERT_TRUE(same_bits(dots[i], dot))
            << where << ": dot " << show(dots[i]) << " vs " << show(dot);
        const float l = l2sqr_ref(q.data(), row, c.n);
        ASSERT_TRUE(same_bits(l2[i], l)) << where << ": l2 " << show(l2[i]) << " vs " << show(l);
        const float cs = cosine_finish(dot, q_root * std::sqrt(sq_norm_ref(row, c.n)));
        ASSERT_TRUE(same_bits(cos[i], cs))
            << where << ": cosine " << show(cos[i]) << " vs " << show(cs);
      }
    }
  }
}

// No block may be read past the end of the last row: the rows end where their heap
// allocation ends, so the sanitizer build reports a stray full-width load.
TEST_P(KernelsTest, ReadsNothingPastTheRows) {
  const Kernels& k = *GetParam();
  for (std::size_t dim : {1, 5, 9, 23}) {
    std::vector<float> data(dim * 3, 1.5f);
    std::vector<float> q(dim, 2.0f);
    std::vector<float> out(3);
    k.cosine(q.data(), 1.0f, RowSource{data.data(), dim, nullptr}, 3, dim, dim, out.data());
    k.l2sqr(q.data(), RowSource{data.data(), dim, nullptr}, 3, dim, out.data());
    for (float x : out) EXPECT_EQ(x, l2sqr_ref(q.data(), data.data(), dim));
  }
}

// PQ code scoring: every lane adds its sub-spaces' partial distances in order from +0.0, like
// the reference, for both code widths, odd and even m, with and without norms, and counts that
// leave codes for the scalar tail.
TEST_P(KernelsTest, PQScanMatchesReference) {
  const Kernels& k = *GetParam();
  std::mt19937 gen(3);
  for (unsigned bits : {4u, 8u}) {
    for (std::size_t m : {1, 2, 3, 7, 8, 9, 16, 43}) {
      const std::size_t code_len = bits == 4 ? m - m / 2 : m;
      std::vector<float> values = make_values(m << bits, Fill::Special, gen);
      std::vector<float> norms = make_values(m << bits, Fill::Plain, gen);
      for (float& x : norms) x = x * x;
      for (std::size_t count : {1, 7, 8, 9, 16, 17, 40, 101}) {
        std::vector<unsigned char> codes(count * code_len);
        for (auto& b : codes) b = static_cast<unsigned char>(gen());
        for (const float* sq :
             {static_cast<const float*>(nullptr), static_cast<const float*>(norms.data())}) {
          PQScan scan{codes.data(), code_len, count, m, bits, values.data(), sq, 1.75f};
          std::vector<float> code_norms(count);
          if (sq)
            for (std::size_t i = 0; i < count; ++i)
              code_norms[i] = pq_code_norm_ref(scan, codes.data() + i * code_len);
          // With cosine, once summing the code norms and once taking them cached.
          for (bool cached : {false, true}) {
            if (cached && !sq) continue;
            scan.code_norms = cached ? code_norms.data() : nullptr;
            std::vector<float> out(count);
            k.pq_scan(scan, out.data());
            for (std::size_t i = 0; i < count; ++i) {
              const float want = pq_code_ref(scan, codes.data() + i * code_len);
              ASSERT_TRUE(same_bits(out[i], want))
                  << k.name << " bits " << bits << " m " << m << " count " << count << " code " << i
                  << (sq ? " cosine" : " l2") << (cached ? " cached" : "") << ": " << show(out[i])
                  << " vs " << show(want);
            }
          }
        }
      }
    }
  }
}

// Codes read from the block layout: every variant gives the reference's bits for both widths,
// odd and even m (a random spare nibble included), L2Sqr and Cosine with norms summed or
// cached, over code counts that are not multiples of 16 and ranges that start and end inside
// a block. The blocks are exactly as large as the layout says, for the sanitizer build.
TEST_P(KernelsTest, PQBlockScanMatchesReference) {
  const Kernels& k = *GetParam();
  std::mt19937 gen(11);
  for (unsigned bits : {4u, 8u}) {
    for (std::size_t m : {1, 2, 3, 7, 8, 9, 16, 17, 43}) {
      const std::size_t code_len = bits == 4 ? m - m / 2 : m;
      const std::vector<float> values = make_values(m << bits, Fill::Special, gen);
      std::vector<float> norms = make_values(m << bits, Fill::Plain, gen);
      for (float& x : norms) x = x * x;
      for (std::size_t n : {1, 9, 16, 31, 70, 133}) {
        std::vector<unsigned char> codes(n * code_len);
        for (auto& b : codes) b = static_cast<unsigned char>(gen());
        std::vector<unsigned char> blocks(pq_blocks_bytes(code_len, n));
        pq_fill_blocks(codes.data(), code_len, 0, n, blocks.data());
        const PQScan whole{codes.data(), code_len, n, m, bits, values.data(), norms.data(), 0.0f};
        std::vector<float> code_norms(n);
        for (std::size_t i = 0; i < n; ++i)
          code_norms[i] = pq_code_norm_ref(whole, codes.data() + i * code_len);
        for (auto [first, end] :
             {std::pair<std::size_t, std::size_t>{0, n}, {1, n}, {n / 3, n - n / 4}, {n - 1, n}}) {
          for (int kind = 0; kind < 3; ++kind) {  // L2Sqr, Cosine summing N, Cosine with N cached
            PQScan scan{
                codes.data() + first * code_len,    code_len, end - first, m, bits, values.data(),
                kind == 0 ? nullptr : norms.data(), 0.625f};
            if (kind == 2) scan.code_norms = code_norms.data() + first;
            scan.blocks = blocks.data();
            scan.first = first;
            std::vector<float> out(end - first + 1, 12345.0f);
            k.pq_scan(scan, out.data());
            for (std::size_t i = 0; i < end - first; ++i) {
              const float want = pq_code_ref(scan, codes.data() + (first + i) * code_len);
              ASSERT_TRUE(same_bits(out[i], want))
                  << k.name << " bits " << bits << " m " << m << " codes " << n << " range "
                  << first << ".." << end << " code " << first + i << " kind " << kind << ": "
                  << show(out[i]) << " vs " << show(want);
            }
            ASSERT_EQ(out.back(), 12345.0f) << k.name << ": wrote past the range";
          }
        }
      }
    }
  }
}

// Rows stored by column: every lane is one row's sequential sum, so every variant gives the
// reference bits, for ranges that start at any multiple of 16 and end anywhere.
TEST_P(KernelsTest, ColumnScansMatchReference) {
  const Kernels& k = *GetParam();
  const Kernels& ref = scalar_kernels();
  std::mt19937 gen(5);
  for (std::size_t width : {0, 1, 3, 8, 13, 64}) {
    for (std::size_t count : {1, 15, 16, 17, 70, 129}) {
      const std::size_t lanes = (count + 15) / 16 * 16;
      std::vector<float> cols = make_values(width * lanes, Fill::Special, gen);
      std::vector<float> roots = make_values(lanes, Fill::Special, gen);
      for (std::size_t n : {width, width / 2}) {
        const std::vector<float> q = make_values(n, Fill::Special, gen);
        for (std::size_t begin = 0; begin < count; begin += 16) {
          for (std::size_t end : {begin + 1, count}) {
            const ColumnScan scan{q.data(), n, cols.data(), lanes, begin, end, roots.data(), 0.75f};
            std::vector<float> got(end - begin), want(end - begin);
            for (int op = 0; op < 2; ++op) {
              (op == 0 ? k.l2sqr_columns : k.cosine_columns)(scan, got.data());
              (op == 0 ? ref.l2sqr_columns : ref.cosine_columns)(scan, want.data());
              for (std::size_t i = 0; i < got.size(); ++i)
                ASSERT_TRUE(same_bits(got[i], want[i]))
                    << k.name << (op == 0 ? " l2" : " cosine") << " width " << width << " count "
                    << count << " n " << n << " row " << begin + i << ": " << show(got[i]) << " vs "
                    << show(want[i]);
            }
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllVariants, KernelsTest, ::testing::ValuesIn(variants()),
                         [](const auto& info) { return std::string(info.param->name); });

TEST(KernelDispatch, ChoosesTheWidestSupportedVariant) {
  const Kernels* widest = nullptr;
  for (Isa isa : {Isa::Avx512, Isa::Avx2, Isa::Scalar})
    if ((widest = kernels_for(isa)) != nullptr) break;
  EXPECT_EQ(&active_kernels(), widest);
  if (kernels_for(Isa::Avx512) == nullptr)
    std::printf("note: this CPU has no AVX-512F; the AVX-512 kernels were not run\n");
}

}  // namespace
}  // namespace quillmere::kernels
