#include "database/fork_safety.hpp"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <utility>

namespace quillmere {

// The held directory locks of this process, so that a child can close its copies at the fork.
// The fork takes the registry's mutex first (prepare), so no lock is half opened or half closed
// in the child; the child, whose only thread is the one that forked, then holds the mutex it
// copied and lets it go when its copies are closed.
struct DirectoryLockRegistry {
  static std::mutex mutex;
  static DirectoryLock* first;  // guarded by mutex

  static void link(DirectoryLock& lock) {
    lock.next_ = first;
    if (first != nullptr) first->prev_ = &lock;
    first = &lock;
  }
  static void unlink(DirectoryLock& lock) {
    if (lock.prev_ != nullptr)
      lock.prev_->next_ = lock.next_;
    else
      first = lock.next_;
    if (lock.next_ != nullptr) lock.next_->prev_ = lock.prev_;
    lock.prev_ = lock.next_ = nullptr;
  }
  static void close_all_in_child() noexcept {
    for (DirectoryLock* lock = first; lock != nullptr;) {
      DirectoryLock* next = lock->next_;
      lock->file_.close_after_fork();
      lock->held_ = false;
      lock->prev_ = lock->next_ = nullptr;
      lock = next;
    }
    first = nullptr;
  }
};

std::mutex DirectoryLockRegistry::mutex;
DirectoryLock* DirectoryLockRegistry::first = nullptr;

namespace {

std::atomic<std::uint64_t> generation{0};

void before_fork() noexcept { DirectoryLockRegistry::mutex.lock(); }
void in_parent() noexcept { DirectoryLockRegistry::mutex.unlock(); }
void in_child() noexcept {
  generation.fetch_add(1, std::memory_order_relaxed);
  DirectoryLockRegistry::close_all_in_child();
  DirectoryLockRegistry::mutex.unlock();
}

// Registered while the program starts, before any lock can be taken (this file holds the only
// way to take one, so a program that takes locks links it).
const int registered = pthread_atfork(before_fork, in_parent, in_child);

}  // namespace

std::uint64_t fork_generation() noexcept {
  (void)registered;
  return generation.load(std::memory_order_relaxed);
}

DirectoryLock::DirectoryLock(File file) : file_(std::move(file)) {}

Result<std::unique_ptr<DirectoryLock>> DirectoryLock::take(const Directory& dir,
                                                           const std::string& name) {
  // Without its fork handlers a lock would outlive this process in its children.
  if (registered != 0)
    return make_error(ErrorKind::Io, "Failed to register the fork handlers of the directory lock");
  std::unique_ptr<DirectoryLock> lock;
  {
    std::lock_guard registry(DirectoryLockRegistry::mutex);
    Result<File> file = dir.open_lock_file(name);
    if (!file) return std::unexpected(file.error());
    lock.reset(new DirectoryLock(std::move(*file)));
    DirectoryLockRegistry::link(*lock);
  }
  // Released again by the destructor when the lock is not ours.
  if (!lock->file_.try_lock())
    return make_error(ErrorKind::Io, "Failed to acquire lock for VecDBManager");
  return lock;
}

DirectoryLock::~DirectoryLock() { (void)release(); }

SysResult<void> DirectoryLock::release() {
  std::lock_guard registry(DirectoryLockRegistry::mutex);
  if (!held_) return {};
  held_ = false;
  DirectoryLockRegistry::unlink(*this);
  return file_.close();
}

}  // namespace quillmere
