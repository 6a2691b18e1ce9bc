// VecDBManager: the owner of one open database directory. It holds the directory's exclusive
// lock (an flock on `db.lock`) for its whole life, the catalogue (`brief.toml`) behind a mutex
// with its periodic save, and the cache of loaded tables. It belongs to the process that opened
// it: in a forked child, its copy may only be closed or destroyed, which then does nothing (no
// save, no unlock, no lock taken); the child's copy of the directory lock was closed at the fork.
//
// Lock order: the catalogue (through its saving manager: change flag, then the catalogue's
// mutex, the change flag released again at once), then the table cache, then a table's own
// locks. get_locks_by_order (or its held form, for writing the catalogue's file in place) is
// the one way to hold the first two; the cache alone is locked where no catalogue is needed
// (saving every table, closing).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "database/fork_safety.hpp"
#include "database/locks.hpp"
#include "database/metadata_vec_table.hpp"
#include "database/thread_save.hpp"
#include "database/vec_db_brief.hpp"

namespace quillmere {

// The catalogue's save: under its mutex, the canonical text.
Result<void> save_to(const Locked<VecDBBrief>& brief, File& out);

// The one completion message of a released table handle: sent once, after the table's final
// save, and awaited by whoever evicts, deletes or closes while holding the cache.
class CompletionSignal {
 public:
  void send();
  void wait();

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  bool sent_ = false;
};

// The handle of one cached table, shared between the cache and the operations in flight. When
// the last reference goes, on whichever thread drops it, the completion message is sent: the
// table has no user left. Whoever waits for it (eviction, deletion, closing) then makes the
// table's final save, and keeps the table cached when that save fails and the rows must stay.
class VecTableManager {
 public:
  using Saver = ThreadSavingManager<RwLock<MetadataVecTable>>;

  VecTableManager(std::shared_ptr<Saver> saver, std::shared_ptr<CompletionSignal> done);
  ~VecTableManager();
  VecTableManager(const VecTableManager&) = delete;
  VecTableManager& operator=(const VecTableManager&) = delete;

  const std::shared_ptr<Saver> saver;

 private:
  std::shared_ptr<CompletionSignal> done_sender_;
};

// One loaded table in the cache: the table with its periodic save, the receiving end of the
// completion signal and the cache's reference to the handle that callers share.
struct CachedTable {
  std::shared_ptr<VecTableManager::Saver> saver;
  std::shared_ptr<CompletionSignal> done;
  std::shared_ptr<VecTableManager> table;

  static CachedTable make(VecTableManager::Saver saver);
  // Gives out a fresh handle for callers to share, with a fresh completion signal (the table is
  // cached anew).
  void issue_handle();
  // Drops the cache's handle and waits until no operation holds one.
  void wait_for_users();
};

class VecDBManager {
 public:
  using Catalogue = ThreadSavingManager<Locked<VecDBBrief>>;
  using CatalogueGuard = Locked<VecDBBrief>::Guard;
  using TableCache = std::map<std::string, CachedTable>;
  using CacheGuard = Locked<TableCache>::Guard;

  // Opens `dir`: creates it (with missing parents) when it cannot be examined, locks its
  // `db.lock` without waiting ("Failed to acquire lock for VecDBManager" when anyone holds it;
  // a `db.lock` with other names is refused untouched), reads and validates `brief.toml` (a
  // missing one is an empty catalogue that counts as changed; one whose status cannot be read
  // for any other reason fails the open with the system's message) and adds the catalogue's
  // periodic save. Every failure leaves nothing held. The
  // directory is pinned when it is opened: every later file operation is made relative to it,
  // through `fs` (the kernel's, or a test's double). When the catalogue's periodic save needs a
  // thread that cannot be started: "failed to spawn thread: ...".
  static Result<std::unique_ptr<VecDBManager>> open(
      const std::string& dir, std::shared_ptr<FileSystem> fs = FileSystem::system());

  // Closes (see close) unless that was done; its failures are printed.
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

  // --- tables ---
  // The table's handle, loaded from its file on first use (under both catalogue locks; a failed
  // load is passed on unchanged and nothing is cached). "Table {key} not found" when the
  // catalogue has no such entry. The caller must not take the catalogue locks while holding it.
  Result<std::shared_ptr<VecTableManager>> table(const std::string& key);
  // Creates an empty table, writes its file and then the catalogue that lists it, and returns
  // once both are on disk (so a crash after it returns keeps the table, and no saved catalogue
  // names a missing file); false when the name exists, whatever `dim`. A new table of dimension
  // 0 is refused before anything changes. A failed write is returned and leaves the catalogue,
  // in memory and on disk, as it was, and no new file (see the definition for the one case
  // that keeps it).
  Result<bool> create_table_if_not_exists(const std::string& key, std::uint64_t dim,
                                          DistanceAlgorithm dist);
  // Removes the table: the catalogue entry, the cached table (after its final save), then the
  // catalogue file is rewritten without the entry before the table file is removed. False when
  // the name does not exist.
  Result<bool> delete_table(const std::string& key);
  // Drops the cached table after its final save; waits for operations in flight on it. When
  // that save fails the table stays cached and marked changed, its periodic save goes on, and the
  // save's error is returned.
  Result<void> remove_cached_table(const std::string& key);
  // Saves the catalogue and then every cached table, in name order, each if changed. A failed
  // save is an internal failure.
  void force_save();

