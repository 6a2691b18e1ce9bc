#include "database/table_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "common/failure.hpp"
#include "common/os_file.hpp"

namespace quillmere::table_file {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the file is little-endian and values are copied as they lie in memory");

constexpr std::size_t kBufferSize = 8192;



// ---------------------------------------------------------------------------------------------
// Writing

// A buffered byte sink over a file. After the first failed write every later write is
// skipped, and the failure is what save reports.
class Writer {
 public:
  explicit Writer(int fd) : fd_(fd) {}

  void bytes(const void* data, std::size_t n) {
    if (failed_ || n == 0) return;  // an empty array may have no storage at all
    if (n <= kBufferSize - used_) {
      std::memcpy(buffer_ + used_, data, n);
      used_ += n;
      return;
    }
    flush();
    if (n >= kBufferSize) {
      write_all(data, n);
    } else {
      std::memcpy(buffer_, data, n);
      used_ = n;
    }
  }
  void flush() {
    if (used_ > 0) write_all(buffer_, used_);
    used_ = 0;
  }
  const std::optional<Error>& failure() const { return failed_; }

  void u8(std::uint8_t v) { bytes(&v, 1); }
  void u32(std::uint32_t v) { bytes(&v, 4); }
  void u64(std::uint64_t v) { bytes(&v, 8); }
  void f32(float v) { bytes(&v, 4); }
  void str(const std::string& s) {
    u64(s.size());
    bytes(s.data(), s.size());
  }
  template <class T>
  void seq(std::span<const T> values) {
    u64(values.size());
    bytes(values.data(), values.size() * sizeof(T));
  }
  void dist(DistanceAlgorithm d) { u32(static_cast<std::uint32_t>(d)); }
  void opt_u64(const std::optional<std::uint64_t>& v) {
    u8(v ? 1 : 0);
    if (v) u64(*v);
  }
  template <class T>
  void vec_set(const VecSet<T>& set) {
    u64(set.dim());
    seq(set.data().span());
  }

 private:
  void write_all(const void* data, std::size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0 && !failed_) {
      const ssize_t w = ::write(fd_, p, n);
      if (w < 0) {
        if (errno == EINTR) continue;
        failed_ = Error{"io error: " + os_error(errno)};
        return;
      }
      p += w;
      n -= static_cast<std::size_t>(w);
    }
  }

  int fd_;
  char buffer_[kBufferSize];
  std::size_t used_ = 0;
  std::optional<Error> failed_;
};

void write_metadata(Writer& w, const std::vector<Metadata>& metadata) {
  w.u64(metadata.size());
  for (const Metadata& m : metadata) {
    w.u64(m.size());
    for (const auto& [key, value] : m) {  // std::map iterates in ascending key order
      w.str(key);
      w.str(value);
    }
  }
}

void write_hnsw(Writer& w, const HNSWIndex& h) {
  const HNSWInnerConfig& c = h.config;
  w.u64(c.dim);
  w.dist(c.dist);
  w.u64(c.max_elements);
  w.u64(c.max_links);
  w.u64(c.max_links_level0);
  w.u64(c.ef_construction);
  w.u64(c.ef_search);
  w.f32(c.level_multiplier);
  w.u64(c.parallel_threshold);
  w.vec_set(h.vec_set);
  const std::uint64_t n = h.len();
  w.u64(n * c.max_links_level0);
  for (std::uint64_t node = 0; node < n; ++node) {
    const std::span<const std::uint32_t> s = h.slots(node, 0);
    w.bytes(s.data(), s.size() * 4);
  }
  w.u64(n);
  for (std::uint64_t node = 0; node < n; ++node) {
    w.u64(h.vec_level[node] * c.max_links);
    for (std::uint64_t l = 1; l <= h.vec_level[node]; ++l) {
      const std::span<const std::uint32_t> s = h.slots(node, l);
      w.bytes(s.data(), s.size() * 4);
    }
  }
  w.u64(n);
  for (std::uint64_t node = 0; node < n; ++node) {
    w.u64(h.vec_level[node] + 1);
    for (std::uint64_t l = 0; l <= h.vec_level[node]; ++l) w.u64(h.stored_links_len(node, l));
  }
  w.seq(h.vec_level.span());
  w.u64(h.num_deleted);
  w.opt_u64(h.enter_level);
  w.opt_u64(h.enter_point);
}

