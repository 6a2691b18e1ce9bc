// Saving threads: every persisted object (the catalogue, each cached table) is owned through a
// ThreadSavingManager, which keeps the object behind its lock with the target path and a change
// flag, and has a job of the process's SaveScheduler save the object at a fixed interval when it
// changed (the scheduler's few threads serve every object). Owners also save synchronously
// (sync_save), and every save goes through
// ThreadSave::atomic_save_to, which replaces the target file of the pinned database directory so
// that a crash or a power loss leaves either the old or the new complete file.
//
// An object type T (the lock with the record inside) is made savable by one free function found
// by argument-dependent lookup, next to the type or in this header:
//
//   Result<void> save_to(const T& object, File& out);
//
// It takes the object's lock (shared access for a table, the mutex for the catalogue), writes the
// record with its own writer and releases the lock. Dispatch is static; nothing is chosen at run
// time.
#pragma once

#include <atomic>
#include <chrono>
#include <concepts>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "common/error.hpp"
#include "common/failure.hpp"
#include "database/directory.hpp"
#include "database/locks.hpp"
#include "database/metadata_vec_table.hpp"
#include "database/report.hpp"
#include "database/save_scheduler.hpp"

namespace quillmere {

// A table: shared access, so searches go on while it is written.
Result<void> save_to(const RwLock<MetadataVecTable>& table, File& out);

// The two kinds of saved objects: a table behind its reader-writer lock, the catalogue behind
// its mutex.
template <class T>
concept ReaderWriterLocked = requires(const T& t, T& u) {
  t.read();
  u.write();
};
template <class T>
concept MutexLocked = requires(T& t) {
  t.lock();
};

template <class T>
concept ThreadSavable = requires(const T& object, File& out) {
  { save_to(object, out) } -> std::same_as<Result<void>>;
};

// The file of one persisted object: its name inside the pinned database directory.
struct SaveTarget {
  std::shared_ptr<const Directory> dir;
  std::string name;
};

struct ThreadSave {
  // Writes the object into a staged file of the directory and replaces the target with it
  // (Directory::replace). A failure is the error "atomic save failed: " followed by the
  // underlying description; the target is then the old file (or, when only the directory's last
  // sync failed, the new one, not yet durable), and no staged file is left.
  template <ThreadSavable T>
  static Result<void> atomic_save_to(const T& object, const SaveTarget& target) {
    return atomic_save_with(target, [&object](File& out) { return save_to(object, out); });
  }

  // The type-independent body of atomic_save_to; `write` writes the object to the given file.
  static Result<void> atomic_save_with(const SaveTarget& target,
                                       const std::function<Result<void>(File&)>& write);
};

namespace thread_save_detail {

struct ChangeFlag {
  explicit ChangeFlag(bool initially) : changed(initially) {}
  std::mutex mutex;
  bool changed;
  // Set once, when the owner lets the object go; a periodic save looks at it under the mutex.
  std::atomic<bool> stopped{false};
};

// The longest wait that steady_clock can still add to its current time.
std::chrono::nanoseconds clamp_interval(std::chrono::nanoseconds interval) noexcept;

}  // namespace thread_save_detail

template <ThreadSavable T>
class ThreadSavingManager {
 public:
  // Takes ownership of `data`, sets the change flag to `dirty` and adds the object's periodic
  // save to `scheduler` (its first look `interval` from now). When the scheduler cannot start
  // the thread it needs, the error "failed to spawn thread: " with the system's description,
  // and `data` is released.
  static Result<ThreadSavingManager> start(T data, SaveTarget target,
                                           std::chrono::nanoseconds interval, bool dirty,
                                           SaveScheduler& scheduler = SaveScheduler::process()) {
    auto object = std::make_shared<T>(std::move(data));
    auto flag = std::make_shared<thread_save_detail::ChangeFlag>(dirty);
    Result<std::shared_ptr<SaveScheduler::Job>> job =
        scheduler.add([object, flag, target] { periodic_save(*object, *flag, target); },
                      thread_save_detail::clamp_interval(interval));
    if (!job) return std::unexpected(job.error());
    return ThreadSavingManager(std::move(object), std::move(target), std::move(flag),
                               std::move(*job));
  }

  // Moving keeps the one job; the moved-from manager is empty and its destructor does nothing.
  ThreadSavingManager(ThreadSavingManager&&) noexcept = default;
  ThreadSavingManager(const ThreadSavingManager&) = delete;
  ThreadSavingManager& operator=(const ThreadSavingManager&) = delete;
  ThreadSavingManager& operator=(ThreadSavingManager&&) = delete;

