// Product-quantization benchmarks: training a table with the table layer's defaults (10 %
// sample, m = 43, 20 iterations, tol 1e-6) at 1 and 8 pool threads in the same run, encoding,
// scoring codes, and the flat PQ search beside the exact flat scan of the same rows.
//
// After the table, the ratios within this run of the flat PQ search (ef 100, k 10) to the exact
// scan (k 10) at 100,000 x 128 and 20,000 x 1536, PQ built as the table layer builds it
// (m = ceil(dim / 3), 4 bits, 10 % sample). With --benchmark_repetitions, of the medians.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/parallel.hpp"
#include "distance/pq_table.hpp"
#include "index_algorithm/flat_index.hpp"

namespace quillmere {
namespace {

constexpr std::uint64_t kRows = 100000, kDim = 128;

ChaCha12Rng seeded_rng() {
  ChaCha12Rng::Seed seed{};
  seed[0] = 42;
  return ChaCha12Rng(seed);
}

// Normally distributed rows, Cosine, one data set per shape for the whole run.
const FlatIndex& data(std::uint64_t rows = kRows, std::uint64_t dim = kDim) {
  static std::map<std::pair<std::uint64_t, std::uint64_t>, FlatIndex> sets;
  const auto key = std::pair(rows, dim);
  if (auto it = sets.find(key); it != sets.end()) return it->second;
  std::mt19937 gen(7);
  std::normal_distribution<float> normal;
  PodVec<float> v;
  v.reserve(rows * dim);
  for (std::uint64_t i = 0; i < rows * dim; ++i) v.push_back(normal(gen));
  return sets.emplace(key, FlatIndex(DistanceAlgorithm::Cosine, VecSet<float>(dim, std::move(v))))
      .first->second;
}

// The table layer's defaults for a table of `rows` x `dim`.
PQConfig defaults(std::uint64_t bits, std::uint64_t rows = kRows, std::uint64_t dim = kDim) {
  return PQConfig{bits, dim / 3 + (dim % 3 != 0), DistanceAlgorithm::Cosine, rows / 10, 20, 1e-6f};
}

const PQTable& table(std::uint64_t bits, std::uint64_t rows = kRows, std::uint64_t dim = kDim) {
  static std::map<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>, PQTable> tables;
  const auto key = std::tuple(bits, rows, dim);
  if (auto it = tables.find(key); it != tables.end()) return it->second;
  ChaCha12Rng rng = seeded_rng();
  return tables
      .emplace(key,
               PQTable::from_vec_set(data(rows, dim).vec_set(), defaults(bits, rows, dim), rng))
      .first->second;
}

void per_code(benchmark::State& state, std::uint64_t codes) {
  state.counters["per_code"] =
      benchmark::Counter(static_cast<double>(codes), benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

// Args: n_bits, pool threads. The whole build: sample, 43 k-means models, encoding every row.
void BM_PQTrain(benchmark::State& state) {
  const FlatIndex& index = data();
  pool::ScopedThreadCount threads(static_cast<std::size_t>(state.range(1)));
  for (auto _ : state) {
    ChaCha12Rng rng = seeded_rng();
    PQTable t = PQTable::from_vec_set(index.vec_set(), defaults(state.range(0)), rng);
    benchmark::DoNotOptimize(t.encoded_vec_set().data().data());
  }
}

// The encoding step alone on one thread (the build spreads it over the pool). Arg: n_bits.
void BM_PQEncode(benchmark::State& state) {
  const PQTable& t = table(state.range(0));
  const FlatIndex& index = data();
  const std::vector<NearestCentroid> nearest(t.kmeans().begin(), t.kmeans().end());
  std::uint64_t sink = 0;
  for (auto _ : state)
    for (std::span<const float> row : index.vec_set().iter())
      for (const NearestCentroid& model : nearest) sink += model.find(row);
  benchmark::DoNotOptimize(sink);
  state.counters["per_row"] = benchmark::Counter(
      kRows, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Scoring every code of the table against one lookup table, as the flat PQ search does.
// Arg: n_bits.
void BM_PQScore(benchmark::State& state) {
  const PQTable& t = table(state.range(0));
  const PQLookupTable lookup = t.create_lookup(data().vec_set()[0]);
  std::vector<float> out(kRows);
  for (auto _ : state) {
    pq_distances(DistanceAlgorithm::Cosine, t.encoded_vec_set(), 0, kRows, lookup, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  per_code(state, kRows);
}

// The exact flat scan, k = 10. Args: rows, dim. Queries are rows of the set, in turn.
void BM_FlatKnn(benchmark::State& state) {
  const FlatIndex& index = data(state.range(0), state.range(1));
  const std::uint64_t rows = index.vec_set().len();
  std::uint64_t turn = 0;
  for (auto _ : state) {
    auto found = index.knn(index.vec_set()[(turn++ * 7919) % rows], 10);
    benchmark::DoNotOptimize(found.data());
  }
  per_code(state, rows);
}

// The flat PQ search on the same rows and queries: lookup table, every code scored, ef = 100
// candidates re-ranked, k = 10. Args: rows, dim, n_bits.
void BM_FlatKnnPQ(benchmark::State& state) {
  const std::uint64_t rows = state.range(0), dim = state.range(1);
  const PQTable& t = table(state.range(2), rows, dim);
  const FlatIndex& index = data(rows, dim);
  std::uint64_t turn = 0;
  for (auto _ : state) {
    auto found = index.knn_pq(index.vec_set()[(turn++ * 7919) % rows], 10, 100, t);
    benchmark::DoNotOptimize(found.data());
  }
  per_code(state, rows);
}

BENCHMARK(BM_PQTrain)
    ->ArgsProduct({{4, 8}, {1, 8}})
    ->ArgNames({"bits", "threads"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->UseRealTime();
BENCHMARK(BM_PQEncode)->Arg(4)->Arg(8)->ArgName("bits")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PQScore)->Arg(4)->Arg(8)->ArgName("bits")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FlatKnn)
    ->Args({100000, 128})
    ->Args({20000, 1536})
    ->ArgNames({"rows", "dim"})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FlatKnnPQ)
    ->Args({100000, 128, 4})
    ->Args({100000, 128, 8})
    ->Args({20000, 1536, 4})
    ->ArgNames({"rows", "dim", "bits"})
    ->Unit(benchmark::kMillisecond);

// The console table, then each ratio whose two runs both ran (a filter may leave some out).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_None) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration && !run.error_occurred)
        times_[run.benchmark_name()].push_back(run.GetAdjustedRealTime());
  }

  void print_ratios() {
    struct Pair {
      const char* label;
      const char* num;
      const char* den;
    };
    static const Pair kPairs[] = {
        {"100000 x 128, 4 bits: PQ search / exact scan", "BM_FlatKnnPQ/rows:100000/dim:128/bits:4",
         "BM_FlatKnn/rows:100000/dim:128"},
        {"100000 x 128, 8 bits: PQ search / exact scan", "BM_FlatKnnPQ/rows:100000/dim:128/bits:8",
         "BM_FlatKnn/rows:100000/dim:128"},
        {"20000 x 1536, 4 bits: PQ search / exact scan", "BM_FlatKnnPQ/rows:20000/dim:1536/bits:4",
         "BM_FlatKnn/rows:20000/dim:1536"},
    };
    bool header = false;
    for (const Pair& p : kPairs) {
      const auto num = times_.find(p.num), den = times_.find(p.den);
      if (num == times_.end() || den == times_.end()) continue;
      if (!header) std::printf("\nRatios within this run (real time):\n");
      header = true;
      std::printf("  %-46s %.3f\n", p.label, median(num->second) / median(den->second));
    }
  }

 private:
  static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  }

  std::map<std::string, std::vector<double>> times_;
};

}  // namespace
}  // namespace quillmere

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  quillmere::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratios();
  benchmark::Shutdown();
  return 0;
}