void write_pq(Writer& w, const PQTable& pq) {
  const PQConfig& c = pq.config;
  w.u64(c.n_bits);
  w.u64(c.m);
  w.dist(c.dist);
  w.opt_u64(c.train_size);
  w.u64(c.max_iter);
  w.f32(c.tol);
  w.u64(pq.dim);
  w.u64(pq.k);
  w.u64(pq.code_len);
  w.vec_set(pq.encoded_vec_set);
  w.u64(pq.kmeans.size());
  for (const KMeans& model : pq.kmeans) {
    w.u64(model.config.k);
    w.u64(model.config.max_iter);
    w.f32(model.config.tol);
    w.dist(model.config.dist);
    w.u8(model.config.selected ? 1 : 0);
    if (model.config.selected) {
      w.u64(model.config.selected->start);
      w.u64(model.config.selected->end);
    }
    w.vec_set(model.centroids);
  }
  w.seq(pq.centroid_sq_norms.span());
}

// ---------------------------------------------------------------------------------------------
// Reading

// Stops a read; caught once in load and turned into its error value.
struct ReadFailure {
  std::string message;
};

[[noreturn]] void short_file() { throw ReadFailure{"io error: failed to fill whole buffer"}; }
[[noreturn]] void corrupt(const std::string& what) { throw ReadFailure{"Corrupt table file: " + what}; }

// A buffered byte source over a file that knows how many bytes are left, so that no length
// read from the file can make it reserve more than the file could still hold.
class Reader {
 public:
  Reader(int fd, std::uint64_t size) : fd_(fd), left_(size) {}

  std::uint64_t left() const { return left_; }

  void bytes(void* out, std::size_t n) {
    if (n > left_) short_file();
    char* p = static_cast<char*>(out);
    // What the buffer holds first, then large remainders straight from the file.
    if (n >= kBufferSize) {
      const std::size_t take = std::min(n, end_ - pos_);
      std::memcpy(p, buffer_ + pos_, take);
      pos_ += take;
      p += take;
      n -= take;
      left_ -= take;
      while (n >= kBufferSize) {
        const ssize_t r = ::read(fd_, p, n);
        if (r < 0) {
          if (errno == EINTR) continue;
          throw ReadFailure{"io error: " + os_error(errno)};
        }
        if (r == 0) short_file();
        p += r;
        n -= static_cast<std::size_t>(r);
        left_ -= static_cast<std::size_t>(r);
      }
    }
    while (n > 0) {
      if (pos_ == end_) refill();
      const std::size_t take = std::min(n, end_ - pos_);
      std::memcpy(p, buffer_ + pos_, take);
      pos_ += take;
      p += take;
      n -= take;
      left_ -= take;
    }
  }

  std::uint8_t u8() { return value<std::uint8_t>(); }
  std::uint32_t u32() { return value<std::uint32_t>(); }
  std::uint64_t u64() { return value<std::uint64_t>(); }
  float f32() { return value<float>(); }

  // A count of elements that take at least `min_bytes` each in the file.
  std::uint64_t count(std::uint64_t min_bytes) {
    const std::uint64_t c = u64();
    if (c > left_ / min_bytes) short_file();
    return c;
  }

