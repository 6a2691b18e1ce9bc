// Loaded with LD_PRELOAD by the Python tests: the status of every file whose last name is
// $QUILLMERE_STAT_FAULT_NAME fails with the error number $QUILLMERE_STAT_FAULT_ERRNO, as a
// failing disk or a refusing file system makes it fail; every other call goes to the C library.
// <sys/stat.h> is not included: its declarations of these functions differ in their attributes.
#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

struct stat;

namespace {

using FstatatFn = int (*)(int, const char*, struct stat*, int);

bool faulted(const char* path) {
  const char* name = std::getenv("QUILLMERE_STAT_FAULT_NAME");
  if (name == nullptr || path == nullptr) return false;
  const char* slash = std::strrchr(path, '/');
  return std::strcmp(slash ? slash + 1 : path, name) == 0;
}

int forward(const char* symbol, int dir, const char* path, struct stat* st, int flags) {
  if (faulted(path)) {
    const char* err = std::getenv("QUILLMERE_STAT_FAULT_ERRNO");
    errno = err ? std::atoi(err) : EIO;
    return -1;
  }
  auto real = reinterpret_cast<FstatatFn>(::dlsym(RTLD_NEXT, symbol));
  return real(dir, path, st, flags);
}

}  // namespace

extern "C" {
int fstatat(int dir, const char* path, struct stat* st, int flags) {
  return forward("fstatat", dir, path, st, flags);
}
int fstatat64(int dir, const char* path, struct stat* st, int flags) {
  return forward("fstatat64", dir, path, st, flags);
}
}
