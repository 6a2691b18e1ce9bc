// The file-system layer of a database: a Directory is the database directory pinned by a
// descriptor when it is opened, and every later file operation is made relative to that
// descriptor, so a change of working directory, or another directory put at the same path,
// never redirects one. It reads regular files only, never through a symlink and never blocking
// on a FIFO or a device, and it replaces a file through a staged file in the same directory
// (written, synced, renamed over the target, directory synced), so that a crash or a power loss
// at any instant leaves the old or the new file whole. EINTR, short reads and short writes are
// handled here and nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "database/file_system.hpp"

namespace quillmere {

// An open file, closed when it goes out of scope.
class File {
 public:
  // Takes `fd` over; `size` is the file's size when it was opened.
  File(std::shared_ptr<FileSystem> fs, int fd, std::uint64_t size);
  File(File&& other) noexcept;
  File& operator=(File&&) = delete;
  File(const File&) = delete;
  ~File();

  std::uint64_t size() const { return size_; }
  // Up to `n` bytes; fewer only where the file ends (0 at its end).
  SysResult<std::size_t> read(void* into, std::size_t n);
  // All `n` bytes, however many calls that takes.
  SysResult<void> write_all(const void* from, std::size_t n);
  SysResult<void> sync();
  SysResult<void> try_lock();
  // Closes now; some file systems report a failed write only here.
  SysResult<void> close();
  // Closes the descriptor of a forked child, at the fork (FileSystem::close_after_fork).
  void close_after_fork() noexcept;

 private:
  friend class Directory;
  std::shared_ptr<FileSystem> fs_;
  int fd_;
  std::uint64_t size_;
};

class Directory {
 public:
  // Pins `path`, first creating it and its missing parents (mode 0777 less the umask) when its
  // status cannot be read. Errors carry the system's message; a NUL byte in the path is refused
  // before anything is touched ("embedded null byte").
  static Result<std::shared_ptr<const Directory>> open(std::shared_ptr<FileSystem> fs,
                                                       const std::string& path);
  ~Directory();
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  // The path as it was opened; for messages only, never to reach a file.
  const std::string& path() const { return path_; }

  // The status of `name` itself (a symlink is not followed).
  SysResult<FileStatus> status(const std::string& name) const;
  // Opens `name` for reading. Anything but a regular file (a symlink, FIFO, device or directory)
  // is refused with "Not a regular file: <name>" without blocking; other failures carry the
  // system's message.
  Result<File> open_regular(const std::string& name) const;
  // Opens the lock file `name` for writing, created when missing, and truncates it; a symlink or
  // anything else that is not a regular file is refused as by open_regular, and a file with
  // other names (a link count above 1) with "Not a lock file of this directory alone: ...";
  // what is refused is left untouched (neither truncated nor locked).
  Result<File> open_lock_file(const std::string& name) const;

  // Writes `name` anew: `write` fills a fresh staged file of this directory, which is then
  // synced, closed, renamed over `name`, and the directory synced. On a failure the staged file
  // is removed and `name` is the old file; a failure of the last sync leaves the new file in
  // place without the promise that it survives a power loss. The error is the writer's own or
  // the system's message.
  Result<void> replace(const std::string& name,
                       const std::function<Result<void>(File&)>& write) const;
  // Removes `name`; a name that is already gone is no error.
  Result<void> remove(const std::string& name) const;
  // Removes the staged files of saves that never finished (a process killed mid-save).
  // REQUIRES: the directory's lock is held, so no live process is writing one.
  void remove_staged_files() const;

  // The names of staged files: "." and any prefix, then "tmp" and 6 letters or digits; replace
  // writes the shortest of them (".tmp" and 6). The sweep takes the whole family, as no table
  // file, catalogue or lock file can have such a name.
  static bool is_staged_name(std::string_view name);

 private:
  Directory(std::shared_ptr<FileSystem> fs, int fd, std::string path);
  // Opens `name` with `flags` if it is a regular file (see open_regular); its status goes to
  // `found` when given.
  Result<File> open_checked(const std::string& name, int flags, FileStatus* found = nullptr) const;

  std::shared_ptr<FileSystem> fs_;
  int fd_;
  std::string path_;
};

}  // namespace quillmere
