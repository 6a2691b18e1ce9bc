#include "hnswlib_runner.hpp"

#include <hnswlib/hnswlib.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

struct HnswlibRunner::State {
  std::size_t dim;
  bool cosine;
  std::unique_ptr<hnswlib::SpaceInterface<float>> space;
  std::unique_ptr<hnswlib::HierarchicalNSW<float>> index;
  std::vector<float> scratch;

  const float* prepared(const float* v, float* out) const {
    if (!cosine) return v;
    float s = 0;
    for (std::size_t j = 0; j < dim; ++j) s += v[j] * v[j];
    const float inv = s > 0 ? 1.0f / std::sqrt(s) : 0.0f;
    for (std::size_t j = 0; j < dim; ++j) out[j] = v[j] * inv;
    return out;
  }
};

HnswlibRunner::HnswlibRunner(std::size_t dim, bool cosine, std::size_t max_elements, std::size_t m,
                             std::size_t ef_construction)
    : state_(std::make_unique<State>()) {
  state_->dim = dim;
  state_->cosine = cosine;
  if (cosine)
    state_->space = std::make_unique<hnswlib::InnerProductSpace>(dim);
  else
    state_->space = std::make_unique<hnswlib::L2Space>(dim);
  state_->index = std::make_unique<hnswlib::HierarchicalNSW<float>>(
      state_->space.get(), max_elements, m, ef_construction);
  state_->scratch.resize(dim);
}

HnswlibRunner::~HnswlibRunner() = default;

void HnswlibRunner::build(const float* data, std::size_t n, std::size_t threads) {
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    std::vector<float> buf(state_->dim);
    for (std::size_t i; (i = next++) < n;)
      state_->index->addPoint(state_->prepared(data + i * state_->dim, buf.data()), i);
  };
  std::vector<std::thread> pool;
  for (std::size_t t = 0; t < threads; ++t) pool.emplace_back(work);
  for (auto& t : pool) t.join();
}

std::vector<std::uint64_t> HnswlibRunner::search(const float* query, std::size_t k,
                                                 std::size_t ef) {
  state_->index->setEf(ef);
  auto found = state_->index->searchKnn(state_->prepared(query, state_->scratch.data()), k);
  std::vector<std::uint64_t> out(found.size());
  for (std::size_t i = found.size(); i-- > 0; found.pop()) out[i] = found.top().second;
  return out;
}
