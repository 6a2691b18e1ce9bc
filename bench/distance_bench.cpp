// Flat-scan and two-vector distance benchmarks, single thread.
//
// The flat scans run over data larger than the last-level cache (two copies, used in turn) at
// 128, 768, 1536 and 3072 dimensions, beside a plain streaming read of the same bytes and the
// scalar reference scan of the same rows, so bandwidth share and speed-up are ratios within
// one run (bench/summarize.py); the share is also taken pair by pair, the read and the scan
// back to back. The same rows are also scored scattered, in batches of 32 in a random order (a
// graph node's neighbours, the candidates of a PQ re-ranking).
#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <numeric>
#include <random>
#include <vector>

#include "distance/distance.hpp"
#include "index_algorithm/flat_index.hpp"

namespace quillmere {
namespace {

constexpr int kCopies = 2;

struct Dataset {
  std::uint64_t rows, dim;
  std::vector<FlatIndex> copies[2];  // by distance kind
  std::vector<float> query;
};

Dataset& dataset(std::uint64_t rows, std::uint64_t dim) {
  static std::vector<std::unique_ptr<Dataset>> cache;
  for (auto& d : cache)
    if (d->rows == rows && d->dim == dim) return *d;
  auto d = std::make_unique<Dataset>();
  d->rows = rows;
  d->dim = dim;
  std::mt19937 gen(42);
  std::normal_distribution<float> normal;
  for (int c = 0; c < kCopies; ++c) {
    PodVec<float> data;
    data.reserve(rows * dim);
    for (std::uint64_t i = 0; i < rows * dim; ++i) data.push_back(normal(gen));
    VecSet<float> set(dim, data);
    d->copies[0].emplace_back(DistanceAlgorithm::L2Sqr, set);
    d->copies[1].emplace_back(DistanceAlgorithm::Cosine, std::move(set));
  }
  for (std::uint64_t j = 0; j < dim; ++j) d->query.push_back(normal(gen));
  cache.push_back(std::move(d));
  return *cache.back();
}

void set_counters(benchmark::State& state, std::uint64_t rows, std::uint64_t dim) {
  state.SetBytesProcessed(
      static_cast<std::int64_t>(state.iterations() * rows * dim * sizeof(float)));
  // Seconds per row, printed with an SI prefix (n = ns).
  state.counters["per_row"] =
      benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
}

// Args: rows, dim, distance kind (0 L2Sqr, 1 Cosine).
void BM_FlatKnn(benchmark::State& state) {
  Dataset& d = dataset(state.range(0), state.range(1));
  const auto& copies = d.copies[state.range(2)];
  std::size_t turn = 0;
  for (auto _ : state) {
    auto found = copies[turn++ % kCopies].knn(d.query, 10);
    benchmark::DoNotOptimize(found.data());
  }
  set_counters(state, d.rows, d.dim);
}

// The same scan through the scalar reference, one two-vector distance per row.
void BM_FlatKnnScalarReference(benchmark::State& state) {
  Dataset& d = dataset(state.range(0), state.range(1));
  const auto& copies = d.copies[state.range(2)];
  std::size_t turn = 0;
  for (auto _ : state) {
    const FlatIndex& index = copies[turn++ % kCopies];
    ResultSet result(10);
    std::uint64_t r = 0;
    for (std::span<const float> row : index.vec_set().iter())
      result.add(r++, distance(index.dist(), d.query, row));
    auto found = std::move(result).into_sorted_vec();
    benchmark::DoNotOptimize(found.data());
  }
  set_counters(state, d.rows, d.dim);
}

__attribute__((target("avx2"))) float stream_sum(const float* p, std::size_t n) {
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    a0 = _mm256_add_ps(a0, _mm256_loadu_ps(p + i));
    a1 = _mm256_add_ps(a1, _mm256_loadu_ps(p + i + 8));
    a2 = _mm256_add_ps(a2, _mm256_loadu_ps(p + i + 16));
    a3 = _mm256_add_ps(a3, _mm256_loadu_ps(p + i + 24));
  }
  float out[8];
  _mm256_storeu_ps(out, _mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)));
  float s = out[0] + out[1] + out[2] + out[3] + out[4] + out[5] + out[6] + out[7];
  for (; i < n; ++i) s += p[i];
  return s;
}

