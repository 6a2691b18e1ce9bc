#include "database/file_system.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quillmere {
namespace {

FileStatus status_of(const struct stat& st) {
  using Kind = FileStatus::Kind;
  const Kind kind = S_ISREG(st.st_mode)   ? Kind::Regular
                    : S_ISDIR(st.st_mode) ? Kind::Directory
                    : S_ISLNK(st.st_mode) ? Kind::Symlink
                                          : Kind::Other;
  return {kind, static_cast<std::uint64_t>(st.st_size), static_cast<std::uint64_t>(st.st_nlink)};
}

SysResult<void> checked(int rc) {
  if (rc != 0) return sys_error(errno);
  return {};
}

class KernelFileSystem final : public FileSystem {
 public:
  SysResult<FileStatus> stat_path(const std::string& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return sys_error(errno);
    return status_of(st);
  }
  SysResult<void> make_dir(const std::string& path) override {
    return checked(::mkdir(path.c_str(), 0777));
  }
  SysResult<int> open_dir(const std::string& path) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return sys_error(errno);
    return fd;
  }

  SysResult<int> open_at(int dir, const std::string& name, int flags, unsigned mode) override {
    const int fd = ::openat(dir, name.c_str(), flags | O_CLOEXEC, static_cast<mode_t>(mode));
    if (fd < 0) return sys_error(errno);
    return fd;
  }
  SysResult<FileStatus> stat_at(int dir, const std::string& name) override {
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return sys_error(errno);
    return status_of(st);
  }
  SysResult<void> rename_at(int dir, const std::string& from, const std::string& to) override {
    return checked(::renameat(dir, from.c_str(), dir, to.c_str()));
  }
  SysResult<void> unlink_at(int dir, const std::string& name) override {
    return checked(::unlinkat(dir, name.c_str(), 0));
  }
  SysResult<std::vector<std::string>> list(int dir) override {
    // fdopendir takes the descriptor over, so it gets a duplicate that reads from the start.
    const int own = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (own < 0) return sys_error(errno);
    DIR* stream = ::fdopendir(own);
    if (stream == nullptr) {
      const int err = errno;
      ::close(own);
      return sys_error(err);
    }
    std::vector<std::string> names;
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(stream);
      if (entry == nullptr) break;
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    const int err = errno;
    ::closedir(stream);
    if (err != 0) return sys_error(err);
    return names;
  }

  SysResult<FileStatus> fstat(int fd) override {
    struct stat st;
    if (::fstat(fd, &st) != 0) return sys_error(errno);
    return status_of(st);
  }
  SysResult<void> set_blocking(int fd) override {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return sys_error(errno);
    return checked(::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK));
  }
  SysResult<std::size_t> read(int fd, void* into, std::size_t n) override {
    const ssize_t r = ::read(fd, into, n);
    if (r < 0) return sys_error(errno);
    return static_cast<std::size_t>(r);
  }
  SysResult<std::size_t> write(int fd, const void* from, std::size_t n) override {
    const ssize_t w = ::write(fd, from, n);
    if (w < 0) return sys_error(errno);
    return static_cast<std::size_t>(w);
  }
  SysResult<void> truncate(int fd) override { return checked(::ftruncate(fd, 0)); }
  SysResult<void> fsync(int fd) override { return checked(::fsync(fd)); }
  SysResult<void> try_lock(int fd) override { return checked(::flock(fd, LOCK_EX | LOCK_NB)); }
  // The descriptor is gone whatever close answers (EINTR included), so it is never retried.
  SysResult<void> close(int fd) override { return checked(::close(fd)); }
  void close_after_fork(int fd) noexcept override { (void)::close(fd); }
};

}  // namespace

const std::shared_ptr<FileSystem>& FileSystem::system() {
  // Never destroyed: a saving thread may still be ending while the process exits.
  static const auto* kernel = new std::shared_ptr<FileSystem>(std::make_shared<KernelFileSystem>());
  return *kernel;
}

}  // namespace quillmere
