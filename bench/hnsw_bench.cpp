// HNSW build and search beside hnswlib in the same run: 100,000 x 128 clustered vectors (a
// Gaussian mixture, fixed seed), 1,000 queries from the same mixture, M 16, construction width
// 200, k 10; L2Sqr and Cosine. Build at 8 pool threads and at 1; searches single-threaded, one
// query at a time, with recall@10 against the exact answers of the flat index.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "common/parallel.hpp"
#include "hnswlib_runner.hpp"
#include "index_algorithm/flat_index.hpp"
#include "index_algorithm/hnsw_index.hpp"

using namespace quillmere;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double recall(const std::vector<std::uint64_t>& got, const std::vector<CandidatePair>& truth) {
  std::size_t hits = 0;
  for (std::uint64_t g : got)
    for (const CandidatePair& t : truth) hits += g == t.index;
  return static_cast<double>(hits) / static_cast<double>(truth.size());
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t rows = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
  const std::size_t queries = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1000;
  constexpr std::size_t kDim = 128, kClusters = 100, kK = 10, kM = 16, kEfc = 200;
  std::mt19937 gen(2024);
  std::normal_distribution<float> normal;
  std::vector<float> centers(kClusters * kDim);
  for (float& x : centers) x = 3.0f * normal(gen);
  auto sample = [&](std::vector<float>& out) {
    const std::size_t c = gen() % kClusters;
    for (std::size_t j = 0; j < kDim; ++j) out.push_back(centers[c * kDim + j] + normal(gen));
  };
  std::vector<float> data, qs;
  for (std::size_t i = 0; i < rows; ++i) sample(data);
  for (std::size_t i = 0; i < queries; ++i) sample(qs);
  const VecSet<float> set(kDim, PodVec<float>(std::span<const float>(data)));
  std::printf("%zu x %zu vectors, %zu queries, M %zu, ef_construction %zu, k %zu\n", rows, kDim,
              queries, kM, kEfc, kK);

  for (DistanceAlgorithm dist : {DistanceAlgorithm::L2Sqr, DistanceAlgorithm::Cosine}) {
    const FlatIndex flat(dist, set);
    const auto truth = pool::parallel_map<std::vector<CandidatePair>>(queries, [&](std::size_t q) {
      return flat.knn(std::span<const float>(qs.data() + q * kDim, kDim), kK);
    });

    double build_s[2];
    std::optional<HNSWIndex> ours;
    for (std::size_t threads : {8, 1}) {
      pool::ScopedThreadCount pool_size(threads);
      ChaCha12Rng::Seed seed{};
      ChaCha12Rng rng(seed);
      const auto t0 = std::chrono::steady_clock::now();
      HNSWIndex built = HNSWIndex::build_on_vec_set(set, dist, {rows, kEfc, kM}, false, rng);
      build_s[threads == 1] = seconds_since(t0);
      if (threads == 8) ours.emplace(std::move(built));
    }
    double theirs_build_1;
    {
      HnswlibRunner one(kDim, dist == DistanceAlgorithm::Cosine, rows, kM, kEfc);
      const auto t1 = std::chrono::steady_clock::now();
      one.build(data.data(), rows, 1);
      theirs_build_1 = seconds_since(t1);
    }
    HnswlibRunner theirs(kDim, dist == DistanceAlgorithm::Cosine, rows, kM, kEfc);
    auto t0 = std::chrono::steady_clock::now();
    theirs.build(data.data(), rows, 8);
    const double theirs_build = seconds_since(t0);

    std::printf(
        "\n%s: build 8 threads %.2f s (hnswlib %.2f s, ratio %.2f), 1 thread %.2f s (hnswlib %.2f "
        "s, ratio %.2f)\n",
        std::string(name(dist)).c_str(), build_s[0], theirs_build, build_s[0] / theirs_build,
        build_s[1], theirs_build_1, build_s[1] / theirs_build_1);
    std::printf("  ef   QPS ours  recall   QPS hnswlib  recall   QPS ratio\n");
    for (std::size_t ef : {10, 20, 50, 100, 200}) {
      double r_ours = 0, r_theirs = 0;
      t0 = std::chrono::steady_clock::now();
      std::vector<std::vector<CandidatePair>> got(queries);
      for (std::size_t q = 0; q < queries; ++q)
        got[q] = ours->knn_with_ef(std::span<const float>(qs.data() + q * kDim, kDim), kK, ef);
      const double s_ours = seconds_since(t0);
      t0 = std::chrono::steady_clock::now();
      std::vector<std::vector<std::uint64_t>> got_theirs(queries);
      for (std::size_t q = 0; q < queries; ++q)
        got_theirs[q] = theirs.search(qs.data() + q * kDim, kK, ef);
      const double s_theirs = seconds_since(t0);
      for (std::size_t q = 0; q < queries; ++q) {
        std::vector<std::uint64_t> ids;
        for (const CandidatePair& c : got[q]) ids.push_back(c.index);
        r_ours += recall(ids, truth[q]);
        r_theirs += recall(got_theirs[q], truth[q]);
      }
      const double qps_ours = queries / s_ours, qps_theirs = queries / s_theirs;
      std::printf("  %-4zu %9.0f  %6.3f  %12.0f  %6.3f  %9.2f\n", ef, qps_ours, r_ours / queries,
                  qps_theirs, r_theirs / queries, qps_ours / qps_theirs);
    }
  }
  return 0;
}
