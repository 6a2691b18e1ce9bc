#include "database/vec_db_manager.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

namespace quillmere {
namespace {

std::string os_error(int err) {
  return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

// `dir` joined with a file name, the directory kept exactly as given (relative stays relative).
std::string in_dir(const std::string& dir, const char* name) {
  return (std::filesystem::path(dir) / name).string();
}

// Closes the lock file unless released, so that every failed open gives the lock back.
class LockFile {
 public:
  explicit LockFile(int fd) : fd_(fd) {}
  ~LockFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// Every file name ends with ".db" and names a file of the directory itself; no two entries
// share one. Entries are checked in name order, each completely before the next.
Result<void> validate(VecDBBrief& brief) {
  std::set<std::string> names;
  for (const auto& [table, entry] : brief.tables) {
    const std::string& f = entry.filename;
    if (!f.ends_with(".db")) return make_error("Filename should end with '.db': " + f);
    if (f.find('/') != std::string::npos || f.find('\\') != std::string::npos)
      return make_error("Should not contain path separators in filename: " + f);
    names.insert(f);
  }
  if (names.size() != brief.tables.size()) return make_error("Duplicate filenames in the brief");
  brief.filenames = std::move(names);
  return {};
}

}  // namespace

Result<void> save_to(const Locked<VecDBBrief>& brief, const std::string& path) {
  const auto guard = brief.lock();
  return guard->save(path);
}

Result<std::unique_ptr<VecDBManager>> VecDBManager::open(const std::string& dir) {
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return make_error(os_error(ec.value()));
  }
  LockFile lock(::open(in_dir(dir, "db.lock").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (lock.get() < 0) return make_error(os_error(errno));
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) return make_error("Failed to acquire lock for VecDBManager");

  const std::string brief_path = in_dir(dir, "brief.toml");
  VecDBBrief brief;
  bool changed = false;
  if (::stat(brief_path.c_str(), &st) != 0) {
    changed = true;  // no catalogue yet: the empty one is written by the saving thread
  } else {
    Result<VecDBBrief> loaded = VecDBBrief::load(brief_path);
    if (!loaded) return std::unexpected(loaded.error());
    brief = std::move(*loaded);
    if (Result<void> ok = validate(brief); !ok) return std::unexpected(ok.error());
  }
  ThreadSavingManager<Locked<VecDBBrief>> saver(Locked<VecDBBrief>(std::move(brief)), brief_path,
                                                kCatalogueInterval, changed);
  return std::unique_ptr<VecDBManager>(new VecDBManager(dir, std::move(saver), lock.release()));
}

VecDBManager::VecDBManager(std::string dir, ThreadSavingManager<Locked<VecDBBrief>> brief, int lock_fd)
    : dir_(std::move(dir)), brief_(std::move(brief)), lock_fd_(lock_fd) {}

VecDBManager::~VecDBManager() {
  try {
    brief_.sync_save(true);
  } catch (const InternalFailure&) {
    // Already printed by the failure itself; closing goes on.
  } catch (const std::exception& e) {
    std::fprintf(stderr, "saving the catalogue failed: %s\n", e.what());
  }
  {
    std::lock_guard cache(cache_mutex_);
    table_cache_.clear();
  }
  ::close(lock_fd_);  // ends the directory lock
}

std::pair<VecDBManager::CatalogueGuard, VecDBManager::CacheGuard> VecDBManager::get_locks_by_order() {
  CatalogueGuard catalogue = brief_.lock();
  CacheGuard cache(cache_mutex_);
  return {std::move(catalogue), std::move(cache)};
}

std::vector<std::string> VecDBManager::get_all_keys() {
  auto [catalogue, cache] = get_locks_by_order();
  std::vector<std::string> keys;
  keys.reserve(catalogue->tables.size());
  for (const auto& [name, entry] : catalogue->tables) keys.push_back(name);
  return keys;
}

bool VecDBManager::contains_key(const std::string& key) {
  auto [catalogue, cache] = get_locks_by_order();
  return catalogue->tables.contains(key);
}

std::vector<std::string> VecDBManager::get_cached_tables() {
  auto [catalogue, cache] = get_locks_by_order();
  std::vector<std::string> keys;
  keys.reserve(table_cache_.size());
  for (const auto& [name, table] : table_cache_) keys.push_back(name);
  return keys;
}

bool VecDBManager::contains_cached(const std::string& key) {
  auto [catalogue, cache] = get_locks_by_order();
  return table_cache_.contains(key);
}

}  // namespace quillmere
