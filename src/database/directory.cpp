#include "database/directory.hpp"

#include <fcntl.h>

#include <cerrno>
#include <random>
#include <utility>

#include "common/os_error.hpp"

namespace quillmere {
namespace {

constexpr std::string_view kNameChars =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::string_view kStagedMark = ".tmp";
constexpr std::size_t kStagedSuffix = 6;

std::unexpected<Error> os_failure(int err) { return make_error(ErrorKind::Io, os_error(err)); }

// ".tmp" and six characters drawn uniformly: a name of fixed length, whatever the target's.
std::string staged_name() {
  thread_local std::mt19937_64 gen{std::random_device{}()};
  std::uniform_int_distribution<std::size_t> pick(0, kNameChars.size() - 1);
  std::string name(kStagedMark);
  for (std::size_t i = 0; i < kStagedSuffix; ++i) name += kNameChars[pick(gen)];
  return name;
}

// `path` and its missing parents, each made by one mkdir, so failures carry the system's own
// error (the empty path included).
SysResult<void> make_dirs(FileSystem& fs, const std::string& path) {
  if (fs.stat_path(path)) return {};
  std::size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;  // "a/b/" has the parent "a"
  const std::size_t slash = path.rfind('/', end - (end > 0 ? 1 : 0));
  if (slash != std::string::npos && slash > 0) {
    if (auto made = make_dirs(fs, path.substr(0, slash)); !made) return made;
  }
  if (auto made = fs.make_dir(path); !made && made.error() != EEXIST) return made;
  return {};
}

}  // namespace

// --- File ---

File::File(std::shared_ptr<FileSystem> fs, int fd, std::uint64_t size)
    : fs_(std::move(fs)), fd_(fd), size_(size) {}

File::File(File&& other) noexcept
    : fs_(std::move(other.fs_)), fd_(std::exchange(other.fd_, -1)), size_(other.size_) {}

File::~File() {
  if (fd_ >= 0) (void)fs_->close(fd_);
}

SysResult<std::size_t> File::read(void* into, std::size_t n) {
  char* p = static_cast<char*>(into);
  std::size_t got = 0;
  while (got < n) {
    SysResult<std::size_t> r = fs_->read(fd_, p + got, n - got);
    if (!r) {
      if (r.error() == EINTR) continue;
      return sys_error(r.error());
    }
    if (*r == 0) break;
    got += *r;
  }
  return got;
}

SysResult<void> File::write_all(const void* from, std::size_t n) {
  const char* p = static_cast<const char*>(from);
  while (n > 0) {
    SysResult<std::size_t> w = fs_->write(fd_, p, n);
    if (!w) {
      if (w.error() == EINTR) continue;
      return sys_error(w.error());
    }
    p += *w;
    n -= *w;
  }
  return {};
}

SysResult<void> File::sync() { return fs_->fsync(fd_); }

SysResult<void> File::try_lock() { return fs_->try_lock(fd_); }

SysResult<void> File::close() { return fs_->close(std::exchange(fd_, -1)); }

void File::close_after_fork() noexcept {
  if (fd_ >= 0) fs_->close_after_fork(std::exchange(fd_, -1));
}

// --- Directory ---

Directory::Directory(std::shared_ptr<FileSystem> fs, int fd, std::string path)
    : fs_(std::move(fs)), fd_(fd), path_(std::move(path)) {}

Directory::~Directory() { (void)fs_->close(fd_); }

Result<std::shared_ptr<const Directory>> Directory::open(std::shared_ptr<FileSystem> fs,
                                                         const std::string& path) {
  // The system calls would stop at the NUL and so reach another path than the one given.
  if (path.find('\0') != std::string::npos)
    return make_error(ErrorKind::InvalidArgument, "embedded null byte");
  if (auto made = make_dirs(*fs, path); !made) return os_failure(made.error());
  SysResult<int> fd = fs->open_dir(path);
  if (!fd) return os_failure(fd.error());
  return std::shared_ptr<const Directory>(new Directory(std::move(fs), *fd, path));
}

SysResult<FileStatus> Directory::status(const std::string& name) const {
  return fs_->stat_at(fd_, name);
}

namespace {

std::unexpected<Error> not_regular(const std::string& name) {
  return make_error(ErrorKind::Io, "Not a regular file: " + name);
}

}  // namespace

Result<File> Directory::open_checked(const std::string& name, int flags, FileStatus* found) const {
  // O_NOFOLLOW: a symlink could lead out of the directory. O_NONBLOCK: opening a FIFO without a
  // peer would wait forever (or fail, for writing); the flag is cleared once the file is known
  // to be regular.
  SysResult<int> fd = fs_->open_at(fd_, name, flags | O_NOFOLLOW | O_NONBLOCK, 0666);
  if (!fd) {
    // ELOOP is the symlink; ENXIO a FIFO without a reader or a device without its driver.
    if (SysResult<FileStatus> st = status(name); st && st->kind != FileStatus::Kind::Regular)
      return not_regular(name);
    return os_failure(fd.error());
  }
  File file(fs_, *fd, 0);
  SysResult<FileStatus> st = fs_->fstat(*fd);
  if (!st) return os_failure(st.error());
  if (st->kind != FileStatus::Kind::Regular) return not_regular(name);
  if (auto blocking = fs_->set_blocking(*fd); !blocking) return os_failure(blocking.error());
  file.size_ = st->size;
  if (found != nullptr) *found = *st;
  return file;
}

Result<File> Directory::open_regular(const std::string& name) const {
  return open_checked(name, O_RDONLY);
}

Result<File> Directory::open_lock_file(const std::string& name) const {
  // Not O_TRUNC: nothing is truncated before it is known to be a regular file of this directory
  // alone. A file with another name (a hard link) may be anybody's, wherever that name is: it
  // is neither emptied nor locked.
  FileStatus st{};
  Result<File> file = open_checked(name, O_WRONLY | O_CREAT, &st);
  if (!file) return file;
  if (st.links > 1)
    return make_error(ErrorKind::Io, "Not a lock file of this directory alone: " + name + " has " +
                                         std::to_string(st.links) +
                                         " names (hard links); remove it to open the database");
  if (auto emptied = fs_->truncate(file->fd_); !emptied) return os_failure(emptied.error());
  return file;
}

Result<void> Directory::replace(const std::string& name,
                                const std::function<Result<void>(File&)>& write) const {
  std::string staged;
  SysResult<int> fd = sys_error(EEXIST);
  // The names only need to differ from the staged files of saves running beside this one.
  for (int attempt = 0; !fd && fd.error() == EEXIST && attempt < 1000; ++attempt) {
    staged = staged_name();
    fd = fs_->open_at(fd_, staged, O_WRONLY | O_CREAT | O_EXCL, 0666);
  }
  if (!fd) {
    // A directory that was removed while open takes no new file: the save must not go elsewhere.
    if (fd.error() == ENOENT)
      return make_error(ErrorKind::Io, "The database directory was removed: " + os_error(ENOENT));
    return os_failure(fd.error());
  }
  File file(fs_, *fd, 0);
  auto unstage = [&](std::unexpected<Error> failure) {
    (void)fs_->unlink_at(fd_, staged);  // a leftover is swept at the next opening
    return failure;
  };
  if (Result<void> written = write(file); !written)
    return unstage(std::unexpected(written.error()));
  if (auto synced = file.sync(); !synced) return unstage(os_failure(synced.error()));
  if (auto closed = file.close(); !closed) return unstage(os_failure(closed.error()));
  if (auto renamed = fs_->rename_at(fd_, staged, name); !renamed)
    return unstage(os_failure(renamed.error()));
  // Without this the rename itself may be lost by a power loss, leaving the old file.
  if (auto synced = fs_->fsync(fd_); !synced) return os_failure(synced.error());
  return {};
}

Result<void> Directory::remove(const std::string& name) const {
  if (auto removed = fs_->unlink_at(fd_, name); !removed && removed.error() != ENOENT)
    return os_failure(removed.error());
  return {};
}

void Directory::remove_staged_files() const {
  SysResult<std::vector<std::string>> names = fs_->list(fd_);
  if (!names) return;  // nothing is lost by keeping them until the next opening
  for (const std::string& name : *names)
    if (is_staged_name(name)) (void)fs_->unlink_at(fd_, name);
}

bool Directory::is_staged_name(std::string_view name) {
  const std::size_t tail = kStagedMark.size() + kStagedSuffix;
  if (name.size() < tail || name.front() != '.') return false;
  const std::string_view end = name.substr(name.size() - tail);
  if (!end.starts_with(kStagedMark)) return false;
  for (char c : end.substr(kStagedMark.size()))
    if (kNameChars.find(c) == std::string_view::npos) return false;
  return true;
}

}  // namespace quillmere
