// The cost of create_table_if_not_exists on the real disk (a fresh database in $TMPDIR or /tmp),
// against a baseline measured in the same run: one crash-safe replacement of a small file of the
// same directory (a staged file written, synced, renamed over its target, the directory synced),
// which is what every durable save costs at least. Each round creates TABLES tables (default
// 200) in a new database, each creation followed by one replacement; the medians of ROUNDS
// rounds (default 5) are shown.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "database/vec_db_manager.hpp"

using namespace quillmere;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string name_of(long i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "t%ld", i);
  return buf;
}

long env_or(const char* name, long fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::atol(v) : fallback;
}

}  // namespace

int main() {
  const char* tmp = std::getenv("TMPDIR");
  const std::string root = std::string(tmp && *tmp ? tmp : "/tmp") + "/quillmere_create_bench";
  const long tables = env_or("TABLES", 200), rounds = env_or("ROUNDS", 5);
  std::vector<double> create_us, replace_us;
  const std::string text = "[tables.t]\nfilename = \"t.db\"\n";
  auto write_text = [&](File& out) -> Result<void> {
    if (!out.write_all(text.data(), text.size())) return make_error(ErrorKind::Io, "write");
    return {};
  };
  for (long round = 0; round < rounds; ++round) {
    std::filesystem::remove_all(root);
    auto db = std::move(VecDBManager::open(root + "/db").value());
    const auto plain = Directory::open(FileSystem::system(), root + "/plain").value();
    // One of each in turn, so that both meet the same disk.
    double create_s = 0, replace_s = 0;
    for (long i = 0; i < tables; ++i) {
      auto t0 = std::chrono::steady_clock::now();
      if (!db->create_table_if_not_exists(name_of(i), 128, DistanceAlgorithm::Cosine).value())
        return 1;
      create_s += seconds_since(t0);
      t0 = std::chrono::steady_clock::now();
      if (!plain->replace(name_of(i), write_text)) return 1;
      replace_s += seconds_since(t0);
    }
    create_us.push_back(create_s * 1e6 / static_cast<double>(tables));
    replace_us.push_back(replace_s * 1e6 / static_cast<double>(tables));
  }
  std::filesystem::remove_all(root);
  const double c = median(create_us), r = median(replace_us);
  std::printf(
      "create_table_if_not_exists: %.1f us per table; crash-safe replace of a small file: %.1f us; "
      "ratio %.2f (%ld tables x %ld rounds)\n",
      c, r, c / r, tables, rounds);
  return 0;
}
