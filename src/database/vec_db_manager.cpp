#include "database/vec_db_manager.hpp"

#include <cerrno>
#include <set>
#include <type_traits>

#include "common/os_error.hpp"
#include "common/utf8.hpp"
#include "database/report.hpp"

namespace quillmere {
namespace {

constexpr const char* kCatalogueFile = "brief.toml";
constexpr const char* kLockFile = "db.lock";

// Every file name ends with ".db" and names a file of the directory itself; no two entries
// share one. Entries are checked in name order, each completely before the next. A NUL would
// cut the name short at every system call, so that two entries, or an entry and the catalogue
// or the lock file, would name the same file.
Result<void> validate(VecDBBrief& brief) {
  std::set<std::string> names;
  for (const auto& [table, entry] : brief.tables) {
    const std::string& f = entry.filename;
    if (!f.ends_with(".db"))
      return make_error(ErrorKind::CorruptFile, "Filename should end with '.db': " + f);
    if (f.find('/') != std::string::npos || f.find('\\') != std::string::npos)
      return make_error(ErrorKind::CorruptFile,
                        "Should not contain path separators in filename: " + f);
    if (f.find('\0') != std::string::npos)
      return make_error(ErrorKind::CorruptFile,
                        "Should not contain null bytes in filename of table: " + table);
    names.insert(f);
  }
  if (names.size() != brief.tables.size())
    return make_error(ErrorKind::CorruptFile, "Duplicate filenames in the brief");
  brief.filenames = std::move(names);
  return {};
}

bool kept_in_file_name(char32_t c) {
  if (c < 0x80)
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
  if (c <= 0x9F) return false;  // non-ASCII control characters
  const bool white = c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
                     c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
  return !white;
}

}  // namespace

void CompletionSignal::send() {
  std::lock_guard lock(mutex_);
  sent_ = true;
  arrived_.notify_all();
}

void CompletionSignal::wait() {
  std::unique_lock lock(mutex_);
  arrived_.wait(lock, [&] { return sent_; });
}

VecTableManager::VecTableManager(std::shared_ptr<Saver> s, std::shared_ptr<CompletionSignal> done)
    : saver(std::move(s)), done_sender_(std::move(done)) {}

VecTableManager::~VecTableManager() { done_sender_->send(); }

CachedTable CachedTable::make(VecTableManager::Saver saver) {
  CachedTable entry{std::make_shared<VecTableManager::Saver>(std::move(saver)), nullptr, nullptr};
  entry.issue_handle();
  return entry;
}

void CachedTable::issue_handle() {
  done = std::make_shared<CompletionSignal>();
  table = std::make_shared<VecTableManager>(saver, done);
}

void CachedTable::wait_for_users() {
  table.reset();  // the last reference unless an operation is still in flight
  done->wait();
}

std::string VecDBManager::table_file_name(const std::string& key,
                                          const std::set<std::string>& used) {
  std::string stem;
  std::size_t count = 0;
  for (utf8::Chars chars(key); !chars.done() && count < 32; ++count) {
    const auto [c, bytes] = chars.next();
    // A byte that begins no character is not one to keep either.
    if (c && kept_in_file_name(*c))
      stem += bytes;
    else
      stem += '_';
  }
  std::string name = stem + ".db";
  for (std::uint64_t counter = 1; used.contains(name); ++counter)
    name = stem + "_" + std::to_string(counter) + ".db";
  return name;
}

Result<void> save_to(const Locked<VecDBBrief>& brief, File& out) {
  const auto guard = brief.lock();
  return guard->save(out);
}

Result<std::unique_ptr<VecDBManager>> VecDBManager::open(const std::string& dir,
                                                         std::shared_ptr<FileSystem> fs) {
  Result<std::shared_ptr<const Directory>> pinned = Directory::open(std::move(fs), dir);
  if (!pinned) return std::unexpected(pinned.error());
  const std::shared_ptr<const Directory>& directory = *pinned;
  // Released unless handed to the manager, so that every failed open gives the lock back.
  Result<std::unique_ptr<DirectoryLock>> lock = DirectoryLock::take(*directory, kLockFile);
  if (!lock) return std::unexpected(lock.error());
  // The lock proves that no live process is saving here.
  directory->remove_staged_files();

  VecDBBrief brief;
  bool changed = false;
  // Only a catalogue that is not there is a new, empty one. Any other failure to examine it says
  // nothing about the tables it lists: taking it for empty would let the saving thread write
  // the empty catalogue over them.
  if (SysResult<FileStatus> st = directory->status(kCatalogueFile); !st && st.error() != ENOENT) {
    return make_error(ErrorKind::Io, os_error(st.error()));
  } else if (!st) {
    changed = true;  // no catalogue yet: the empty one is written by the periodic save
  } else {
    Result<File> file = directory->open_regular(kCatalogueFile);
    if (!file) return std::unexpected(file.error());
    Result<VecDBBrief> loaded = VecDBBrief::load(*file);
    if (!loaded) return std::unexpected(loaded.error());
    brief = std::move(*loaded);
    if (Result<void> ok = validate(brief); !ok) return std::unexpected(ok.error());
  }
  auto saver = Catalogue::start(Locked<VecDBBrief>(std::move(brief)),
                                SaveTarget{directory, kCatalogueFile}, kCatalogueInterval, changed);
  if (!saver) return std::unexpected(saver.error());
  return std::unique_ptr<VecDBManager>(
      new VecDBManager(dir, directory, std::move(*saver), std::move(*lock)));
}

VecDBManager::VecDBManager(std::string dir, std::shared_ptr<const Directory> directory,
                           Catalogue catalogue, std::unique_ptr<DirectoryLock> lock)
    : lock_(std::move(lock)),
      dir_(std::move(dir)),
      directory_(std::move(directory)),
      catalogue_(std::move(catalogue)) {}

VecDBManager::~VecDBManager() {
  for (const Error& failure : close()) report_unheard("closing", failure.message);
}

std::vector<Error> VecDBManager::close() {
  if (closed_) return {};
  closed_ = true;
  // A forked child's copy: the parent's files are not touched, and none of the locks is taken,
  // since the fork may have copied one held by a thread that does not exist here.
  if (!owned_by_this_process()) return {};
  // A save that fails is tried once more after all the others, before the directory lock goes:
  // a passing fault (a moment without space) then loses nothing. What fails twice is reported.
  std::vector<std::pair<std::string, std::function<Result<void>()>>> failed;
  if (!catalogue_.sync_save(true))
    failed.emplace_back("the catalogue", [this] { return catalogue_.sync_save(true); });
  {
    CacheGuard cache = cache_.lock();
    while (!cache->empty()) {
      const std::string name = cache->begin()->first;
      CachedTable entry = std::move(cache->begin()->second);
      cache->erase(cache->begin());
      entry.wait_for_users();
      if (!entry.saver->sync_save(true))
        failed.emplace_back("table " + name,
                            [saver = entry.saver] { return saver->sync_save(true); });
    }
  }
  std::vector<Error> failures;
  for (const auto& [what, final_save] : failed) {
    if (Result<void> saved = final_save(); !saved)
      failures.push_back(Error{saved.error().kind,
                               "Closing could not save " + what + ": " + saved.error().message});
  }
  failed.clear();  // the tables' savers go, and their periodic saves stop with them
  catalogue_.stop();
  (void)lock_->release();  // ends the directory lock, after every save of the closing
  return failures;
}

Result<void> VecDBManager::release(CacheGuard& cache, TableCache::iterator entry,
                                   bool keep_unsaved) {
  CachedTable& cached = entry->second;
  cached.wait_for_users();
  Result<void> saved = cached.saver->sync_save(true);
  if (!saved && keep_unsaved) {
    cached.issue_handle();  // cached again, still marked changed, its periodic save kept
    return saved;
  }
  if (!saved) cached.saver->stop();
  cache->erase(entry);
  return saved;
}

Result<std::shared_ptr<VecTableManager>> VecDBManager::table(const std::string& key) {
  auto [catalogue, cache] = get_locks_by_order();
  const auto entry = catalogue->tables.find(key);
  if (entry == catalogue->tables.end())
    return make_error(ErrorKind::NotFound, "Table " + key + " not found");
  if (const auto cached = cache->find(key); cached != cache->end()) return cached->second.table;
  const std::string& filename = entry->second.filename;
  Result<File> file = directory_->open_regular(filename);
  if (!file) return std::unexpected(file.error());
  Result<MetadataVecTable> loaded = MetadataVecTable::load(*file);
  if (!loaded) return std::unexpected(loaded.error());
  Result<VecTableManager::Saver> saver =
      VecTableManager::Saver::start(RwLock<MetadataVecTable>(std::move(*loaded)),
                                    SaveTarget{directory_, filename}, kTableInterval, false);
  if (!saver) return std::unexpected(saver.error());
  return cache->emplace(key, CachedTable::make(std::move(*saver))).first->second.table;
}

Result<bool> VecDBManager::create_table_if_not_exists(const std::string& key, std::uint64_t dim,
                                                      DistanceAlgorithm dist) {
  // The catalogue is held with its change flag, as deletion holds it, so that it is written
  // here with no save of an older state in flight.
  auto [held, cache] = get_locks_by_order_held();
  VecDBBrief& catalogue = *held.guard;
  if (catalogue.tables.contains(key)) return false;  // whatever dimension was asked for
  Result<MetadataVecTable> made = MetadataVecTable::create(dim, dist);  // refuses dimension 0
  if (!made) return std::unexpected(made.error());
  const std::string filename = table_file_name(key, catalogue.filenames);
  Result<VecTableManager::Saver> saver =
      VecTableManager::Saver::start(RwLock<MetadataVecTable>(std::move(*made)),
                                    SaveTarget{directory_, filename}, kTableInterval, true);
  if (!saver) return std::unexpected(saver.error());
  CachedTable entry = CachedTable::make(std::move(*saver));
  // The table's file first, then the catalogue that lists it: a crash between the two leaves an
  // empty file that nothing lists (the next table given that file name replaces it), never a
  // listed table without its file. The name is in no entry, so removing it on a failure removes
  // no table's file. A failure leaves the catalogue as it was, and the table goes with its
  // periodic save.
  if (Result<void> saved = entry.saver->sync_save(false); !saved) {
    (void)directory_->remove(filename);  // a failed last sync of the directory leaves it there
    return std::unexpected(saved.error());
  }
  catalogue.filenames.insert(filename);
  catalogue.tables.emplace(key, VecTableBrief{filename});
  const auto write_catalogue = [&catalogue](File& out) { return catalogue.save(out); };
  if (Result<void> saved = catalogue_.save_held(held, write_catalogue); !saved) {
    catalogue.tables.erase(key);
    catalogue.filenames.erase(filename);
    // A failed last sync of the directory leaves the new catalogue in place: the old one is
    // written back before the file it would list goes. When even that fails, the file stays,
    // unlisted once the catalogue is saved again (the flag is still set), rather than listed
    // and missing.
    if (catalogue_.save_held(held, write_catalogue)) (void)directory_->remove(filename);
    return std::unexpected(saved.error());
  }
  (void)entry.saver->write();  // a new table counts as changed
  cache->emplace(key, std::move(entry));
  return true;
}

Result<bool> VecDBManager::delete_table(const std::string& key) {
  // The catalogue is held with its change flag, so that it can be written here with no save of
  // an older state in flight.
  auto [held, cache] = get_locks_by_order_held();
  VecDBBrief& catalogue = *held.guard;
  const auto entry = catalogue.tables.find(key);
  if (entry == catalogue.tables.end()) return false;
  const std::string filename = entry->second.filename;
  // All or nothing: the entry leaves the catalogue in memory only once the catalogue without it
  // is on disk, and that happens before the table file goes, so no saved catalogue names a
  // removed file. On a failure the table is still listed, cached and whole.
  VecDBBrief without = catalogue;
  without.tables.erase(key);
  without.filenames.erase(filename);
  if (Result<void> saved =
          catalogue_.save_held(held, [&without](File& out) { return without.save(out); });
      !saved)
    return std::unexpected(saved.error());
  catalogue = std::move(without);
  // The table's final save may fail: its rows are being removed anyway.
  if (const auto cached = cache->find(key); cached != cache->end())
    (void)release(cache, cached, false);
  if (Result<void> removed = directory_->remove(filename); !removed)
    return std::unexpected(removed.error());
  return true;
}

Result<void> VecDBManager::remove_cached_table(const std::string& key) {
  auto [catalogue, cache] = get_locks_by_order();
  if (const auto cached = cache->find(key); cached != cache->end())
    return release(cache, cached, true);
  return {};
}

template <class F>
auto VecDBManager::with_read(const std::string& key, F&& f)
    -> Result<decltype(f(std::declval<const MetadataVecTable&>()))> {
  Result<std::shared_ptr<VecTableManager>> handle = table(key);
  if (!handle) return std::unexpected(handle.error());
  const auto access = (*handle)->saver->read();
  if constexpr (std::is_void_v<decltype(f(*access))>) {
    f(*access);
    return {};
  } else {
    return f(*access);
  }
}

template <class F>
auto VecDBManager::with_write(const std::string& key, F&& f)
    -> Result<decltype(f(std::declval<MetadataVecTable&>()))> {
  Result<std::shared_ptr<VecTableManager>> handle = table(key);
  if (!handle) return std::unexpected(handle.error());
  auto access = (*handle)->saver->write();
  if constexpr (std::is_void_v<decltype(f(*access))>) {
    f(*access);
    return {};
  } else {
    return f(*access);
  }
}

Result<std::uint64_t> VecDBManager::get_len(const std::string& key) {
  return with_read(key, [](const MetadataVecTable& t) { return t.len(); });
}

Result<std::uint64_t> VecDBManager::get_dim(const std::string& key) {
  return with_read(key, [](const MetadataVecTable& t) { return t.dim(); });
}

Result<DistanceAlgorithm> VecDBManager::get_dist(const std::string& key) {
  return with_read(key, [](const MetadataVecTable& t) { return t.dist(); });
}

Result<bool> VecDBManager::has_hnsw_index(const std::string& key) {
  return with_read(key, [](const MetadataVecTable& t) { return t.has_hnsw_index(); });
}

Result<bool> VecDBManager::has_pq_table(const std::string& key) {
  return with_read(key, [](const MetadataVecTable& t) { return t.has_pq_table(); });
}

Result<void> VecDBManager::add(const std::string& key, std::vector<float> vec, Metadata metadata) {
  Result<std::shared_ptr<VecTableManager>> handle = table(key);
  if (!handle) return std::unexpected(handle.error());
  VecTableManager::Saver& saver = *(*handle)->saver;
  if (vec.size() != saver.read()->dim())
    return make_error(ErrorKind::InvalidArgument, "Dimension mismatch for vec");
  saver.write()->add(vec, std::move(metadata));
  return {};
}

Result<void> VecDBManager::batch_add(const std::string& key,
                                     std::vector<std::vector<float>> vec_list,
                                     std::vector<Metadata> metadata_list) {
  if (vec_list.size() != metadata_list.size())
    return make_error(ErrorKind::InvalidArgument, "Length mismatch for vec_list and metadata_list");
  Result<std::shared_ptr<VecTableManager>> handle = table(key);
  if (!handle) return std::unexpected(handle.error());
  VecTableManager::Saver& saver = *(*handle)->saver;
  for (const std::vector<float>& v : vec_list)
    if (v.size() != saver.read()->dim())
      return make_error(ErrorKind::InvalidArgument, "Dimension mismatch for vec_list");
  std::vector<std::span<const float>> views(vec_list.begin(), vec_list.end());
  saver.write()->batch_add(views, std::move(metadata_list));
  return {};
}

Result<void> VecDBManager::build_hnsw_index(const std::string& key,
                                            std::optional<std::uint64_t> ef_construction) {
  return with_write(key, [&](MetadataVecTable& t) { t.build_hnsw_index(ef_construction); });
}

Result<void> VecDBManager::clear_hnsw_index(const std::string& key) {
  return with_write(key, [](MetadataVecTable& t) { t.clear_hnsw_index(); });
}

Result<void> VecDBManager::build_pq_table(const std::string& key,
                                          std::optional<float> train_proportion,
                                          std::optional<std::uint64_t> n_bits,
                                          std::optional<std::uint64_t> m) {
  Result<Result<void>> built = with_write(
      key, [&](MetadataVecTable& t) { return t.build_pq_table(train_proportion, n_bits, m); });
  if (!built) return std::unexpected(built.error());
  return *built;
}

Result<void> VecDBManager::clear_pq_table(const std::string& key) {
  return with_write(key, [](MetadataVecTable& t) { t.clear_pq_table(); });
}

Result<std::uint64_t> VecDBManager::delete_rows(const std::string& key, const Metadata& pattern) {
  return with_write(key, [&](MetadataVecTable& t) { return t.delete_rows(pattern); });
}

Result<std::vector<std::pair<Metadata, float>>> VecDBManager::search(
    const std::string& key, std::span<const float> query, std::uint64_t k,
    std::optional<std::uint64_t> ef, std::optional<float> upper_bound) {
  return with_read(key,
                   [&](const MetadataVecTable& t) { return t.search(query, k, ef, upper_bound); });
}

Result<std::vector<std::pair<std::vector<float>, Metadata>>> VecDBManager::extract_data(
    const std::string& key) {
  return with_read(key, [](const MetadataVecTable& t) { return t.extract_data(); });
}

void VecDBManager::force_save() {
  if (Result<void> saved = catalogue_.sync_save(false); !saved) fail(saved.error().message);
  CacheGuard cache = cache_.lock();
  for (auto& [name, cached] : *cache)
    if (Result<void> saved = cached.saver->sync_save(false); !saved) fail(saved.error().message);
}

std::pair<VecDBManager::CatalogueGuard, VecDBManager::CacheGuard>
VecDBManager::get_locks_by_order() {
  return locks_in_order(catalogue_.lock());
}

std::pair<VecDBManager::HeldCatalogue, VecDBManager::CacheGuard>
VecDBManager::get_locks_by_order_held() {
  return locks_in_order(catalogue_.lock_held());
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
  keys.reserve(cache->size());
  for (const auto& [name, table] : *cache) keys.push_back(name);
  return keys;
}

bool VecDBManager::contains_cached(const std::string& key) {
  auto [catalogue, cache] = get_locks_by_order();
  return cache->contains(key);
}

}  // namespace quillmere
