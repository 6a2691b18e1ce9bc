// K-means clustering of the rows of a VecSet, or of one contiguous range of their components:
// k-means++ seeding, then Lloyd iterations. Product quantization trains one model per
// sub-space with it and encodes vectors with find_nearest. The per-row work of every step runs
// on the data-parallel pool, and no result depends on the pool's size.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "common/random.hpp"
#include "distance/distance.hpp"
#include "distance/distance_algorithm.hpp"
#include "vec_set.hpp"

namespace quillmere {

// A range of components [start, end).
struct DimRange {
  std::uint64_t start;
  std::uint64_t end;

  friend bool operator==(const DimRange&, const DimRange&) = default;
};

struct KMeansConfig {
  std::uint64_t k;                   // number of clusters, > 0
  std::uint64_t max_iter;            // Lloyd iterations at most; 0 returns the seeds
  float tol;                         // stop once the largest squared centroid move is below it
  DistanceAlgorithm dist;            // for the seeding weights and the assignment
  std::optional<DimRange> selected;  // the clustered components; absent = all

  friend bool operator==(const KMeansConfig&, const KMeansConfig&) = default;
};

// The index of the nearest centroid to `vector` and its distance: ties keep the earlier
// centroid, a NaN distance never displaces a number, all NaN gives 0. A centroid set without
// components fails with "The number of centroids should be greater than 0.".
std::pair<std::uint64_t, float> find_nearest_base(std::span<const float> vector,
                                                  const VecSet<float>& centroids,
                                                  const DistanceAlgorithm& dist);

// One trained model: exactly config.k centroids of the selected width. Immutable once built.
struct KMeans {
  KMeansConfig config;
  VecSet<float> centroids;

  // Trains a model on every row of `vec_set` (its selected components), drawing the seeds from
  // `rng` on the calling thread.
  static KMeans from_vec_set(const VecSet<float>& vec_set, const KMeansConfig& config,
                             ChaCha12Rng& rng);

  // The nearest centroid to the selected components of `vector`.
  std::uint64_t find_nearest(std::span<const float> vector) const;

  friend bool operator==(const KMeans&, const KMeans&) = default;
};

// KMeans::find_nearest prepared for many vectors: the model's centroids copied once into
// column order. Same answers and failures; must not outlive its model.
class NearestCentroid {
 public:
  explicit NearestCentroid(const KMeans& model);
  std::uint64_t find(std::span<const float> vector) const;

 private:
  const KMeans* model_;
  ColumnSet columns_;
};

}  // namespace quillmere