  std::string str() {
    std::string s(count(1), '\0');
    bytes(s.data(), s.size());
    check_utf8(s);
    return s;
  }
  template <class T>
  PodVec<T> seq() {
    PodVec<T> v;
    v.resize_for_overwrite(count(sizeof(T)));
    bytes(v.data(), v.size() * sizeof(T));
    return v;
  }
  DistanceAlgorithm dist() { return static_cast<DistanceAlgorithm>(variant()); }
  std::uint32_t variant() {
    const std::uint32_t v = u32();
    if (v > 1)
      throw ReadFailure{"invalid value: integer `" + std::to_string(v) +
                        "`, expected variant index 0 <= i < 2"};
    return v;
  }
  bool tag() {
    const std::uint8_t t = u8();
    if (t > 1) throw ReadFailure{"tag for enum is not valid, found " + std::to_string(t)};
    return t == 1;
  }
  std::optional<std::uint64_t> opt_u64() {
    if (!tag()) return std::nullopt;
    return u64();
  }

 private:
  template <class T>
  T value() {
    T v;
    bytes(&v, sizeof v);
    return v;
  }

  void refill() {
    while (true) {
      const ssize_t r = ::read(fd_, buffer_, kBufferSize);
      if (r < 0) {
        if (errno == EINTR) continue;
        throw ReadFailure{"io error: " + os_error(errno)};
      }
      if (r == 0) short_file();
      pos_ = 0;
      end_ = static_cast<std::size_t>(r);
      return;
    }
  }

  // The decoder's description of the first invalid sequence, as "string is not valid utf8: ...".
  static void check_utf8(const std::string& s) {
    const auto* b = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    auto invalid = [&](std::size_t len) {
      throw ReadFailure{"string is not valid utf8: invalid utf-8 sequence of " + std::to_string(len) +
                        " bytes from index " + std::to_string(i)};
    };
    auto incomplete = [&] {
      throw ReadFailure{"string is not valid utf8: incomplete utf-8 byte sequence from index " +
                        std::to_string(i)};
    };
    auto cont = [](unsigned char c) { return (c & 0xC0) == 0x80; };
    while (i < n) {
      const unsigned char c = b[i];
      if (c < 0x80) {
        ++i;
        continue;
      }
      std::size_t width = 0;
      unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
      if (c >= 0xC2 && c <= 0xDF) {
        width = 2;
      } else if (c >= 0xE0 && c <= 0xEF) {
        width = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
      } else if (c >= 0xF0 && c <= 0xF4) {
        width = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
      } else {
        invalid(1);
      }
      if (i + 1 >= n) incomplete();
      if (b[i + 1] < lo || b[i + 1] > hi) invalid(1);
      for (std::size_t k = 2; k < width; ++k) {
        if (i + k >= n) incomplete();
        if (!cont(b[i + k])) invalid(k);
      }
      i += width;
    }
  }

  int fd_;
  std::uint64_t left_;
  char buffer_[kBufferSize];
  std::size_t pos_ = 0, end_ = 0;
};

// a * b, or nullopt when it does not fit 64 bits.
std::optional<std::uint64_t> product(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
  return r;
}

template <class T>
VecSet<T> read_vec_set(Reader& r, const char* what) {
  const std::uint64_t dim = r.u64();
  PodVec<T> data = r.seq<T>();
  if (dim == 0) corrupt(std::string(what) + " has dimension 0");
  if (data.size() % dim != 0)
    corrupt(std::string(what) + " holds " + std::to_string(data.size()) +
            " elements, not a multiple of its dimension " + std::to_string(dim));
  return VecSet<T>(dim, std::move(data));
}

std::vector<Metadata> read_metadata(Reader& r) {
  std::vector<Metadata> out(r.count(8));
  for (Metadata& m : out) {
    const std::uint64_t entries = r.count(16);
    for (std::uint64_t e = 0; e < entries; ++e) {
      std::string key = r.str();
      m[std::move(key)] = r.str();  // a repeated key keeps the later value
    }
  }
  return out;
}

