// VecDBManager: the owner of one open database directory. It holds the directory's exclusive
// lock (an flock on `db.lock`) for its whole life, the catalogue (`brief.toml`) behind a mutex
// with its saving thread, and the cache of loaded tables.
//
// Lock order: the catalogue (through its saving manager: change flag, then the catalogue's
// mutex, the change flag released again at once), then the table cache, then a table's own
// locks. get_locks_by_order is the one way to hold the first two.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "database/locks.hpp"
#include "database/thread_save.hpp"
#include "database/vec_db_brief.hpp"

namespace quillmere {

// The catalogue's save: under its mutex, the canonical text.
Result<void> save_to(const Locked<VecDBBrief>& brief, const std::string& path);

// One loaded table in the cache. (Filled in by the table cache; empty until then.)
struct CachedTable {};

class VecDBManager {
 public:
  using CatalogueGuard = Locked<VecDBBrief>::Guard;
  using CacheGuard = std::unique_lock<std::mutex>;

  // Opens `dir`: creates it (with missing parents) when it cannot be examined, locks its
  // `db.lock` without waiting ("Failed to acquire lock for VecDBManager" when anyone holds it),
  // reads and validates `brief.toml` (a missing one is an empty catalogue that counts as
  // changed) and starts the catalogue's saving thread. Every failure leaves nothing held.
  static Result<std::unique_ptr<VecDBManager>> open(const std::string& dir);

  // Saves the catalogue if changed, stops its thread, then releases the directory lock.
  ~VecDBManager();
  VecDBManager(const VecDBManager&) = delete;
  VecDBManager& operator=(const VecDBManager&) = delete;

  // The catalogue (marked changed) and then the cache; dropped in the opposite order.
  std::pair<CatalogueGuard, CacheGuard> get_locks_by_order();

  // Catalogue queries. Each goes through get_locks_by_order, so each marks the catalogue changed
  // and brief.toml is rewritten within about one saving interval.
  std::vector<std::string> get_all_keys();
  bool contains_key(const std::string& key);
  std::vector<std::string> get_cached_tables();
  bool contains_cached(const std::string& key);

  const std::string& dir() const { return dir_; }

  // The catalogue's saving interval.
  static constexpr std::chrono::seconds kCatalogueInterval{5};

 private:
  VecDBManager(std::string dir, ThreadSavingManager<Locked<VecDBBrief>> brief, int lock_fd);

  std::string dir_;
  ThreadSavingManager<Locked<VecDBBrief>> brief_;
  std::mutex cache_mutex_;
  std::map<std::string, CachedTable> table_cache_;  // guarded by cache_mutex_
  int lock_fd_;                                     // holds the directory lock
};

}  // namespace quillmere
