#include "common/random.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "common/failure.hpp"

namespace quillmere {
namespace {

__extension__ typedef unsigned __int128 u128;

std::vector<std::uint8_t> hex_bytes(std::string_view hex) {
  auto nibble = [](char c) -> std::uint8_t {
    if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
    return static_cast<std::uint8_t>(c - 'a' + 10);
  };
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
  }
  return out;
}

// Little-endian 32-bit words, the order in which ChaCha serializes its output.
std::vector<std::uint32_t> le_words(const std::vector<std::uint8_t>& bytes) {
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i + 3 < bytes.size(); i += 4) {
    out.push_back(static_cast<std::uint32_t>(bytes[i]) |
                  static_cast<std::uint32_t>(bytes[i + 1]) << 8 |
                  static_cast<std::uint32_t>(bytes[i + 2]) << 16 |
                  static_cast<std::uint32_t>(bytes[i + 3]) << 24);
  }
  return out;
}

ChaCha12Rng::Seed seed_from(const std::vector<std::uint8_t>& bytes) {
  ChaCha12Rng::Seed seed{};
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = bytes[i];
  return seed;
}

ChaCha12Rng fixed_rng(std::uint64_t stream = 0) {
  ChaCha12Rng::Seed seed{};
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(7 * i + 3);
  return ChaCha12Rng(seed, stream);
}

void expect_failure(const auto& action, const std::string& message) {
  try {
    action();
    ADD_FAILURE() << "expected the internal failure \"" << message << "\"";
  } catch (const InternalFailure& failure) {
    EXPECT_EQ(failure.message, message);
  }
}

// RFC 8439, section 2.3.2: key 00..1f, block count 1, nonce 00:00:00:09:00:00:00:4a:00:00:00:00.
TEST(ChaChaBlock, MatchesRfc8439Section232With20Rounds) {
  std::vector<std::uint8_t> key(32);
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i);
  const std::vector<std::uint32_t> key_words = le_words(key);
  const std::vector<std::uint32_t> nonce_words = le_words(hex_bytes("000000090000004a00000000"));

  std::array<std::uint32_t, 16> input{0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  for (std::size_t i = 0; i < 8; ++i) input[4 + i] = key_words[i];
  input[12] = 1;
  for (std::size_t i = 0; i < 3; ++i) input[13 + i] = nonce_words[i];

  const std::vector<std::uint32_t> serialized =
      le_words(hex_bytes("10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
                         "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"));
  ASSERT_EQ(serialized.size(), 16u);

  const std::array<std::uint32_t, 16> output = chacha_block(input, 20);
  EXPECT_EQ(std::vector<std::uint32_t>(output.begin(), output.end()), serialized);
  EXPECT_EQ(output[0], 0xe4e7f110u);
  EXPECT_EQ(output[15], 0x4e3c50a2u);
}

// draft-strombergson-chacha-test-vectors-01, 256-bit key, 12 rounds, the first two keystream
// blocks (block counter 0 and 1). The draft's 64-bit IV sits in words 14-15 like the stream id.
struct KeystreamCase {
  const char* name;
  const char* key;
  std::uint64_t stream;
  const char* keystream;
};

const KeystreamCase kChaCha12Cases[] = {
    {"TC1 all zero key and IV", "0000000000000000000000000000000000000000000000000000000000000000",
     0,
     "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
     "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"
     "0bd58841203e74fe86fc71338ce0173dc628ebb719bdcbcc151585214cc089b4"
     "42258dcda14cf111c602b8971b8cc843e91e46ca905151c02744a6b017e69316"},
    // IV bytes 01 00 00 00 00 00 00 00.
    {"TC3 single bit in IV set", "0000000000000000000000000000000000000000000000000000000000000000",
     1,
     "64b8bdf87b828c4b6dbaf7ef698de03df8b33f635714418f9836ade59be12969"
     "46c953a0f38ecffc9ecb98e81d5d99a5edfc8f9a0a45b9e41ef3b31f028f1d0f"
     "559db4a7f222c442fe23b9a2596a88285122ee4f1363896ea77ca150912ac723"
     "bff04b026a2f807e03b29c02077d7b06fc1ab9827c13c8013a6d83bd3b52a26f"},
    // IV bytes 0f 1e 2d 3c 4b 5a 69 78, read little-endian.
    {"TC7 sequence patterns in key and IV",
     "00112233445566778899aabbccddeeffffeeddccbbaa99887766554433221100", 0x78695a4b3c2d1e0full,
     "7ed12a3a63912ae941ba6d4c0d5e862e568b0e5589346935505f064b8c2698db"
     "f7d850667d8e67be639f3b4f6a16f92e65ea80f6c7429445da1fc2c1b9365040"
     "e32e50c4106f3b3da1ce7ccb1e7140b153493c0f3ad9a9bcff077ec4596f1d0f"
     "29bf9cbaa502820f732af5a93c49eee33d1c4f12af3b4297af91fe41ea9e94a2"},
};