// The links are read straight into the index's own blocks ([count, slots] per node and
// level), without a per-node allocation for nodes of level 0, and checked as they arrive.
HNSWIndex read_hnsw(Reader& r) {
  HNSWInnerConfig c{};
  c.dim = r.u64();
  c.dist = r.dist();
  c.max_elements = r.u64();
  c.max_links = r.u64();
  c.max_links_level0 = r.u64();
  c.ef_construction = r.u64();
  c.ef_search = r.u64();
  c.level_multiplier = r.f32();
  c.parallel_threshold = r.u64();
  VecSet<float> vectors = read_vec_set<float>(r, "the HNSW vector set");

  const std::uint64_t n = vectors.len();
  const std::uint64_t m = c.max_links, m0 = c.max_links_level0;
  if (c.dim != vectors.dim())
    corrupt("HNSW dimension " + std::to_string(c.dim) + " for vectors of dimension " +
            std::to_string(vectors.dim()));
  if (m < 2 || m > 10000 || m0 != 2 * m)
    corrupt("HNSW link capacities " + std::to_string(m) + " and " + std::to_string(m0));
  // 1 / ln M for M >= 2 is at most 1 / ln 2; a larger one would draw levels without bound.
  if (!(c.level_multiplier > 0.0f && c.level_multiplier <= 1.0f / std::log(2.0f)) || c.ef_construction == 0)
    corrupt("HNSW level multiplier or construction width out of range");
  auto node_count = [&](const char* what) {
    const std::uint64_t count = r.count(8);
    if (count != n)
      corrupt("HNSW " + std::string(what) + " for " + std::to_string(count) + " nodes, " +
              std::to_string(n) + " vectors");
  };

  const std::uint64_t slots0 = r.count(4);
  if (product(n, m0) != slots0)
    corrupt(std::to_string(slots0) + " level-0 link slots for " + std::to_string(n) + " nodes");
  PodVec<std::uint32_t> level0;
  level0.resize_for_overwrite(n * (m0 + 1));
  for (std::uint64_t node = 0; node < n; ++node) r.bytes(level0.data() + node * (m0 + 1) + 1, m0 * 4);

  node_count("upper links");
  std::vector<PodVec<std::uint32_t>> upper(n);
  PodVec<std::uint64_t> upper_levels;  // per node, from its slot count
  upper_levels.resize_for_overwrite(n);
  for (std::uint64_t node = 0; node < n; ++node) {
    const std::uint64_t slots = r.count(4);
    if (slots % m != 0)
      corrupt("HNSW node " + std::to_string(node) + " has " + std::to_string(slots) +
              " upper slots, not a multiple of " + std::to_string(m));
    upper_levels[node] = slots / m;
    upper[node].resize_for_overwrite(slots / m * (m + 1));
    for (std::uint64_t l = 0; l < slots / m; ++l) r.bytes(upper[node].data() + l * (m + 1) + 1, m * 4);
  }

  node_count("link counts");
  for (std::uint64_t node = 0; node < n; ++node) {
    const std::uint64_t counts = r.count(8);
    if (counts != upper_levels[node] + 1)
      corrupt("HNSW node " + std::to_string(node) + " has " + std::to_string(upper_levels[node] * m) +
              " upper slots and " + std::to_string(counts) + " link counts");
    for (std::uint64_t l = 0; l < counts; ++l) {
      const std::uint64_t count = r.u64();
      if (count > (l == 0 ? m0 : m))
        corrupt("HNSW node " + std::to_string(node) + " has " + std::to_string(count) +
                " links on level " + std::to_string(l));
      *(l == 0 ? level0.data() + node * (m0 + 1) : upper[node].data() + (l - 1) * (m + 1)) =
          static_cast<std::uint32_t>(count);
    }
  }

  PodVec<std::uint64_t> levels = r.seq<std::uint64_t>();
  const std::uint64_t num_deleted = r.u64();
  const std::optional<std::uint64_t> enter_level = r.opt_u64();
  const std::optional<std::uint64_t> enter_point = r.opt_u64();
  if (levels.size() != n)
    corrupt("HNSW levels for " + std::to_string(levels.size()) + " nodes, " + std::to_string(n) + " vectors");
  std::uint64_t top = 0;
  for (std::uint64_t node = 0; node < n; ++node) {
    top = std::max(top, levels[node]);
    if (levels[node] != upper_levels[node])
      corrupt("HNSW node " + std::to_string(node) + " of level " + std::to_string(levels[node]) +
              " has " + std::to_string(upper_levels[node] * m) + " upper slots and " +
              std::to_string(upper_levels[node] + 1) + " link counts");
  }
  for (std::uint64_t node = 0; node < n; ++node) {
    for (std::uint64_t l = 0; l <= levels[node]; ++l) {
      const std::uint32_t* block = l == 0 ? level0.data() + node * (m0 + 1) : upper[node].data() + (l - 1) * (m + 1);
      for (std::uint32_t i = 1; i <= block[0]; ++i) {
        if (block[i] >= n || levels[block[i]] < l)
          corrupt("HNSW node " + std::to_string(node) + " links to node " + std::to_string(block[i]) +
                  " on level " + std::to_string(l));
      }
    }
  }
  const bool entry_ok = n == 0 ? !enter_level && !enter_point
                               : enter_level && enter_point && *enter_point < n &&
                                     levels[*enter_point] == *enter_level && *enter_level == top;
  if (!entry_ok) corrupt("HNSW entry point inconsistent with the nodes");
  return HNSWIndex::from_parts(c, std::move(vectors), std::move(level0), std::move(upper), std::move(levels),
                               num_deleted, enter_level, enter_point);
}

