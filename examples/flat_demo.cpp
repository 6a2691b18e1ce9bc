// A small native example: fills a flat index with random vectors and prints a search.
#include <chrono>
#include <cstdio>

#include "common/random.hpp"
#include "index_algorithm/flat_index.hpp"

using namespace quillmere;

int main() {
  constexpr std::uint64_t kDim = 128, kRows = 100000, kNearest = 5;
  ChaCha12Rng rng = ChaCha12Rng::from_entropy();
  auto random_vector = [&] {
    PodVec<float> v;
    for (std::uint64_t j = 0; j < kDim; ++j) v.push_back(rng.gen_f32(2.0f) - 1.0f);
    return v;
  };

  for (DistanceAlgorithm d : {DistanceAlgorithm::L2Sqr, DistanceAlgorithm::Cosine}) {
    FlatIndex index(kDim, d);
    for (std::uint64_t i = 0; i < kRows; ++i) index.vec_set.push(random_vector().span());
    const PodVec<float> query = random_vector();

    const auto start = std::chrono::steady_clock::now();
    const std::vector<CandidatePair> found = index.knn(query.span(), kNearest);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();

    std::printf("%s: %llu random %llu-d vectors, %llu nearest of a random query (%.2f ms)\n",
                std::string(name(d)).c_str(), static_cast<unsigned long long>(kRows),
                static_cast<unsigned long long>(kDim), static_cast<unsigned long long>(kNearest), ms);
    for (const CandidatePair& c : found)
      std::printf("  row %6llu  distance %.6f\n", static_cast<unsigned long long>(c.index),
                  c.distance);
  }
  return 0;
}
