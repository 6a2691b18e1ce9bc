// Save and load of a 100,000 x 128 HNSW table with a PQ table, each against a plain operation
// on the same number of bytes in the same run (files in $TMPDIR or /tmp). The baseline of save
// is one write call to a new file; the baseline of load is one read call into freshly allocated
// memory, since a load has to produce the table in fresh memory. Reads into an already used
// buffer and 8192-byte calls are shown beside them. KEEP=1 keeps the table file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "common/allocator.hpp"
#include "database/metadata_vec_table.hpp"
#include "database/thread_save.hpp"

using namespace quillmere;

namespace {

double elapsed(auto&& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The file's bytes written to a new file in calls of `chunk` bytes.
void plain_write(const std::string& path, const char* data, std::size_t bytes, std::size_t chunk) {
  ::unlink(path.c_str());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  for (std::size_t off = 0; off < bytes;)
    off += static_cast<std::size_t>(::write(fd, data + off, std::min(chunk, bytes - off)));
  ::close(fd);
}

// The same, flushed to the disk before it counts as written: what a crash-safe save must do.
void plain_write_synced(const std::string& path, const char* data, std::size_t bytes) {
  ::unlink(path.c_str());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  for (std::size_t off = 0; off < bytes;)
    off += static_cast<std::size_t>(::write(fd, data + off, bytes - off));
  ::fsync(fd);
  ::close(fd);
}

void plain_read(const std::string& path, char* into, std::size_t bytes, std::size_t chunk) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  for (std::size_t off = 0; off < bytes;) {
    const ssize_t r = ::read(fd, into + off, std::min(chunk, bytes - off));
    if (r <= 0) break;
    off += static_cast<std::size_t>(r);
  }
  ::close(fd);
}

}  // namespace

int main() {
  const char* tmp = std::getenv("TMPDIR");
  const std::string dir = tmp && *tmp ? tmp : "/tmp";
  const std::string table_name = "quillmere_bench_table.db";
  const std::string table_path = dir + "/" + table_name,
                    plain_path = dir + "/quillmere_bench_plain";
  const std::shared_ptr<const Directory> pinned =
      Directory::open(FileSystem::system(), dir).value();
  // The table's bytes written to a new file as they stand (no staging, no sync).
  auto save_plain = [&](const MetadataVecTable& t) {
    ::unlink(table_path.c_str());
    File out(FileSystem::system(), ::open(table_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
             0);
    return t.save(out).has_value() && out.close().has_value();
  };
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

  if (!save_plain(table)) return 1;
  struct stat st;
  ::stat(table_path.c_str(), &st);
  const std::size_t bytes = static_cast<std::size_t>(st.st_size);
  std::vector<char> block(bytes, 'x');
  constexpr std::size_t kWhole = SIZE_MAX, kBuffer = 8192;

  // Rounds alternate between the operations so that a slow moment of the machine does not
  // fall on one of them only; each figure is the best round. A save always writes a new file
  // (the saving threads write a fresh staged file), and so do the plain writes.
  // A load ends with the loaded table freed, as the fresh-memory read ends with its block freed.
  enum {
    kSave,
    kWrite,
    kWrite8k,
    kAtomic,
    kWriteSynced,
    kLoad,
    kRead,
    kRead8k,
    kReadFresh,
    kCount
  };
  const RwLock<MetadataVecTable> locked(std::move(table));
  constexpr int kRounds = 7;
  double best[kCount];
  std::fill(best, best + kCount, 1e30);
  for (int round = 0; round < kRounds; ++round) {
    const double t[kCount] = {
        elapsed([&] {
          if (!save_plain(*locked.read())) std::abort();
        }),
        elapsed([&] { plain_write(plain_path, block.data(), bytes, kWhole); }),
        elapsed([&] { plain_write(plain_path, block.data(), bytes, kBuffer); }),
        elapsed([&] {
          ThreadSave::atomic_save_to(locked, SaveTarget{pinned, table_name});
        }),
        elapsed([&] { plain_write_synced(plain_path, block.data(), bytes); }),
        elapsed([&] {
          Result<File> in = pinned->open_regular(table_name);
          if (!in || !MetadataVecTable::load(*in)) std::abort();
        }),
        elapsed([&] { plain_read(plain_path, block.data(), bytes, kWhole); }),
        elapsed([&] { plain_read(plain_path, block.data(), bytes, kBuffer); }),
        // A load has to produce the table in memory it allocates, whose pages fault in on first
        // touch, just as a program that reads a file into a newly allocated block: the same
        // read into a fresh block from the same allocator.
        elapsed([&] {
          PodVec<char> fresh;
          fresh.resize_for_overwrite(bytes);
          plain_read(plain_path, fresh.data(), bytes, kWhole);
        }),
    };
    for (int i = 0; i < kCount; ++i) best[i] = std::min(best[i], t[i]);
  }

  // Each ratio is the plain operation's time over ours: our throughput as a fraction of its.
  const double mb = static_cast<double>(bytes) / 1e6;
  auto ours = [&](const char* what, double s) {
    std::printf("%-60s %.4f s %6.0f MB/s\n", what, s, mb / s);
  };
  auto plain = [&](const char* role, const char* what, double s, const char* op, double op_s) {
    std::printf("  %-10s%-48s %.4f s %6.0f MB/s   %s at %.2f of its throughput\n", role, what, s,
                mb / s, op, s / op_s);
  };
  std::printf(
      "table file %.1f MB (HNSW %zu x %zu, PQ m 43 / 4 bits, 2 metadata keys per row), best of %d "
      "rounds\n",
      mb, kRows, kDim, kRounds);
  ours("save", best[kSave]);
  plain("baseline:", "plain write to a new file, one call", best[kWrite], "save", best[kSave]);
  plain("beside:", "plain write to a new file, 8192-byte calls", best[kWrite8k], "save",
        best[kSave]);
  ours("crash-safe save (what the saving threads run)", best[kAtomic]);
  plain("baseline:", "plain write to a new file, one call, fsync", best[kWriteSynced],
        "crash-safe save", best[kAtomic]);
  ours("load", best[kLoad]);
  plain("baseline:", "plain read into fresh memory, one call", best[kReadFresh], "load",
        best[kLoad]);
  plain("beside:", "plain read into a used buffer, one call", best[kRead], "load", best[kLoad]);
  plain("beside:", "plain read into a used buffer, 8192-byte calls", best[kRead8k], "load",
        best[kLoad]);
  if (!std::getenv("KEEP")) ::unlink(table_path.c_str());
  ::unlink(plain_path.c_str());
  return 0;
}
