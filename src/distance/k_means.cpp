#include "distance/k_means.hpp"

#include <xmmintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "common/allocator.hpp"
#include "common/exact_float.hpp"
#include "common/failure.hpp"
#include "common/parallel.hpp"
#include "distance/distance.hpp"

namespace quillmere {
namespace {

// The training rows: components [start, start + width) of every row of the set, borrowed.
struct TrainingViews {
  const float* base;  // component `start` of row 0
  std::uint64_t stride;
  std::uint64_t width;
  std::uint64_t n;

  std::span<const float> operator[](std::uint64_t r) const { return {base + r * stride, width}; }
};

// Rows per parallel task: enough work per task to amortise scheduling; a multiple of
// ColumnSet::kAlign.
constexpr std::uint64_t kRowsPerTask = 1024;
static_assert(kRowsPerTask % ColumnSet::kAlign == 0);

template <class Body>
void for_row_blocks(std::uint64_t n, Body&& body) {
  const std::uint64_t blocks = (n + kRowsPerTask - 1) / kRowsPerTask;
  pool::parallel_for(blocks, [&](std::size_t b0, std::size_t b1) {
    for (std::size_t b = b0; b < b1; ++b)
      body(b * kRowsPerTask, std::min<std::uint64_t>(n, (b + 1) * kRowsPerTask));
  });
}

// The weighted pick of a seeding step, or nullopt when the weights cannot drive one (a negative
// weight, all zero, an infinite weight or total). `running` is scratch of n entries.
std::optional<std::uint64_t> weighted_pick(const PodVec<float>& weights, PodVec<float>& running,
                                           ChaCha12Rng& rng) {
  float total = 0.0f;
  bool any_positive = false;
  for (std::size_t r = 0; r < weights.size(); ++r) {
    const float w = weights[r];
    if (w < 0.0f || std::isinf(w)) return std::nullopt;
    any_positive = any_positive || w > 0.0f;
    total = total + w;
    running[r] = total;
  }
  if (!any_positive || std::isinf(total)) return std::nullopt;
  const float u = rng.gen_f32(total);
  // The first row whose running total exceeds u; the totals never decrease.
  const float* first = std::upper_bound(running.begin(), running.end(), u);
  return static_cast<std::uint64_t>(first - running.begin());
}

// k-means++ seeding: the first seed uniform, each further one weighted by the distance of every
// row to its nearest seed so far.
VecSet<float> k_means_init(const TrainingViews& views, std::uint64_t k, DistanceAlgorithm dist,
                           ChaCha12Rng& rng) {
  VecSet<float> seeds = VecSet<float>::with_capacity(views.width, k);
  seeds.push(views[rng.gen_index(views.n)]);
  if (k == 1) return seeds;

  PodVec<float> weights;
  weights.reserve(views.n);
  for (std::uint64_t r = 0; r < views.n; ++r)
    weights.push_back(std::numeric_limits<float>::infinity());
  PodVec<float> running(views.n);
  // Each step scores the newest seed (on the left) against every row.
  const ColumnSet rows(dist, views.base, views.n, views.width, views.stride);
  for (std::uint64_t i = 1; i < k; ++i) {
    const std::span<const float> newest = seeds[i - 1];
    for_row_blocks(views.n, [&](std::uint64_t begin, std::uint64_t end) {
      float d[kRowsPerTask];
      rows.distances(newest, begin, end, d);
      for (std::uint64_t r = begin; r < end; ++r)
        if (d[r - begin] < weights[r]) weights[r] = d[r - begin];  // a NaN leaves it
    });
    const std::optional<std::uint64_t> pick = weighted_pick(weights, running, rng);
    seeds.push(views[pick ? *pick : rng.gen_index(views.n)]);
  }
  return seeds;
}

// Index of the nearest of `count` centroid distances under the tie rules of find_nearest_base:
// the first index holding the smallest number (-0.0 and +0.0 equal), 0 when all are NaN. The
// smallest number is found four lanes at a time: minps answers its second operand when either
// is NaN, so NaN entries are skipped, and the order of a min reduction does not change it.
std::uint64_t nearest_of(const float* d, std::uint64_t count) {
  __m128 low4 = _mm_set1_ps(std::numeric_limits<float>::infinity());
  std::uint64_t i = 0;
  for (; i + 4 <= count; i += 4) low4 = _mm_min_ps(_mm_loadu_ps(d + i), low4);
  float lanes[4];
  _mm_storeu_ps(lanes, low4);
  float low = lanes[0];
  for (int l = 1; l < 4; ++l) low = lanes[l] < low ? lanes[l] : low;
  for (; i < count; ++i) low = d[i] < low ? d[i] : low;
  const __m128 target = _mm_set1_ps(low);
  for (i = 0; i + 4 <= count; i += 4) {
    const int hits = _mm_movemask_ps(_mm_cmpeq_ps(_mm_loadu_ps(d + i), target));
    if (hits != 0)
      return i + static_cast<std::uint64_t>(__builtin_ctz(static_cast<unsigned>(hits)));
  }
  for (; i < count; ++i)
    if (d[i] == low) return i;
  return 0;  // every distance is NaN
}

// Room for one distance per centroid: on the stack up to 256 centroids (every PQ model).
class CentroidDistances {
 public:
  explicit CentroidDistances(std::uint64_t k) {
    if (k > kOnStack) heap_.resize(k);
  }
  float* data() { return heap_.empty() ? stack_ : heap_.data(); }

