// Operating-system errors as the error values show them, and an owned file descriptor.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace quillmere {

// "<system message> (os error N)".
inline std::string os_error(int err) {
  return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

// Closes its file descriptor when it goes out of scope (a negative one is no file).
class FileHandle {
 public:
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int get() const { return fd_; }
  // Gives the descriptor up without closing it.
  int release() { return std::exchange(fd_, -1); }
  // Closes now, answering the error number of a failed close (0 on success).
  int close() {
    const int fd = std::exchange(fd_, -1);
    return ::close(fd) == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

}  // namespace quillmere
