// A thin wrapper over hnswlib for side-by-side benchmarks. Compiled in its own translation unit
// with hnswlib's preferred instruction sets; includes nothing of quillmere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class HnswlibRunner {
 public:
  // cosine: vectors are normalised and compared by inner product, hnswlib's cosine.
  HnswlibRunner(std::size_t dim, bool cosine, std::size_t max_elements, std::size_t m,
                std::size_t ef_construction);
  ~HnswlibRunner();
  // Adds rows 0..n-1 (labels = row numbers) from `threads` threads.
  void build(const float* data, std::size_t n, std::size_t threads);
  // The labels of the k nearest, nearest first.
  std::vector<std::uint64_t> search(const float* query, std::size_t k, std::size_t ef);

 private:
  struct State;
  std::unique_ptr<State> state_;
};
