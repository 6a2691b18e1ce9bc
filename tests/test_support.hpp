// Helpers shared by the C++ test suites.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "common/failure.hpp"
#include "common/random.hpp"

namespace quillmere::testing_support {

inline constexpr const char* kNoFailure = "<no internal failure>";

// The message of the internal failure `action` stops with, or kNoFailure.
template <class F>
std::string failure_of(F&& action) {
  try {
    action();
  } catch (const InternalFailure& failure) {
    return failure.message;
  }
  return kNoFailure;
}

// Float equality by bit pattern (so -0.0 differs from +0.0); any NaN matches any NaN.
inline bool same_bits(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

// A deterministic generator; `salt` picks another fixed seed.
inline ChaCha12Rng fixed_rng(std::uint8_t salt = 0) {
  ChaCha12Rng::Seed seed{};
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(31 * i + 5 + salt);
  return ChaCha12Rng(seed);
}

}  // namespace quillmere::testing_support