 private:
  static constexpr std::uint64_t kOnStack = 256;
  float stack_[kOnStack];
  PodVec<float> heap_;
};

// max(a, b) that ignores a NaN operand.
float max_ignoring_nan(float a, float b) {
  if (std::isnan(b)) return a;
  if (std::isnan(a)) return b;
  return a < b ? b : a;
}

}  // namespace

std::pair<std::uint64_t, float> find_nearest_base(std::span<const float> vector,
                                                  const VecSet<float>& centroids,
                                                  const DistanceAlgorithm& dist) {
  const ExactFloatMode exact;
  if (centroids.data().empty()) fail("The number of centroids should be greater than 0.");
  const std::uint64_t k = centroids.len();
  // Each centroid distance is distance(vector, centroid); the batch form puts the vector on the
  // left as well.
  CentroidDistances scratch(k);
  float* d = scratch.data();
  distance_to_rows(dist, vector, RowBatch::contiguous(centroids.data().data(), k, centroids.dim()),
                   d);
  const std::uint64_t best = nearest_of(d, k);
  return {best, d[best]};
}

namespace {

// The training rows of `vec_set` under `config`, after the checks of the configuration.
TrainingViews training_views(const VecSet<float>& vec_set, const KMeansConfig& config) {
  if (config.k == 0) fail("The number of clusters should be greater than 0.");
  const DimRange range = config.selected.value_or(DimRange{0, vec_set.dim()});
  if (range.end > vec_set.dim())
    fail("The selected range should be in the range [0, vec_set.dim())");
  if (vec_set.dim() == 0) fail("chunk size must be non-zero");
  const std::uint64_t n = vec_set.len();
  if (n > 0 && range.start > range.end) fail_slice_order(range.start, range.end);
  return TrainingViews{vec_set.data().data() + (n > 0 ? range.start : 0), vec_set.dim(),
                       range.end - std::min(range.start, range.end), n};
}

// labels[r] = the nearest of the k centroids (`current`, row after row) to training row r.
void assign(const TrainingViews& views, DistanceAlgorithm dist, const float* current,
            std::uint64_t k, PodVec<std::uint64_t>& labels) {
  const ColumnSet by_column(dist, current, k, views.width, views.width);
  for_row_blocks(views.n, [&](std::uint64_t begin, std::uint64_t end) {
    PodVec<float> d;
    d.resize(k);
    for (std::uint64_t r = begin; r < end; ++r) {
      by_column.distances(views[r], 0, k, d.data());
      labels[r] = nearest_of(d.data(), k);
    }
  });
}

// The rows of each cluster, ascending: cluster j's are members[offsets[j] .. offsets[j + 1]).
void group(const PodVec<std::uint64_t>& labels, std::uint64_t k, PodVec<std::uint64_t>& offsets,
           PodVec<std::uint64_t>& members) {
  std::fill(offsets.begin(), offsets.end(), 0);
  for (std::uint64_t r = 0; r < labels.size(); ++r) ++offsets[labels[r] + 1];
  for (std::uint64_t j = 0; j < k; ++j) offsets[j + 1] += offsets[j];
  PodVec<std::uint64_t> fill(std::span<const std::uint64_t>(offsets.data(), k));
  for (std::uint64_t r = 0; r < labels.size(); ++r) members[fill[labels[r]]++] = r;
}

// next = the mean of each cluster's members, summed in row order; an empty cluster keeps its
// centroid from `current`.
void update(const TrainingViews& views, const float* current, std::uint64_t k,
            const PodVec<std::uint64_t>& offsets, const PodVec<std::uint64_t>& members,
            PodVec<float>& next) {
  const std::uint64_t width = views.width;
  pool::parallel_for(k, [&](std::size_t j0, std::size_t j1) {
    for (std::size_t j = j0; j < j1; ++j) {
      float* out = next.data() + j * width;
      const std::uint64_t count = offsets[j + 1] - offsets[j];
      if (count == 0) {
        std::copy(current + j * width, current + (j + 1) * width, out);
        continue;
      }
      std::fill(out, out + width, 0.0f);
      for (std::uint64_t i = offsets[j]; i < offsets[j + 1]; ++i) {
        const std::span<const float> v = views[members[i]];
        for (std::uint64_t c = 0; c < width; ++c) out[c] = out[c] + v[c];
      }
      const float divisor = static_cast<float>(count);
      for (std::uint64_t c = 0; c < width; ++c) out[c] = out[c] / divisor;
    }
  });
}

// The largest move of a centroid, always as a squared Euclidean distance (NaN moves ignored).
float largest_move(const VecSet<float>& centroids, std::uint64_t k, const PodVec<float>& next) {
  const std::uint64_t width = centroids.dim();
  float shift = -std::numeric_limits<float>::infinity();
  for (std::uint64_t j = 0; j < k; ++j)
    shift =
        max_ignoring_nan(shift, distance(DistanceAlgorithm::L2Sqr, centroids[j],
                                         std::span<const float>(next.data() + j * width, width)));
  return shift;
}

}  // namespace

KMeans KMeans::from_vec_set(const VecSet<float>& vec_set, const KMeansConfig& config,
                            ChaCha12Rng& rng) {
  const ExactFloatMode exact;
  const TrainingViews views = training_views(vec_set, config);
  const std::uint64_t k = config.k;

  VecSet<float> centroids = k_means_init(views, k, config.dist, rng);

  PodVec<std::uint64_t> labels(views.n);
  PodVec<std::uint64_t> members(views.n);
  PodVec<std::uint64_t> offsets(k + 1);
  PodVec<float> next(k * views.width);
  for (std::uint64_t iter = 0; iter < config.max_iter; ++iter) {
    const float* current = centroids.data().data();
    assign(views, config.dist, current, k, labels);
    group(labels, k, offsets, members);
    update(views, current, k, offsets, members, next);
    const float shift = largest_move(centroids, k, next);
    centroids = VecSet<float>(views.width, next);
    if (shift < config.tol) break;
  }
  return KMeans{config, std::move(centroids)};
}

namespace {

std::span<const float> selected_part(const KMeans& model, std::span<const float> vector) {
  const DimRange range = model.config.selected.value_or(DimRange{0, model.centroids.dim()});
  if (range.start > range.end) fail_slice_order(range.start, range.end);
  if (range.end > vector.size()) fail_slice_end(range.end, vector.size());
  return vector.subspan(range.start, range.end - range.start);
}

}  // namespace

std::uint64_t KMeans::find_nearest(std::span<const float> vector) const {
  const ExactFloatMode exact;
  return find_nearest_base(selected_part(*this, vector), centroids, config.dist).first;
}

NearestCentroid::NearestCentroid(const KMeans& model)
    : model_(&model),
      columns_(model.config.dist, model.centroids.data().data(),
               model.centroids.dim() == 0 ? 0 : model.centroids.len(), model.centroids.dim(),
               model.centroids.dim()) {}

std::uint64_t NearestCentroid::find(std::span<const float> vector) const {
  const ExactFloatMode exact;
  const std::span<const float> part = selected_part(*model_, vector);
  if (model_->centroids.data().empty()) fail("The number of centroids should be greater than 0.");
  const std::uint64_t k = columns_.count();
  CentroidDistances scratch(k);
  float* d = scratch.data();
  columns_.distances(part, 0, k, d);
  return nearest_of(d, k);
}

}  // namespace quillmere
