// MemFileSystem: a file system in memory behind the FileSystem interface, for the tests of
// failures no real disk produces on demand. It fails a chosen call with a chosen error, stops
// answering after a chosen number of calls (the process died there), and loses power: then every
// byte not synced to its file and every change of a directory not followed by a sync of that
// directory is gone, as POSIX allows.
#pragma once

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "database/file_system.hpp"

namespace quillmere::testing_support {

class MemFileSystem final : public FileSystem {
 public:
  enum class Call {
    StatPath,
    MakeDir,
    OpenDir,
    OpenAt,
    StatAt,
    Rename,
    Unlink,
    List,
    Fstat,
    SetBlocking,
    Read,
    Write,
    Truncate,
    SyncFile,
    SyncDir,
    TryLock,
    Close,
    kCount
  };

  // The `nth` next call of kind `call` (1: the very next) fails with `err`, and so do the
  // `times` - 1 calls of that kind after it.
  void fail_on(Call call, int nth, int err, int times = 1) {
    std::lock_guard l(mutex_);
    planned_[static_cast<int>(call)] = {nth, err, times};
  }
  // After `calls` more calls of any kind every call fails with EIO and changes nothing: the
  // process died there. lose_power() ends that state.
  void crash_after(long calls) {
    std::lock_guard l(mutex_);
    crash_in_ = calls;
  }
  bool crashed() const {
    std::lock_guard l(mutex_);
    return crash_in_ == 0;
  }
  // Calls made so far (of every kind).
  long calls() const {
    std::lock_guard l(mutex_);
    return calls_;
  }
  // What survives a power loss: synced bytes, directory entries as of their directory's last
  // sync. Open files and locks are gone.
  void lose_power() {
    std::lock_guard l(mutex_);
    for (auto& [path, dir] : dirs_) dir->entries = dir->durable;
    for (auto& [id, inode] : inodes_) inode.data = inode.synced;
    for (auto& [fd, open] : open_)
      if (open.inode >= 0) inodes_[open.inode].locked_by = -1;
    open_.clear();
    crash_in_ = -1;
  }

  // Test access, outside the calls that are counted. Paths are "<dir>/<name>".
  // A durable regular file (or a FIFO, or a symlink) made as if long ago.
  void put(const std::string& dir, const std::string& name, std::string content,
           FileStatus::Kind kind = FileStatus::Kind::Regular) {
    std::lock_guard l(mutex_);
    auto& d = ensure_dir(dir);
    const int id = next_inode_++;
    inodes_[id] = Inode{kind, content, content, -1};
    d.entries[name] = d.durable[name] = id;
  }
  // Gives the file `dir`/`name` the further name `to_dir`/`to_name` (a hard link, made durable).
  void link(const std::string& dir, const std::string& name, const std::string& to_dir,
            const std::string& to_name) {
    std::lock_guard l(mutex_);
    const int id = dirs_.at(dir)->entries.at(name);
    auto& d = ensure_dir(to_dir);
    d.entries[to_name] = d.durable[to_name] = id;
  }
  std::optional<std::string> content(const std::string& dir, const std::string& name) const {
    std::lock_guard l(mutex_);
    const auto d = dirs_.find(dir);
    if (d == dirs_.end()) return std::nullopt;
    const auto e = d->second->entries.find(name);
    if (e == d->second->entries.end()) return std::nullopt;
    return inodes_.at(e->second).data;
  }
  std::vector<std::string> names(const std::string& dir) const {
    std::lock_guard l(mutex_);
    std::vector<std::string> out;
    if (const auto d = dirs_.find(dir); d != dirs_.end())
      for (const auto& [name, id] : d->second->entries) out.push_back(name);
    return out;
  }
  // The directory is removed (with everything in it) while descriptors may still pin it.
  void remove_dir(const std::string& dir) {
    std::lock_guard l(mutex_);
    if (const auto d = dirs_.find(dir); d != dirs_.end()) {
      d->second->removed = true;
      dirs_.erase(d);
    }
  }

  // --- FileSystem ---

  SysResult<FileStatus> stat_path(const std::string& path) override {
    std::lock_guard l(mutex_);
    if (int err = enter(Call::StatPath)) return sys_error(err);
    if (!dirs_.contains(path)) return sys_error(ENOENT);
    return FileStatus{FileStatus::Kind::Directory, 0};
  }
  SysResult<void> make_dir(const std::string& path) override {
    std::lock_guard l(mutex_);
    if (int err = enter(Call::MakeDir)) return sys_error(err);
    if (path.empty()) return sys_error(ENOENT);
    if (dirs_.contains(path)) return sys_error(EEXIST);
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !dirs_.contains(path.substr(0, slash)))
      return sys_error(ENOENT);
    ensure_dir(path);
    return {};
  }
  SysResult<int> open_dir(const std::string& path) override {
    std::lock_guard l(mutex_);
    if (int err = enter(Call::OpenDir)) return sys_error(err);
    const auto d = dirs_.find(path);
    if (d == dirs_.end()) return sys_error(ENOENT);
    const int fd = next_fd_++;
    open_[fd] = Open{d->second, -1, 0};
    return fd;
  }