  // Stops the periodic save; it never saves. The owner makes the final save (sync_save with
  // `stop`) and decides what its failure means, so that exactly one final save runs per release
  // and no save of this object can land after its owner let it go.
  ~ThreadSavingManager() {
    if (!dirty_) return;  // moved from (all fields go together)
    stop();
    // Released in field order; a periodic save in progress holds its own references.
    data_.reset();
    target_ = {};
    dirty_.reset();
    job_.reset();
  }

  // Shared access to a table; the change flag is not touched.
  auto read() const requires ReaderWriterLocked<T> { return data_->read(); }

  // Exclusive access to a table, marked changed before the caller sees it (whether or not the
  // caller then changes anything). The change-flag mutex comes first, as in every save, so a
  // writer waits for a running save and marks the flag again after it.
  auto write() requires ReaderWriterLocked<T> {
    std::lock_guard flag(dirty_->mutex);
    auto guard = data_->write();
    dirty_->changed = true;
    return guard;
  }

  // The catalogue's mutex, marked changed like write().
  auto lock() requires MutexLocked<T> {
    std::lock_guard flag(dirty_->mutex);
    auto guard = data_->lock();
    dirty_->changed = true;
    return guard;
  }

  // The catalogue's mutex with the change flag's mutex kept as well, marked changed: while the
  // result lives no save of the object can run or be half done, so its holder may write the
  // object's file itself with save_held, and no save of an older state can land after it.
  template <class Guard>
  struct Held {
    std::unique_lock<std::mutex> flag;
    Guard guard;
  };
  auto lock_held() requires MutexLocked<T> {
    std::unique_lock flag(dirty_->mutex);
    auto guard = data_->lock();
    dirty_->changed = true;
    return Held<decltype(guard)>{std::move(flag), std::move(guard)};
  }
  // Writes the object's file now from a held access (`write` writes the value the holder means
  // to keep, which need not be the held one), then counts the object as saved. On a failure the
  // flag stays set.
  template <class Guard>
  Result<void> save_held(Held<Guard>& held, const std::function<Result<void>(File&)>& write) {
    (void)held;  // proof that the change flag's mutex is held
    if (Result<void> saved = ThreadSave::atomic_save_with(target_, write); !saved) return saved;
    dirty_->changed = false;
    return {};
  }

  // Saves now if the object is marked changed; with `stop` it then stops the periodic save. A
  // failed save is returned, leaves the object marked changed and does not set the stop flag, so
  // that the periodic save goes on trying unless the caller stops it.
  Result<void> sync_save(bool stop) {
    std::lock_guard flag(dirty_->mutex);
    if (dirty_->changed) {
      if (Result<void> saved = ThreadSave::atomic_save_to(*data_, target_); !saved) return saved;
      dirty_->changed = false;
    }
    if (stop) this->stop();
    return {};
  }

  // Stops the periodic save without a save: for a release that goes on after its final save
  // failed (the object is being removed, or the database closed). A periodic save that already
  // holds the change flag may still end its save; none begins afterwards.
  void stop() noexcept {
    dirty_->stopped = true;
    SaveScheduler::remove(*job_);
  }

 private:
  ThreadSavingManager(std::shared_ptr<T> data, SaveTarget target,
                      std::shared_ptr<thread_save_detail::ChangeFlag> dirty,
                      std::shared_ptr<SaveScheduler::Job> job)
      : data_(std::move(data)),
        target_(std::move(target)),
        dirty_(std::move(dirty)),
        job_(std::move(job)) {}

  // One periodic look at the object, on a thread of the scheduler: a save if it changed.
  static void periodic_save(const T& data, thread_save_detail::ChangeFlag& dirty,
                            const SaveTarget& target) {
    std::lock_guard flag(dirty.mutex);
    // A stop that came while this save was due (the owner's final save failed and it let the
    // object go) must not be followed by a save.
    if (!dirty.changed || dirty.stopped) return;
    // A failed periodic save keeps the job and the change flag, so the object is tried again at
    // the next interval instead of never being saved again. What it throws the scheduler reports.
    if (Result<void> saved = ThreadSave::atomic_save_to(data, target); saved)
      dirty.changed = false;
    else
      report_unheard("periodic save (retried at the next interval)", saved.error().message);
  }

  std::shared_ptr<T> data_;
  SaveTarget target_;
  std::shared_ptr<thread_save_detail::ChangeFlag> dirty_;
  std::shared_ptr<SaveScheduler::Job> job_;
};

}  // namespace quillmere
