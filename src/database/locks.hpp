// The two locks that guard persisted objects: RwLock<T> for a table (many readers, searches run
// side by side) and Locked<T> for the catalogue (one holder at a time). Each holds its value, so
// the value is reachable only through a guard, and a guard releases its lock when it goes away,
// also while an internal failure unwinds.
#pragma once

#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "common/failure.hpp"
#include "common/os_error.hpp"

namespace quillmere {

// A reader-writer lock holding a T. glibc's default rwlock (and so std::shared_mutex) lets a
// stream of searches starve a writer forever; the writer-preferring kind makes new readers queue
// behind a waiting writer. The price of that kind: a thread that already holds shared access must
// not ask for it again, since a writer queued in between would deadlock both.
template <class T>
class RwLock {
 public:
  class ReadGuard {
   public:
    explicit ReadGuard(const RwLock& owner) : owner_(&owner) { owner_->lock_shared(); }
    ReadGuard(ReadGuard&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)) {}
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;
    ReadGuard& operator=(ReadGuard&&) = delete;
    ~ReadGuard() {
      if (owner_ != nullptr) owner_->unlock();
    }
    const T& operator*() const { return owner_->value_; }
    const T* operator->() const { return &owner_->value_; }

   private:
    const RwLock* owner_;
  };

  class WriteGuard {
   public:
    explicit WriteGuard(RwLock& owner) : owner_(&owner) { owner_->lock_exclusive(); }
    WriteGuard(WriteGuard&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)) {}
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;
    WriteGuard& operator=(WriteGuard&&) = delete;
    ~WriteGuard() {
      if (owner_ != nullptr) owner_->unlock();
    }
    T& operator*() const { return owner_->value_; }
    T* operator->() const { return &owner_->value_; }

   private:
    RwLock* owner_;
  };

  explicit RwLock(T value) : value_(std::move(value)) { init(); }
  // A pthread lock cannot be moved, so a moved lock is a fresh one around the moved value; the
  // source is held exclusively meanwhile so no guard of it sees a half-moved value.
  RwLock(RwLock&& other) : value_(take_from(other)) { init(); }
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;
  RwLock& operator=(RwLock&&) = delete;
  ~RwLock() { pthread_rwlock_destroy(&lock_); }

  ReadGuard read() const { return ReadGuard(*this); }
  WriteGuard write() { return WriteGuard(*this); }

 private:
  static T take_from(RwLock& other) {
    WriteGuard guard = other.write();
    return std::move(*guard);
  }

  void init() {
    pthread_rwlockattr_t attr;
    if (int rc = pthread_rwlockattr_init(&attr); rc != 0)
      fail("rwlock attribute init failed: " + os_error(rc));
    int rc = pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    if (rc == 0) rc = pthread_rwlock_init(&lock_, &attr);
    pthread_rwlockattr_destroy(&attr);
    if (rc != 0) fail("rwlock init failed: " + os_error(rc));
  }
  void lock_shared() const {
    if (int rc = pthread_rwlock_rdlock(&lock_); rc != 0)
      fail("rwlock read lock failed: " + os_error(rc));
  }
  void lock_exclusive() {
    if (int rc = pthread_rwlock_wrlock(&lock_); rc != 0)
      fail("rwlock write lock failed: " + os_error(rc));
  }
  void unlock() const { pthread_rwlock_unlock(&lock_); }

  // Shared access is granted through a const lock, so the pthread object itself is mutable.
  mutable pthread_rwlock_t lock_;
  T value_;
};

// A mutex holding a T. The const lock() serves saving, which only reads the value but must
// still exclude every other holder.
template <class T>
class Locked {
 public:
  template <class V>
  class BasicGuard {
   public:
    BasicGuard(V& value, std::mutex& mutex) : value_(&value), lock_(mutex) {}
    BasicGuard(BasicGuard&&) noexcept = default;
    BasicGuard(const BasicGuard&) = delete;
    BasicGuard& operator=(const BasicGuard&) = delete;
    BasicGuard& operator=(BasicGuard&&) = delete;
    V& operator*() const { return *value_; }
    V* operator->() const { return value_; }

   private:
    V* value_;
    std::unique_lock<std::mutex> lock_;
  };
  using Guard = BasicGuard<T>;
  using ConstGuard = BasicGuard<const T>;

  explicit Locked(T value) : value_(std::move(value)) {}
  Locked(Locked&& other) : value_(take_from(other)) {}
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
  Locked& operator=(Locked&&) = delete;

  Guard lock() { return Guard(value_, mutex_); }
  ConstGuard lock() const { return ConstGuard(value_, mutex_); }

 private:
  static T take_from(Locked& other) {
    Guard guard = other.lock();
    return std::move(*guard);
  }

  mutable std::mutex mutex_;
  T value_;
};

}  // namespace quillmere