TEST(ChaCha12Rng, MatchesPublishedKeystreams) {
  for (const KeystreamCase& c : kChaCha12Cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::uint8_t> key = hex_bytes(c.key);
    const std::vector<std::uint32_t> expected = le_words(hex_bytes(c.keystream));
    ASSERT_EQ(key.size(), 32u);
    ASSERT_EQ(expected.size(), 32u);

    // The block function alone, on the block-0 input state.
    std::array<std::uint32_t, 16> input{0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    const std::vector<std::uint32_t> key_words = le_words(key);
    for (std::size_t i = 0; i < 8; ++i) input[4 + i] = key_words[i];
    input[14] = static_cast<std::uint32_t>(c.stream);
    input[15] = static_cast<std::uint32_t>(c.stream >> 32);
    const std::array<std::uint32_t, 16> block0 = chacha_block(input, 12);
    EXPECT_EQ(std::vector<std::uint32_t>(block0.begin(), block0.end()),
              std::vector<std::uint32_t>(expected.begin(), expected.begin() + 16));

    // The generator: both blocks in order, so the counter advances after the first.
    ChaCha12Rng rng(seed_from(key), c.stream);
    std::vector<std::uint32_t> got;
    for (std::size_t i = 0; i < expected.size(); ++i) got.push_back(rng.next_u32());
    EXPECT_EQ(got, expected);
  }
}

TEST(ChaCha12Rng, FixedSeedIsDeterministicAndNextU64ComposesTwoWords) {
  ChaCha12Rng a = fixed_rng();
  ChaCha12Rng b = fixed_rng();
  ChaCha12Rng words = fixed_rng();
  // 40 draws of 64 bits cross several block boundaries, including mid-pair ones after the
  // odd single draw.
  EXPECT_EQ(a.next_u32(), words.next_u32());
  b.next_u32();
  for (int i = 0; i < 40; ++i) {
    const std::uint64_t value = a.next_u64();
    EXPECT_EQ(value, b.next_u64());
    const std::uint64_t low = words.next_u32();
    const std::uint64_t high = words.next_u32();
    EXPECT_EQ(value, high << 32 | low);
  }
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(a.gen_index(1000), b.gen_index(1000));
    EXPECT_EQ(a.gen_f32(2.0f), b.gen_f32(2.0f));
  }

  ChaCha12Rng other_stream = fixed_rng(1);
  ChaCha12Rng same_stream = fixed_rng(0);
  EXPECT_NE(other_stream.next_u64(), same_stream.next_u64());
}

TEST(ChaCha12Rng, GenIndexIsTheWideningMultiplyOfTheNextOutput) {
  // Rejection is rarer than 2^-24 per draw for both bounds, so with a fixed seed these draws
  // pin the 32-bit path to one next_u32 and the 64-bit path to one next_u64 each.
  ChaCha12Rng rng = fixed_rng();
  ChaCha12Rng mirror = fixed_rng();
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(rng.gen_index(10), (static_cast<std::uint64_t>(mirror.next_u32()) * 10) >> 32);
    const std::uint64_t big = (std::uint64_t{1} << 40) + 12345;
    EXPECT_EQ(rng.gen_index(big),
              static_cast<std::uint64_t>((static_cast<u128>(mirror.next_u64()) * big) >> 64));
  }
}

