// Searches through the database manager from 1 and from 8 threads at once on one 100,000 x 128
// HNSW table (k 10, the default width), in the same run: the scaling of shared read access.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "database/vec_db_manager.hpp"

using namespace quillmere;

int main() {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/quillmere_search_bench_XXXXXX";
  if (::mkdtemp(dir.data()) == nullptr) return 1;
  constexpr std::size_t kRows = 100000, kDim = 128, kQueries = 2000;
  std::mt19937 gen(9);
  std::normal_distribution<float> normal;
  std::vector<float> centers(100 * kDim);
  for (float& x : centers) x = 3.0f * normal(gen);
  auto sample = [&] {
    std::vector<float> v(kDim);
    const std::size_t c = gen() % 100;
    for (std::size_t j = 0; j < kDim; ++j) v[j] = centers[c * kDim + j] + normal(gen);
    return v;
  };
  {
    auto db = std::move(*VecDBManager::open(dir));
    (void)db->create_table_if_not_exists("t", kDim, DistanceAlgorithm::Cosine);
    std::vector<std::vector<float>> rows;
    for (std::size_t i = 0; i < kRows; ++i) rows.push_back(sample());
    (void)db->batch_add("t", std::move(rows), std::vector<Metadata>(kRows, Metadata{{"k", "v"}}));
    (void)db->build_hnsw_index("t", std::nullopt);
    std::vector<std::vector<float>> queries;
    for (std::size_t i = 0; i < kQueries; ++i) queries.push_back(sample());

    auto run = [&](std::size_t threads) {
      const auto t0 = std::chrono::steady_clock::now();
      std::vector<std::thread> pool;
      for (std::size_t t = 0; t < threads; ++t)
        pool.emplace_back([&] {
          for (const auto& q : queries)
            if (!db->search("t", q, 10, std::nullopt, std::nullopt)) std::abort();
        });
      for (auto& th : pool) th.join();
      const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      return static_cast<double>(threads * kQueries) / s;
    };
    run(1);  // warm-up
    const double one = run(1), eight = run(8);
    std::printf("searches through the manager, %zu x %zu Cosine HNSW, k 10, ef_search 100\n", kRows,
                kDim);
    std::printf("1 thread %.0f QPS, 8 threads %.0f QPS, scaling %.2fx\n", one, eight, eight / one);
  }
  std::filesystem::remove_all(dir);
  return 0;
}
