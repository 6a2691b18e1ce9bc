// FileSystem: the system calls through which every file of a database is touched, one virtual
// function per call, so that tests can put a double behind them (fail a chosen call, lose what
// was never synced). Each function makes one attempt: EINTR, short reads and short writes reach
// the caller, which is the layer in directory.hpp and nothing else. Failures are error numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

namespace quillmere {

template <class T>
using SysResult = std::expected<T, int>;  // the errno of a failed call

inline std::unexpected<int> sys_error(int err) { return std::unexpected<int>(err); }

struct FileStatus {
  enum class Kind { Regular, Directory, Symlink, Other };
  Kind kind;
  std::uint64_t size;
  std::uint64_t links = 1;  // names of the file (hard links)
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // By path, before a directory is pinned: stat (symlinks followed), mkdir of one directory
  // (mode 0777 less the umask), and open of a directory for reading.
  virtual SysResult<FileStatus> stat_path(const std::string& path) = 0;
  virtual SysResult<void> make_dir(const std::string& path) = 0;
  virtual SysResult<int> open_dir(const std::string& path) = 0;

  // Relative to a pinned directory. `flags` are open(2)'s; a new file gets `mode` less the umask.
  // stat_at does not follow a symlink; list names every entry but "." and "..".
  virtual SysResult<int> open_at(int dir, const std::string& name, int flags, unsigned mode) = 0;
  virtual SysResult<FileStatus> stat_at(int dir, const std::string& name) = 0;
  virtual SysResult<void> rename_at(int dir, const std::string& from, const std::string& to) = 0;
  virtual SysResult<void> unlink_at(int dir, const std::string& name) = 0;
  virtual SysResult<std::vector<std::string>> list(int dir) = 0;

  // On an open descriptor (a file, or a pinned directory for fsync and close).
  virtual SysResult<FileStatus> fstat(int fd) = 0;
  virtual SysResult<void> set_blocking(int fd) = 0;  // clears O_NONBLOCK
  virtual SysResult<std::size_t> read(int fd, void* into, std::size_t n) = 0;
  virtual SysResult<std::size_t> write(int fd, const void* from, std::size_t n) = 0;
  virtual SysResult<void> truncate(int fd) = 0;  // to length 0
  virtual SysResult<void> fsync(int fd) = 0;
  virtual SysResult<void> try_lock(int fd) = 0;  // flock, exclusive, without waiting
  virtual SysResult<void> close(int fd) = 0;
  // Closes a descriptor in a forked child, at the fork, with no lock of the layer taken (it may
  // have been copied held). A double's descriptors are not the kernel's: it closes nothing.
  virtual void close_after_fork(int fd) noexcept { (void)fd; }

  // The kernel's file system, shared by every database of the process.
  static const std::shared_ptr<FileSystem>& system();
};

}  // namespace quillmere
