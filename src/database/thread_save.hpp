// Saving threads: every persisted object (the catalogue, each cached table) is owned through a
// ThreadSavingManager, which keeps the object behind its lock with the target path and a change
// flag, and runs one detached thread that saves the object at a fixed interval when it changed.
// Owners also save synchronously (sync_save), and every save goes through
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

#include <cxxabi.h>

#include <chrono>
#include <concepts>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "common/error.hpp"
#include "common/failure.hpp"
#include "database/directory.hpp"
#include "database/locks.hpp"
#include "database/metadata_vec_table.hpp"

namespace quillmere {

// A table: shared access, so searches go on while it is written.
Result<void> save_to(const RwLock<MetadataVecTable>& table, File& out);

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
};

struct StopSignal {
  std::mutex mutex;
  bool stopped = false;
  std::condition_variable wake;
};

// Prints what stopped a save that nobody else will hear of (the saving thread, a destructor).
void report(const char* where, const std::string& what) noexcept;

// The longest wait that steady_clock can still add to its current time.
std::chrono::nanoseconds clamp_interval(std::chrono::nanoseconds interval) noexcept;

}  // namespace thread_save_detail

template <ThreadSavable T>
class ThreadSavingManager {
 public:
  // Takes ownership of `data`, starts the saving thread (running when this returns) and sets the
  // change flag to `dirty`. A thread that cannot be started is the internal failure
  // "failed to spawn thread: " with the system's description.
  ThreadSavingManager(T data, SaveTarget target, std::chrono::nanoseconds interval, bool dirty)
      : data_(std::make_shared<T>(std::move(data))),
        target_(std::move(target)),
        dirty_(std::make_shared<thread_save_detail::ChangeFlag>(dirty)),
        stop_(std::make_shared<thread_save_detail::StopSignal>()) {
    try {
      std::thread(saving_loop, data_, dirty_, stop_, target_,
                  thread_save_detail::clamp_interval(interval))
          .detach();
    } catch (const std::system_error& e) {
      fail("failed to spawn thread: " + e.code().message() + " (os error " +
           std::to_string(e.code().value()) + ")");
    }
  }

  // Moving keeps the one thread; the moved-from manager is empty and its destructor does nothing.
  ThreadSavingManager(ThreadSavingManager&&) noexcept = default;
  ThreadSavingManager(const ThreadSavingManager&) = delete;
  ThreadSavingManager& operator=(const ThreadSavingManager&) = delete;
  ThreadSavingManager& operator=(ThreadSavingManager&&) = delete;

  // Stops the thread; it never saves. The owner makes the final save (sync_save with `stop`)
  // and decides what its failure means, so that exactly one final save runs per release and no
  // save of this object can land after its owner let it go.
  ~ThreadSavingManager() {
    if (!data_) return;
    stop();
    // Released in field order; the thread may still hold its own references.
    data_.reset();
    target_ = {};
    dirty_.reset();
    stop_.reset();
  }

  // Shared access to a table; the change flag is not touched.
  auto read() const
    requires requires(const T& t) { t.read(); }
  {
    return data_->read();
  }

  // Exclusive access to a table, marked changed before the caller sees it (whether or not the
  // caller then changes anything). The change-flag mutex comes first, as in every save, so a
  // writer waits for a running save and marks the flag again after it.
  auto write()
    requires requires(T& t) { t.write(); }
  {
    std::lock_guard flag(dirty_->mutex);
    auto guard = data_->write();
    dirty_->changed = true;
    return guard;
  }

  // The catalogue's mutex, marked changed like write().
  auto lock()
    requires requires(T& t) { t.lock(); }
  {
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
  auto lock_held()
    requires requires(T& t) { t.lock(); }
  {
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

  // Saves now if the object is marked changed; with `stop` it then stops the saving thread. A
  // failed save is returned, leaves the object marked changed and does not set the stop flag, so
  // that the thread goes on trying unless the caller stops it.
  Result<void> sync_save(bool stop) {
    std::lock_guard flag(dirty_->mutex);
    if (dirty_->changed) {
      if (Result<void> saved = ThreadSave::atomic_save_to(*data_, target_); !saved) return saved;
      dirty_->changed = false;
    }
    if (stop) this->stop();
    return {};
  }

  // Stops the saving thread without a save: for a release that goes on after its final save
  // failed (the object is being removed, or the database closed).
  void stop() noexcept {
    std::lock_guard s(stop_->mutex);
    stop_->stopped = true;
    stop_->wake.notify_one();
  }

 private:
  // The thread holds its own references, so it never touches released state, and whichever of
  // manager and thread lets go last frees the object.
  static void saving_loop(std::shared_ptr<T> data,
                          std::shared_ptr<thread_save_detail::ChangeFlag> dirty,
                          std::shared_ptr<thread_save_detail::StopSignal> stop, SaveTarget target,
                          std::chrono::nanoseconds interval) {
    prepare_thread_for_throwing();
    try {
      for (;;) {
        {
          std::unique_lock s(stop->mutex);
          // The deadline is fixed before the first look at the flag, so spurious wake-ups wait
          // only for the rest of the interval; steady_clock cannot be set back or forward.
          const auto deadline = std::chrono::steady_clock::now() + interval;
          if (stop->wake.wait_until(s, deadline, [&] { return stop->stopped; })) return;
        }
        std::lock_guard flag(dirty->mutex);
        if (!dirty->changed) continue;
        // A stop that came while this thread was about to save (the owner's final save failed
        // and it let the object go) must not be followed by a save.
        {
          std::lock_guard s(stop->mutex);
          if (stop->stopped) return;
        }
        // A failed periodic save keeps the thread and the change flag, so the object is tried
        // again at the next interval instead of never being saved again.
        try {
          if (Result<void> saved = ThreadSave::atomic_save_to(*data, target); saved)
            dirty->changed = false;
          else
            thread_save_detail::report("periodic save (retried at the next interval)", saved.error().message);
        } catch (const InternalFailure& f) {
          thread_save_detail::report("periodic save (retried at the next interval)", f.message);
        } catch (const std::exception& e) {
          thread_save_detail::report("periodic save (retried at the next interval)", e.what());
        }
      }
    } catch (const InternalFailure& f) {
      thread_save_detail::report("saving thread", f.message);
    } catch (const std::exception& e) {
      thread_save_detail::report("saving thread", e.what());
    } catch (abi::__forced_unwind&) {
      throw;  // a thread being ended (pthread_exit, cancellation) must unwind
    } catch (...) {
      thread_save_detail::report("saving thread", "unknown exception");
    }
  }

  std::shared_ptr<T> data_;
  SaveTarget target_;
  std::shared_ptr<thread_save_detail::ChangeFlag> dirty_;
  std::shared_ptr<thread_save_detail::StopSignal> stop_;
};

}  // namespace quillmere
