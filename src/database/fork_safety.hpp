// What a forked child inherits of the databases of its parent, and how it lets go of it: a
// database belongs to the process that opened it. A child learns that an object came from its
// parent by the fork generation (counted up in every child at the fork), and the child's copies
// of the directory locks are closed at the fork itself.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/error.hpp"
#include "database/directory.hpp"

namespace quillmere {

// How many forks lie between the process that started the program and this one; what was
// opened under another value belongs to an ancestor.
std::uint64_t fork_generation() noexcept;

// The exclusive lock of a database directory, held through the descriptor of its lock file.
// An flock belongs to the open file that the parent and a forked child share, so the child's
// copy would keep the directory locked as long as the child lives, and unlocking it would free
// the parent's lock: every child closes its copy at the fork (without unlocking), and the parent
// alone holds the directory.
class DirectoryLock {
 public:
  // Opens the lock file `name` of `dir` (Directory::open_lock_file) and takes its lock without
  // waiting: "Failed to acquire lock for VecDBManager" when anyone holds it. No fork can copy
  // the descriptor before it is known to be closed in the child.
  static Result<std::unique_ptr<DirectoryLock>> take(const Directory& dir, const std::string& name);
  // Releases the lock (see release).
  ~DirectoryLock();
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

  // Closes the descriptor, which ends the lock; afterwards, and in a forked child, nothing.
  SysResult<void> release();

 private:
  explicit DirectoryLock(File file);
  friend struct DirectoryLockRegistry;

  File file_;
  DirectoryLock* prev_ = nullptr;  // the registry's list of held locks
  DirectoryLock* next_ = nullptr;
  bool held_ = true;
};

}  // namespace quillmere