  // The catalogue's final save, then every cached table released in name order (waiting for its
  // users, then its final save); a save that fails is tried once more after the others; then the
  // directory lock is released. Answers what could not be saved. Nothing else may be called on
  // the manager afterwards (its destruction does nothing more). In a forked child, nothing.
  std::vector<Error> close();

  // False in a forked child of the process that opened the database. Takes no lock.
  bool owned_by_this_process() const noexcept { return generation_ == fork_generation(); }

  // --- table operations: each looks the table up, then takes read or write access ---
  Result<std::uint64_t> get_len(const std::string& key);
  Result<std::uint64_t> get_dim(const std::string& key);
  Result<DistanceAlgorithm> get_dist(const std::string& key);
  // The length is checked under read access ("Dimension mismatch for vec"), which is released
  // before write access is taken (a table's dimension never changes).
  Result<void> add(const std::string& key, std::vector<float> vec, Metadata metadata);
  // "Length mismatch for vec_list and metadata_list" before the lookup, then every vector's
  // length under read access ("Dimension mismatch for vec_list"), then write access.
  Result<void> batch_add(const std::string& key, std::vector<std::vector<float>> vec_list,
                         std::vector<Metadata> metadata_list);
  Result<void> build_hnsw_index(const std::string& key,
                                std::optional<std::uint64_t> ef_construction);
  Result<void> clear_hnsw_index(const std::string& key);
  Result<bool> has_hnsw_index(const std::string& key);
  Result<void> build_pq_table(const std::string& key, std::optional<float> train_proportion,
                              std::optional<std::uint64_t> n_bits, std::optional<std::uint64_t> m);
  Result<void> clear_pq_table(const std::string& key);
  Result<bool> has_pq_table(const std::string& key);
  Result<std::uint64_t> delete_rows(const std::string& key, const Metadata& pattern);
  Result<std::vector<std::pair<Metadata, float>>> search(const std::string& key,
                                                         std::span<const float> query,
                                                         std::uint64_t k,
                                                         std::optional<std::uint64_t> ef,
                                                         std::optional<float> upper_bound);
  Result<std::vector<std::pair<std::vector<float>, Metadata>>> extract_data(const std::string& key);

  // The file name of a new table `key` given the names in use: its first 32 characters mapped
  // (ASCII letters, digits, '-', '_' and non-ASCII characters other than controls and white
  // space kept, everything else '_'), then ".db", or "_1.db", "_2.db", ... for the first free one.
  static std::string table_file_name(const std::string& key, const std::set<std::string>& used);

  const std::string& dir() const { return dir_; }

  // The saving intervals of the catalogue and of a table.
  static constexpr std::chrono::seconds kCatalogueInterval{5};
  static constexpr std::chrono::seconds kTableInterval{60};

 private:
  using HeldCatalogue = Catalogue::Held<CatalogueGuard>;

  VecDBManager(std::string dir, std::shared_ptr<const Directory> directory, Catalogue catalogue,
               std::unique_ptr<DirectoryLock> lock);
  // get_locks_by_order with the catalogue's change flag kept as well, so that no save of an older
  // catalogue can be in flight while its holder writes the file itself (Catalogue::save_held).
  std::pair<HeldCatalogue, CacheGuard> get_locks_by_order_held();
  // The cache locked after the catalogue access already held.
  template <class Held>
  std::pair<Held, CacheGuard> locks_in_order(Held catalogue) {
    return {std::move(catalogue), cache_.lock()};
  }
  // Waits for the table's users, makes its final save and takes it out of the cache. When the
  // save fails and `keep_unsaved` holds, the table stays cached (marked changed, its periodic save
  // kept); otherwise its periodic save is stopped and it goes.
  Result<void> release(CacheGuard& cache, TableCache::iterator entry, bool keep_unsaved);
  // f(table) under read access / write access of the table `key`; the access is released
  // before the handle.
  template <class F>
  auto with_read(const std::string& key, F&& f)
      -> Result<decltype(f(std::declval<const MetadataVecTable&>()))>;
  template <class F>
  auto with_write(const std::string& key, F&& f)
      -> Result<decltype(f(std::declval<MetadataVecTable&>()))>;

  std::unique_ptr<DirectoryLock> lock_;  // first, so that the directory lock is released last
  const std::uint64_t generation_ = fork_generation();
  std::string dir_;
  std::shared_ptr<const Directory> directory_;
  Catalogue catalogue_;
  Locked<TableCache> cache_{TableCache()};
  bool closed_ = false;
};

}  // namespace quillmere
