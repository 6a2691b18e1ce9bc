// Product-quantization benchmarks: training a table with the table layer's defaults (10 %
// sample, m = 43, 20 iterations, tol 1e-6) at 1 and 8 pool threads in the same run, encoding,
// and scoring codes in the flat PQ search.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>

#include "common/parallel.hpp"
#include "distance/pq_table.hpp"
#include "index_algorithm/flat_index.hpp"

namespace quillmere {
namespace {

constexpr std::uint64_t kRows = 100000, kDim = 128, kM = 43;

ChaCha12Rng seeded_rng() {
  ChaCha12Rng::Seed seed{};
  seed[0] = 42;
  return ChaCha12Rng(seed);
}

const FlatIndex& data() {
  static const FlatIndex index = [] {
    std::mt19937 gen(7);
    std::normal_distribution<float> normal;
    PodVec<float> v;
    v.reserve(kRows * kDim);
    for (std::uint64_t i = 0; i < kRows * kDim; ++i) v.push_back(normal(gen));
    return FlatIndex(DistanceAlgorithm::Cosine, VecSet<float>(kDim, std::move(v)));
  }();
  return index;
}

PQConfig defaults(std::uint64_t bits) {
  return PQConfig{bits, kM, DistanceAlgorithm::Cosine, kRows / 10, 20, 1e-6f};
}

const PQTable& table(std::uint64_t bits) {
  static std::unique_ptr<PQTable> tables[2];
  auto& t = tables[bits == 8];
  if (!t) {
    ChaCha12Rng rng = seeded_rng();
    t = std::make_unique<PQTable>(PQTable::from_vec_set(data().vec_set, defaults(bits), rng));
  }
  return *t;
}

// Args: n_bits, pool threads. The whole build: sample, 43 k-means models, encoding every row.
void BM_PQTrain(benchmark::State& state) {
  const FlatIndex& index = data();
  pool::ScopedThreadCount threads(static_cast<std::size_t>(state.range(1)));
  for (auto _ : state) {
    ChaCha12Rng rng = seeded_rng();
    PQTable t = PQTable::from_vec_set(index.vec_set, defaults(state.range(0)), rng);
    benchmark::DoNotOptimize(t.encoded_vec_set.data().data());
  }
}

// The encoding step alone on one thread (the build spreads it over the pool). Arg: n_bits.
void BM_PQEncode(benchmark::State& state) {
  const PQTable& t = table(state.range(0));
  const FlatIndex& index = data();
  const std::vector<NearestCentroid> nearest(t.kmeans.begin(), t.kmeans.end());
  std::uint64_t sink = 0;
  for (auto _ : state)
    for (std::span<const float> row : index.vec_set.iter())
      for (const NearestCentroid& model : nearest) sink += model.find(row);
  benchmark::DoNotOptimize(sink);
  state.counters["per_row"] = benchmark::Counter(
      kRows, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Scoring every code against one lookup table. Arg: n_bits.
void BM_PQScore(benchmark::State& state) {
  const PQTable& t = table(state.range(0));
  const PQLookupTable lookup = t.create_lookup(data().vec_set[0]);
  std::vector<float> out(kRows);
  for (auto _ : state) {
    pq_distances(DistanceAlgorithm::Cosine, t.encoded_vec_set, 0, kRows, lookup, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["per_code"] = benchmark::Counter(
      kRows, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The flat PQ search: lookup table, every code scored, ef = 100 candidates re-ranked, k = 10.
void BM_FlatKnnPQ(benchmark::State& state) {
  const PQTable& t = table(state.range(0));
  const FlatIndex& index = data();
  std::uint64_t turn = 0;
  for (auto _ : state) {
    auto found = index.knn_pq(index.vec_set[(turn++ * 7919) % kRows], 10, 100, t);
    benchmark::DoNotOptimize(found.data());
  }
  state.counters["per_code"] = benchmark::Counter(
      kRows, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_PQTrain)->ArgsProduct({{4, 8}, {1, 8}})->ArgNames({"bits", "threads"})
    ->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_PQEncode)->Arg(4)->Arg(8)->ArgName("bits")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PQScore)->Arg(4)->Arg(8)->ArgName("bits")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FlatKnnPQ)->Arg(4)->Arg(8)->ArgName("bits")->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quillmere

BENCHMARK_MAIN();
