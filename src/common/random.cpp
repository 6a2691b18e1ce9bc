#include "common/random.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>

#include "common/failure.hpp"

namespace quillmere {

namespace {

// `__extension__` keeps -Wpedantic quiet about the non-standard 128-bit type.
__extension__ typedef unsigned __int128 u128;

constexpr std::uint32_t rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline void quarter_round(std::array<std::uint32_t, 16>& x, int a, int b, int c, int d) {
  x[a] += x[b];
  x[d] = rotl(x[d] ^ x[a], 16);
  x[c] += x[d];
  x[b] = rotl(x[b] ^ x[c], 12);
  x[a] += x[b];
  x[d] = rotl(x[d] ^ x[a], 8);
  x[c] += x[d];
  x[b] = rotl(x[b] ^ x[c], 7);
}

}  // namespace

std::array<std::uint32_t, 16> chacha_block(const std::array<std::uint32_t, 16>& input, int rounds) {
  std::array<std::uint32_t, 16> x = input;
  for (int i = 0; i < rounds; i += 2) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (std::size_t i = 0; i < 16; ++i) x[i] += input[i];
  return x;
}

ChaCha12Rng::ChaCha12Rng(const Seed& seed, std::uint64_t stream) : buffer_{}, next_word_(16) {
  // "expand 32-byte k" read as four little-endian words.
  state_[0] = 0x61707865;
  state_[1] = 0x3320646e;
  state_[2] = 0x79622d32;
  state_[3] = 0x6b206574;
  for (std::size_t i = 0; i < 8; ++i) {
    state_[4 + i] = static_cast<std::uint32_t>(seed[4 * i]) |
                    static_cast<std::uint32_t>(seed[4 * i + 1]) << 8 |
                    static_cast<std::uint32_t>(seed[4 * i + 2]) << 16 |
                    static_cast<std::uint32_t>(seed[4 * i + 3]) << 24;
  }
  state_[12] = 0;
  state_[13] = 0;
  state_[14] = static_cast<std::uint32_t>(stream);
  state_[15] = static_cast<std::uint32_t>(stream >> 32);
}

ChaCha12Rng ChaCha12Rng::from_entropy() {
  Seed seed{};
  std::size_t filled = 0;
  // getrandom may be interrupted before any byte is written or, for large requests, return
  // fewer bytes than asked; both are retried until the seed is full.
  while (filled < seed.size()) {
    const ssize_t got = getrandom(seed.data() + filled, seed.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      fail("from_entropy failed: " + std::string(std::strerror(errno)));
    }
    filled += static_cast<std::size_t>(got);
  }
  return ChaCha12Rng(seed);
}

void ChaCha12Rng::refill() {
  buffer_ = chacha_block(state_, 12);
  // 64-bit block counter split over words 12 (low) and 13 (high).
  if (++state_[12] == 0) ++state_[13];
  next_word_ = 0;
}

std::uint32_t ChaCha12Rng::next_u32() {
  if (next_word_ >= buffer_.size()) refill();
  return buffer_[next_word_++];
}

std::uint64_t ChaCha12Rng::next_u64() {
  const std::uint64_t low = next_u32();
  const std::uint64_t high = next_u32();
  return (high << 32) | low;
}

std::uint64_t ChaCha12Rng::gen_index(std::uint64_t n) {
  if (n == 0) fail("cannot sample empty range");
  // Lemire's widening multiply: the high half of x * n is uniform over [0, n) once the draws
  // whose low half falls below 2^w mod n are rejected. The modulo is computed only when the
  // low half is small enough that a rejection is possible at all.
  if (n <= UINT32_MAX) {
    const auto range = static_cast<std::uint32_t>(n);
    std::uint64_t m = static_cast<std::uint64_t>(next_u32()) * range;
    auto low = static_cast<std::uint32_t>(m);
    if (low < range) {
      const std::uint32_t threshold = (0u - range) % range;
      while (low < threshold) {
        m = static_cast<std::uint64_t>(next_u32()) * range;
        low = static_cast<std::uint32_t>(m);
      }
    }
    return m >> 32;
  }
  u128 m = static_cast<u128>(next_u64()) * n;
  auto low = static_cast<std::uint64_t>(m);
  if (low < n) {
    const std::uint64_t threshold = (0 - n) % n;
    while (low < threshold) {
      m = static_cast<u128>(next_u64()) * n;
      low = static_cast<std::uint64_t>(m);
    }
  }
  return static_cast<std::uint64_t>(m >> 64);
}

float ChaCha12Rng::gen_f32(float high) {
  if (!(high > 0.0f) || std::isinf(high)) {
    fail("gen_f32: upper bound must be positive and finite");
  }
  for (;;) {
    // 24 random bits fill a float's significand exactly, so u is an exact multiple of 2^-24
    // in [0, 1). The product can still round up to `high`, which is redrawn.
    const float u = static_cast<float>(next_u32() >> 8) * 0x1p-24f;
    const float r = u * high;
    if (r < high) return r;
  }
}

}  // namespace quillmere