  SysResult<int> open_at(int dir, const std::string& name, int flags, unsigned) override {
    std::lock_guard l(mutex_);
    if (int err = enter(Call::OpenAt)) return sys_error(err);
    Dir* d = dir_of(dir);
    if (d == nullptr) return sys_error(EBADF);
    if (d->removed) return sys_error(ENOENT);
    const int access = flags & O_ACCMODE;
    int id;
    if (const auto e = d->entries.find(name); e != d->entries.end()) {
      if ((flags & O_CREAT) && (flags & O_EXCL)) return sys_error(EEXIST);
      id = e->second;
      Inode& inode = inodes_[id];
      if (inode.kind == FileStatus::Kind::Symlink)
        return sys_error((flags & O_NOFOLLOW) ? ELOOP : EACCES);
      if (inode.kind == FileStatus::Kind::Other && access != O_RDONLY && (flags & O_NONBLOCK))
        return sys_error(ENXIO);
      if (inode.kind == FileStatus::Kind::Directory && access != O_RDONLY) return sys_error(EISDIR);
      if (flags & O_TRUNC) inode.data.clear();
    } else {
      if (!(flags & O_CREAT)) return sys_error(ENOENT);
      id = next_inode_++;
      inodes_[id] = Inode{FileStatus::Kind::Regular, {}, {}, -1};
      d->entries[name] = id;
    }
    const int fd = next_fd_++;
    open_[fd] = Open{nullptr, id, 0};
    return fd;
  }
  SysResult<FileStatus> stat_at(int dir, const std::string& name) override {
    std::lock_guard l(mutex_);
    if (int err = enter(Call::StatAt)) return sys_error(err);
    Dir* d = dir_of(dir);
    if (d == nullptr) return sys_error(EBADF);
    const auto e = d->entries.find(name);
    if (e == d->entries.end()) return sys_error(ENOENT);
    return status_of(e->second);
  }
  SysResult<void> rename_at(int dir, const std::string& from, const std::string& to) override {
    std::lock_guard l(mutex_);
    if (int err = enter(Call::Rename)) return sys_error(err);
    Dir* d = dir_of(dir);
    if (d == nullptr) return sys_error(EBADF);
    const auto e = d->entries.find(from);
    if (e == d->entries.end()) return sys_error(ENOENT);
    if (const auto t = d->entries.find(to);
        t != d->entries.end() && inodes_[t->second].kind == FileStatus::Kind::Directory)
      return sys_error(EISDIR);
    const int id = e->second;
    d->entries.erase(e);
    d->entries[to] = id;
    return {};
  }
  SysResult<void> unlink_at(int dir, const std::string& name) override {
    std::lock_guard l(mutex_);
    if (int err = enter(Call::Unlink)) return sys_error(err);
    Dir* d = dir_of(dir);
    if (d == nullptr) return sys_error(EBADF);
    const auto e = d->entries.find(name);
    if (e == d->entries.end()) return sys_error(ENOENT);
    if (inodes_[e->second].kind == FileStatus::Kind::Directory) return sys_error(EISDIR);
    d->entries.erase(e);
    return {};
  }
  SysResult<std::vector<std::string>> list(int dir) override {
    std::lock_guard l(mutex_);
    if (int err = enter(Call::List)) return sys_error(err);
    Dir* d = dir_of(dir);
    if (d == nullptr) return sys_error(EBADF);
    std::vector<std::string> out;
    for (const auto& [name, id] : d->entries) out.push_back(name);
    return out;
  }