TEST(ChaCha12Rng, GenIndexStaysInRangeAndCoversIt) {
  constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();
  // Around 2^32 the choice between the 32-bit and the 64-bit path flips.
  const std::uint64_t cases[] = {
      1,           2,          3,
      10,          1000,       (std::uint64_t{1} << 31) + 1,
      kU32Max - 1, kU32Max,    kU32Max + 1,
      kU32Max + 2, 3ull << 62, std::numeric_limits<std::uint64_t>::max()};
  ChaCha12Rng rng = fixed_rng();
  for (const std::uint64_t n : cases) {
    SCOPED_TRACE(n);
    std::uint64_t largest = 0;
    for (int i = 0; i < 2000; ++i) {
      const std::uint64_t value = rng.gen_index(n);
      ASSERT_LT(value, n);
      largest = std::max(largest, value);
    }
    if (n == 1) {
      EXPECT_EQ(largest, 0u);
    } else {
      // Both halves of the range are reached, so no path drops the high bits.
      EXPECT_GE(largest, n / 2);
    }
  }
}

TEST(ChaCha12Rng, GenIndexIsRoughlyUniform) {
  ChaCha12Rng rng = fixed_rng();
  constexpr int kDraws = 100000;
  std::array<int, 10> counts{};
  for (int i = 0; i < kDraws; ++i) ++counts[rng.gen_index(counts.size())];
  // Each bucket expects 10000 with a standard deviation near 95; 500 is over five of them.
  for (const int count : counts) {
    EXPECT_GT(count, kDraws / 10 - 500);
    EXPECT_LT(count, kDraws / 10 + 500);
  }
}

TEST(ChaCha12Rng, GenIndexOfEmptyRangeFails) {
  ChaCha12Rng rng = fixed_rng();
  expect_failure([&] { rng.gen_index(0); }, "cannot sample empty range");
}

TEST(ChaCha12Rng, GenF32StaysInHalfOpenRange) {
  const float cases[] = {std::numeric_limits<float>::denorm_min(), 1e-30f, 0.5f, 1.0f, 3.75f, 1e30f,
                         std::numeric_limits<float>::max()};
  ChaCha12Rng rng = fixed_rng();
  for (const float high : cases) {
    SCOPED_TRACE(high);
    double sum = 0.0;
    constexpr int kDraws = 4000;
    for (int i = 0; i < kDraws; ++i) {
      const float value = rng.gen_f32(high);
      ASSERT_GE(value, 0.0f);
      ASSERT_LT(value, high);
      sum += static_cast<double>(value) / static_cast<double>(high);
    }
    // For the smallest subnormal every draw at or above one half rounds up to `high` and is
    // redrawn, leaving only zero; elsewhere the scaled mean is near one half.
    if (high == std::numeric_limits<float>::denorm_min()) {
      EXPECT_EQ(sum, 0.0);
    } else {
      EXPECT_NEAR(sum / kDraws, 0.5, 0.03);
    }
  }
}

TEST(ChaCha12Rng, GenF32RejectsBoundsThatAreNotPositiveAndFinite) {
  const float cases[] = {0.0f,
                         -0.0f,
                         -1.0f,
                         -std::numeric_limits<float>::denorm_min(),
                         std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity(),
                         std::numeric_limits<float>::quiet_NaN()};
  ChaCha12Rng rng = fixed_rng();
  for (const float high : cases) {
    SCOPED_TRACE(high);
    expect_failure([&] { rng.gen_f32(high); }, "gen_f32: upper bound must be positive and finite");
  }
}

TEST(ChaCha12Rng, FromEntropyGeneratorsDiffer) {
  ChaCha12Rng a = ChaCha12Rng::from_entropy();
  ChaCha12Rng b = ChaCha12Rng::from_entropy();
  std::array<std::uint32_t, 4> first_a{};
  std::array<std::uint32_t, 4> first_b{};
  for (std::size_t i = 0; i < first_a.size(); ++i) {
    first_a[i] = a.next_u32();
    first_b[i] = b.next_u32();
  }
  EXPECT_NE(first_a, first_b);
}

}  // namespace
}  // namespace quillmere