PQTable read_pq(Reader& r) {
  PQConfig c{};
  c.n_bits = r.u64();
  c.m = r.u64();
  c.dist = r.dist();
  c.train_size = r.opt_u64();
  c.max_iter = r.u64();
  c.tol = r.f32();
  const std::uint64_t dim = r.u64(), k = r.u64(), code_len = r.u64();
  VecSet<std::uint8_t> codes = read_vec_set<std::uint8_t>(r, "the PQ code set");
  std::vector<KMeans> models;
  const std::uint64_t n_models = r.count(41);  // the smallest KMeans record
  models.reserve(n_models);
  for (std::uint64_t g = 0; g < n_models; ++g) {
    KMeansConfig kc{};
    kc.k = r.u64();
    kc.max_iter = r.u64();
    kc.tol = r.f32();
    kc.dist = r.dist();
    if (r.tag()) {
      const std::uint64_t start = r.u64();
      kc.selected = DimRange{start, r.u64()};
    }
    models.push_back(KMeans{kc, read_vec_set<float>(r, "a PQ centroid set")});
  }
  PodVec<float> norms = r.seq<float>();
  return PQTable{c, dim, k, code_len, std::move(codes), std::move(models), std::move(norms), {}};
}

MetadataVecTable read_table(Reader& r) {
  std::vector<Metadata> metadata = read_metadata(r);
  std::optional<DynamicIndex> inner;
  if (r.variant() == DynamicIndex::Flat) {
    const DistanceAlgorithm d = r.dist();
    inner.emplace(FlatIndex(d, read_vec_set<float>(r, "the vector set")));
  } else {
    inner.emplace(read_hnsw(r));
  }
  std::optional<PQTable> pq;
  if (r.tag()) pq = read_pq(r);
  return MetadataVecTable{std::move(metadata), std::move(*inner), std::move(pq),
                          ChaCha12Rng::from_entropy()};
}

}  // namespace