  SysResult<FileStatus> fstat(int fd) override {
    std::lock_guard l(mutex_);
    if (int err = enter(Call::Fstat)) return sys_error(err);
    const auto o = open_.find(fd);
    if (o == open_.end()) return sys_error(EBADF);
    if (o->second.dir) return FileStatus{FileStatus::Kind::Directory, 0};
    return status_of(o->second.inode);
  }
  SysResult<void> set_blocking(int fd) override {
    std::lock_guard l(mutex_);
    if (int err = enter(Call::SetBlocking)) return sys_error(err);
    return open_.contains(fd) ? SysResult<void>{} : sys_error(EBADF);
  }
  SysResult<std::size_t> read(int fd, void* into, std::size_t n) override {
    std::lock_guard l(mutex_);
    if (int err = enter(Call::Read)) return sys_error(err);
    Open* o = file_of(fd);
    if (o == nullptr) return sys_error(EBADF);
    const std::string& data = inodes_[o->inode].data;
    const std::size_t take = o->offset >= data.size() ? 0 : std::min(n, data.size() - o->offset);
    std::memcpy(into, data.data() + o->offset, take);
    o->offset += take;
    return take;
  }
  SysResult<std::size_t> write(int fd, const void* from, std::size_t n) override {
    std::lock_guard l(mutex_);
    if (int err = enter(Call::Write)) return sys_error(err);
    Open* o = file_of(fd);
    if (o == nullptr) return sys_error(EBADF);
    std::string& data = inodes_[o->inode].data;
    // Short writes on purpose: at most 64 KiB a call, so that callers must loop.
    const std::size_t put = std::min<std::size_t>(n, 1 << 16);
    if (data.size() < o->offset + put) data.resize(o->offset + put);
    std::memcpy(data.data() + o->offset, from, put);
    o->offset += put;
    return put;
  }
  SysResult<void> truncate(int fd) override {
    std::lock_guard l(mutex_);
    if (int err = enter(Call::Truncate)) return sys_error(err);
    Open* o = file_of(fd);
    if (o == nullptr) return sys_error(EBADF);
    inodes_[o->inode].data.clear();
    return {};
  }
  SysResult<void> fsync(int fd) override {
    std::lock_guard l(mutex_);
    const auto o = open_.find(fd);
    if (int err = enter(o != open_.end() && o->second.dir ? Call::SyncDir : Call::SyncFile))
      return sys_error(err);
    if (o == open_.end()) return sys_error(EBADF);
    if (o->second.dir)
      o->second.dir->durable = o->second.dir->entries;
    else
      inodes_[o->second.inode].synced = inodes_[o->second.inode].data;
    return {};
  }
  SysResult<void> try_lock(int fd) override {
    std::lock_guard l(mutex_);
    if (int err = enter(Call::TryLock)) return sys_error(err);
    Open* o = file_of(fd);
    if (o == nullptr) return sys_error(EBADF);
    int& owner = inodes_[o->inode].locked_by;
    if (owner >= 0 && owner != fd) return sys_error(EWOULDBLOCK);
    owner = fd;
    return {};
  }
  SysResult<void> close(int fd) override {
    std::lock_guard l(mutex_);
    if (int err = enter(Call::Close)) return sys_error(err);
    const auto o = open_.find(fd);
    if (o == open_.end()) return sys_error(EBADF);
    if (o->second.inode >= 0 && inodes_[o->second.inode].locked_by == fd)
      inodes_[o->second.inode].locked_by = -1;
    open_.erase(o);
    return {};
  }

 private:
  struct Inode {
    FileStatus::Kind kind;
    std::string data, synced;
    int locked_by;
  };
  struct Dir {
    std::map<std::string, int> entries, durable;
    bool removed = false;
  };
  struct Open {
    std::shared_ptr<Dir> dir;  // a pinned directory, or null for a file
    int inode;
    std::size_t offset;
  };

  // REQUIRES: mutex_ held. Counts the call and answers the error it must fail with, or 0.
  int enter(Call call) {
    ++calls_;
    if (crash_in_ == 0) return EIO;
    if (crash_in_ > 0) --crash_in_;
    Planned& p = planned_[static_cast<int>(call)];
    if (p.nth > 1) {
      --p.nth;
    } else if (p.nth == 1 && p.times > 0) {
      --p.times;
      return p.err;
    }
    return 0;
  }
  // REQUIRES: mutex_ held. The link count is the number of entries naming the inode.
  FileStatus status_of(int id) {
    const Inode& inode = inodes_[id];
    std::uint64_t links = 0;
    for (const auto& [path, dir] : dirs_)
      for (const auto& [name, entry] : dir->entries) links += entry == id;
    return FileStatus{inode.kind, inode.data.size(), links};
  }
  Dir& ensure_dir(const std::string& path) {
    auto& d = dirs_[path];
    if (!d) d = std::make_shared<Dir>();
    return *d;
  }
  Dir* dir_of(int fd) {
    const auto o = open_.find(fd);
    return o == open_.end() ? nullptr : o->second.dir.get();
  }
  Open* file_of(int fd) {
    const auto o = open_.find(fd);
    return o == open_.end() || o->second.dir ? nullptr : &o->second;
  }

  struct Planned {
    int nth = 0;
    int err = 0;
    int times = 0;
  };

  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<Dir>> dirs_;
  std::map<int, Inode> inodes_;
  std::map<int, Open> open_;
  int next_inode_ = 1;
  int next_fd_ = 1000;  // never reused, so a stale descriptor never reaches a new file
  long calls_ = 0;
  long crash_in_ = -1;  // calls left before the crash; -1: none planned
  Planned planned_[static_cast<int>(Call::kCount)];
};

}  // namespace quillmere::testing_support
