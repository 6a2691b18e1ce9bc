// Save and load of a 100,000 x 128 HNSW table with a PQ table, beside a plain write and read of
// the same number of bytes in the same run (best of three each, files in $TMPDIR or /tmp).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "database/metadata_vec_table.hpp"

using namespace quillmere;

namespace {

double seconds(auto&& f) {
  double best = 1e30;
  for (int i = 0; i < 3; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

}  // namespace

int main() {
  const char* tmp = std::getenv("TMPDIR");
  const std::string dir = tmp && *tmp ? tmp : "/tmp";
  const std::string table_path = dir + "/quillmere_bench_table.db", plain_path = dir + "/quillmere_bench_plain";
  constexpr std::size_t kRows = 100000, kDim = 128;

  MetadataVecTable table = *MetadataVecTable::create(kDim, DistanceAlgorithm::Cosine);
  std::mt19937 gen(5);
  std::normal_distribution<float> normal;
  std::vector<std::vector<float>> rows(kRows, std::vector<float>(kDim));
  std::vector<std::span<const float>> views;
  std::vector<Metadata> metas;
  for (std::size_t i = 0; i < kRows; ++i) {
    for (float& x : rows[i]) x = normal(gen);
    views.emplace_back(rows[i]);
    metas.push_back({{"id", std::to_string(i)}, {"group", std::to_string(i % 10)}});
  }
  table.batch_add(views, metas);
  table.build_hnsw_index(std::nullopt);
  if (!table.build_pq_table(std::nullopt, std::nullopt, std::nullopt)) return 1;

  const double save_s = seconds([&] {
    if (!table.save(table_path)) std::abort();
  });
  struct stat st;
  ::stat(table_path.c_str(), &st);
  const std::size_t bytes = static_cast<std::size_t>(st.st_size);
  const double load_s = seconds([&] {
    if (!MetadataVecTable::load(table_path)) std::abort();
  });

  std::vector<char> block(bytes, 'x');
  const double write_s = seconds([&] {
    const int fd = ::open(plain_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (std::size_t off = 0; off < bytes;) off += static_cast<std::size_t>(::write(fd, block.data() + off, bytes - off));
    ::close(fd);
  });
  auto plain_read = [&](char* into) {
    const int fd = ::open(plain_path.c_str(), O_RDONLY);
    for (std::size_t off = 0; off < bytes;) {
      const ssize_t r = ::read(fd, into + off, bytes - off);
      if (r <= 0) break;
      off += static_cast<std::size_t>(r);
    }
    ::close(fd);
  };
  const double read_s = seconds([&] { plain_read(block.data()); });
  // A load necessarily reads into memory it has just allocated, whose pages fault in on first
  // touch: the same plain read into a fresh allocation is the fair baseline.
  const double fresh_read_s = seconds([&] {
    std::unique_ptr<char[]> fresh(new char[bytes]);
    plain_read(fresh.get());
  });
  const double mb = static_cast<double>(bytes) / 1e6;
  std::printf("table file %.1f MB (HNSW %zu x %zu, PQ m 43 / 4 bits, 2 metadata keys per row)\n", mb, kRows, kDim);
  std::printf("save %.3f s  %7.0f MB/s   plain write %.3f s  %7.0f MB/s   ratio %.2f\n", save_s, mb / save_s,
              write_s, mb / write_s, write_s / save_s);
  std::printf("load %.3f s  %7.0f MB/s   plain read  %.3f s  %7.0f MB/s   ratio %.2f\n", load_s, mb / load_s,
              read_s, mb / read_s, read_s / load_s);
  std::printf("                           plain read into fresh memory %.3f s  %7.0f MB/s   ratio %.2f\n",
              fresh_read_s, mb / fresh_read_s, fresh_read_s / load_s);
  if (!std::getenv("KEEP")) ::unlink(table_path.c_str());
  ::unlink(plain_path.c_str());
  return 0;
}