Result<void> validate(const MetadataVecTable& t) {
  const std::uint64_t rows = t.len(), dim = t.dim();
  if (t.metadata.size() != rows)
    return make_error("Corrupt table file: " + std::to_string(t.metadata.size()) + " metadata maps for " +
                      std::to_string(rows) + " rows");
  if (!t.pq_table) return {};
  const PQTable& pq = *t.pq_table;
  const PQConfig& c = pq.config;
  auto bad = [](const std::string& what) { return make_error("Corrupt table file: PQ table " + what); };
  if (c.n_bits != 4 && c.n_bits != 8) return bad("with " + std::to_string(c.n_bits) + "-bit codes");
  if (pq.k != (std::uint64_t{1} << c.n_bits)) return bad("with " + std::to_string(pq.k) + " centroids per sub-space");
  if (pq.dim != dim) return bad("of dimension " + std::to_string(pq.dim) + " for a table of dimension " + std::to_string(dim));
  if (c.dist != t.dist()) return bad("for another distance than the table's");
  if (c.m < 1 || c.m > dim) return bad("with " + std::to_string(c.m) + " sub-spaces");
  const std::uint64_t expected_len = c.n_bits == 4 ? c.m - c.m / 2 : c.m;
  if (pq.code_len != expected_len || pq.encoded_vec_set.dim() != expected_len)
    return bad("with codes of " + std::to_string(pq.encoded_vec_set.dim()) + " bytes");
  if (pq.encoded_vec_set.len() != rows)
    return bad("with " + std::to_string(pq.encoded_vec_set.len()) + " codes for " + std::to_string(rows) + " rows");
  if (pq.kmeans.size() != c.m) return bad("with " + std::to_string(pq.kmeans.size()) + " models for " + std::to_string(c.m) + " sub-spaces");
  const std::vector<DimRange> groups = pq_groups(dim, c.m);
  for (std::size_t g = 0; g < groups.size(); ++g) {
    const VecSet<float>& centroids = pq.kmeans[g].centroids;
    if (centroids.len() != pq.k || centroids.dim() != groups[g].end - groups[g].start)
      return bad("model " + std::to_string(g) + " does not fit its sub-space");
  }
  if (pq.centroid_sq_norms.size() != c.m * pq.k)
    return bad("with " + std::to_string(pq.centroid_sq_norms.size()) + " centroid norms");
  return {};
}

Result<void> save(const MetadataVecTable& table, const std::string& path) {
  FileHandle file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (file.get() < 0) return make_error(os_error(errno));
  auto w = std::make_unique<Writer>(file.get());
  write_metadata(*w, table.metadata);
  w->u32(table.inner.kind());
  if (const FlatIndex* f = table.inner.flat()) {
    w->dist(f->dist);
    w->vec_set(f->vec_set);
  } else {
    write_hnsw(*w, *table.inner.hnsw());
  }
  w->u8(table.pq_table ? 1 : 0);
  if (table.pq_table) write_pq(*w, *table.pq_table);
  w->flush();
  if (w->failure()) return std::unexpected(*w->failure());
  // The last write is not complete until the file is closed without error.
  if (const int err = file.close(); err != 0) return make_error("io error: " + os_error(err));
  return {};
}

Result<MetadataVecTable> load(const std::string& path) {
  FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return make_error(os_error(errno));
  struct stat st;
  if (::fstat(file.get(), &st) != 0) return make_error(os_error(errno));
  auto reader = std::make_unique<Reader>(file.get(), static_cast<std::uint64_t>(st.st_size));
  try {
    MetadataVecTable table = read_table(*reader);
    if (Result<void> ok = validate(table); !ok) return std::unexpected(ok.error());
    if (table.pq_table) table.pq_table->rebuild_code_norms();
    return table;
  } catch (const ReadFailure& f) {
    return make_error(f.message);
  }
}

}  // namespace quillmere::table_file

namespace quillmere {

Result<void> MetadataVecTable::save(const std::string& path) const { return table_file::save(*this, path); }

Result<MetadataVecTable> MetadataVecTable::load(const std::string& path) { return table_file::load(path); }

}  // namespace quillmere
