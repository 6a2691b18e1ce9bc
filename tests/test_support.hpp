// Helpers shared by the C++ test suites.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

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
  for (std::size_t i = 0; i < seed.size(); ++i)
    seed[i] = static_cast<std::uint8_t>(31 * i + 5 + salt);
  return ChaCha12Rng(seed);
}

// n rows of `dim` floats, uniform in [-1, 1), the same for the same seed.
inline std::vector<std::vector<float>> random_rows(std::size_t n, std::size_t dim, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<std::vector<float>> rows(n, std::vector<float>(dim));
  for (auto& r : rows)
    for (float& x : r) x = u(gen);
  return rows;
}

// The whole content of a file ("" when it cannot be read).
inline std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The names in a directory, sorted.
inline std::vector<std::string> entries(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// A fresh directory under the test temporary directory, removed with everything in it when the
// owner goes away (declare it before anything that still writes into it).
class ScratchDir {
 public:
  ScratchDir() = default;
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  // Creates the directory "<prefix>_XXXXXX" and answers its path.
  const std::string& make(const std::string& prefix) {
    std::string pattern = ::testing::TempDir() + "/" + prefix + "_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed for " << pattern;
    path_ = pattern;
    return path_;
  }

 private:
  std::string path_;
};

}  // namespace quillmere::testing_support