// A plain streaming read of the same bytes: the bandwidth the scan is measured against.
void BM_StreamRead(benchmark::State& state) {
  Dataset& d = dataset(state.range(0), state.range(1));
  std::size_t turn = 0;
  for (auto _ : state) {
    const auto& data = d.copies[0][turn++ % kCopies].vec_set().data();
    benchmark::DoNotOptimize(stream_sum(data.data(), data.size()));
  }
  set_counters(state, d.rows, d.dim);
}

// The streaming read and the scan back to back in every iteration, each timed on its own: the
// share of the read is taken pair by pair, so that both halves of a pair see the same spell of
// the shared machine's memory (the bandwidth of one core moves by a tenth and more between
// benchmarks run a few seconds apart). The read always takes the first copy and the scan the
// second, so that neither reads what was read just before it. Reports the median of the pairs.
void BM_FlatKnnPaired(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  Dataset& d = dataset(state.range(0), state.range(1));
  const auto& data = d.copies[0][0].vec_set().data();
  const FlatIndex& index = d.copies[state.range(2)][1];
  std::vector<double> shares;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(stream_sum(data.data(), data.size()));
    const auto t1 = Clock::now();
    auto found = index.knn(d.query, 10);
    benchmark::DoNotOptimize(found.data());
    const auto t2 = Clock::now();
    shares.push_back(std::chrono::duration<double>(t1 - t0) / (t2 - t1));
  }
  std::nth_element(shares.begin(), shares.begin() + shares.size() / 2, shares.end());
  state.counters["share"] = shares[shares.size() / 2];
}

// Two-vector distance, data hot in L1. Args: dim, distance kind.
void BM_PairDistance(benchmark::State& state) {
  const std::size_t dim = state.range(0);
  const auto kind = static_cast<DistanceAlgorithm>(state.range(1));
  std::mt19937 gen(1);
  std::normal_distribution<float> normal;
  std::vector<float> a(dim), b(dim);
  for (std::size_t i = 0; i < dim; ++i) a[i] = normal(gen), b[i] = normal(gen);
  for (auto _ : state) benchmark::DoNotOptimize(distance(kind, a, b));
}

// Every row once per iteration, in a random order, in batches of kScatteredBatch row pointers.
constexpr std::size_t kScatteredBatch = 32;

void BM_ScatteredRows(benchmark::State& state) {
  Dataset& d = dataset(state.range(0), state.range(1));
  const auto& copies = d.copies[state.range(2)];
  std::vector<std::uint64_t> order(d.rows);
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), std::mt19937(5));
  std::vector<const float*> ptrs[kCopies];
  for (int c = 0; c < kCopies; ++c)
    for (std::uint64_t r : order) ptrs[c].push_back(copies[c].vec_set()[r].data());
  std::vector<float> out(kScatteredBatch);
  std::size_t turn = 0;
  for (auto _ : state) {
    const int c = static_cast<int>(turn++ % kCopies);
    for (std::size_t b = 0; b < d.rows; b += kScatteredBatch) {
      const std::size_t count = std::min<std::size_t>(kScatteredBatch, d.rows - b);
      distance_to_rows(copies[c].dist(), d.query,
                       RowBatch::scattered(ptrs[c].data() + b, count, d.dim), out.data());
      benchmark::DoNotOptimize(out.data());
    }
  }
  set_counters(state, d.rows, d.dim);
}

// rows x dim: about 50 MB (128) or 120 MB per copy, larger than the last-level cache.
constexpr std::int64_t kShapes[][2] = {{100000, 128}, {40000, 768}, {20000, 1536}, {10000, 3072}};

void shape_args(benchmark::internal::Benchmark* b) {
  for (const auto& [rows, dim] : kShapes) b->Args({rows, dim});
  b->ArgNames({"rows", "dim"})->Unit(benchmark::kMillisecond);
}

void scan_args(benchmark::internal::Benchmark* b) {
  for (int kind : {0, 1})
    for (const auto& [rows, dim] : kShapes) b->Args({rows, dim, kind});
  b->ArgNames({"rows", "dim", "cosine"})->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_StreamRead)->Apply(shape_args);
BENCHMARK(BM_FlatKnn)->Apply(scan_args);
BENCHMARK(BM_FlatKnnPaired)->Apply(scan_args);
BENCHMARK(BM_ScatteredRows)->Apply(scan_args);
BENCHMARK(BM_FlatKnnScalarReference)->Apply(scan_args);
BENCHMARK(BM_PairDistance)
    ->ArgsProduct({{128, 384, 768, 1536}, {0, 1}})
    ->ArgNames({"dim", "cosine"});

}  // namespace
}  // namespace quillmere

BENCHMARK_MAIN();
