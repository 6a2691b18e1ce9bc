// The random generator of a table: ChaCha with 12 rounds (64-bit block counter, 64-bit stream
// id, as in the common ChaCha12 RNG construction), seeded from 32 bytes of operating-system
// entropy. It draws HNSW levels, k-means seeds and PQ training samples. Not thread-safe: each
// owner (a table) uses its own generator from one thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillmere {

// One ChaCha block: runs `rounds` rounds (an even number) over the 16-word input state and adds
// the input back, word by word. Exposed for the published test vectors.
std::array<std::uint32_t, 16> chacha_block(const std::array<std::uint32_t, 16>& input, int rounds);

class ChaCha12Rng {
 public:
  using Seed = std::array<std::uint8_t, 32>;

  // Deterministic generator for tests and reproducible runs.
  explicit ChaCha12Rng(const Seed& seed, std::uint64_t stream = 0);
  // Seeded with 32 bytes from getrandom; failure of the entropy source is the internal failure
  // "from_entropy failed: " followed by the system's text.
  static ChaCha12Rng from_entropy();

  // The next 32-bit output word, in block order.
  std::uint32_t next_u32();
  // Two consecutive 32-bit outputs, the first as the low half.
  std::uint64_t next_u64();
  // Unbiased integer in [0, n). n = 0 is the internal failure "cannot sample empty range".
  std::uint64_t gen_index(std::uint64_t n);
  // Uniform float in [0, high); `high` must be positive and finite (internal failure otherwise).
  float gen_f32(float high);

 private:
  void refill();

  std::array<std::uint32_t, 16> state_;   // constants, key, counter (words 12-13), stream (14-15)
  std::array<std::uint32_t, 16> buffer_;  // the current block's output
  std::size_t next_word_;                 // index into buffer_; 16 means empty
};

}  // namespace quillmere
