#include "database/thread_save.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string_view>

namespace quillmere {

Result<void> save_to(const RwLock<MetadataVecTable>& table, const std::string& path) {
  auto guard = table.read();
  return guard->save(path);
}

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kFailure = "atomic save failed: ";
constexpr std::string_view kNameChars =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

[[noreturn]] void fail_os(int code, std::string_view at = {}) {
  std::string message = std::string(kFailure) + os_error(code);
  if (!at.empty()) message += " at path \"" + std::string(at) + "\"";
  fail(std::move(message));
}

// Six characters drawn uniformly; the names only need to differ, not to be unguessable.
std::string random_suffix() {
  thread_local std::mt19937_64 gen{std::random_device{}()};
  std::uniform_int_distribution<std::size_t> pick(0, kNameChars.size() - 1);
  std::string s(6, ' ');
  for (char& c : s) c = kNameChars[pick(gen)];
  return s;
}

// Removes a path on every way out of the save, including an unwinding failure.
class RemoveOnExit {
 public:
  explicit RemoveOnExit(fs::path path, bool whole_tree)
      : path_(std::move(path)), whole_tree_(whole_tree) {}
  RemoveOnExit(const RemoveOnExit&) = delete;
  RemoveOnExit& operator=(const RemoveOnExit&) = delete;
  ~RemoveOnExit() {
    if (!armed_) return;
    std::error_code ignored;  // a leftover cannot be helped and must not fail the save
    if (whole_tree_)
      fs::remove_all(path_, ignored);
    else
      fs::remove(path_, ignored);
  }
  void disarm() { armed_ = false; }

 private:
  fs::path path_;
  bool whole_tree_;
  bool armed_ = true;
};

fs::path make_temp_dir() {
  const char* env = std::getenv("TMPDIR");
  const fs::path parent = env != nullptr ? fs::path(env) : fs::path("/tmp");
  for (std::uint64_t attempt = 0; attempt < (std::uint64_t{1} << 31); ++attempt) {
    fs::path dir = parent / (".tmp" + random_suffix());
    if (::mkdir(dir.c_str(), 0777) == 0) return dir;
    if (errno != EEXIST) fail_os(errno, dir.native());
  }
  fail(std::string(kFailure) + "too many temporary files exist");
}

void write_all(int fd, const char* data, std::size_t len) {
  while (len > 0) {
    ssize_t n = ::write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail_os(errno);
    }
    data += n;
    len -= static_cast<std::size_t>(n);
  }
}

// Copies `source` into a fresh file beside `target`, flushes it, renames it over the target and
// flushes the directory, so the directory entry points at the old or the new complete file at
// every instant. The temporary directory may lie on another file system, which is why the bytes
// are copied first and renamed only within the target's directory.
void replace_target(const fs::path& source, mode_t permissions, const fs::path& target) {
  FileHandle in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) fail_os(errno);

  fs::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  fs::path staged;
  int out_fd = -1;
  for (int attempt = 0; out_fd < 0; ++attempt) {
    staged = dir / ("." + target.filename().native() + ".tmp" + random_suffix());
    out_fd = ::open(staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out_fd < 0 && (errno != EEXIST || attempt >= 1000)) fail_os(errno);
  }
  FileHandle out(out_fd);
  RemoveOnExit remove_staged(staged, false);

  std::array<char, 1 << 16> buffer;
  for (;;) {
    ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      fail_os(errno);
    }
    if (n == 0) break;
    write_all(out.get(), buffer.data(), static_cast<std::size_t>(n));
  }
  if (::fchmod(out.get(), permissions) != 0) fail_os(errno);
  if (::fsync(out.get()) != 0) fail_os(errno);
  // Closing reports the last write-back errors of some file systems, so it is checked.
  if (const int err = out.close(); err != 0) fail_os(err);

  if (::rename(staged.c_str(), target.c_str()) != 0) fail_os(errno);
  remove_staged.disarm();

  // Without this the rename itself may be lost by a crash, leaving the old file.
  FileHandle dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir_fd.get() < 0) fail_os(errno);
  if (::fsync(dir_fd.get()) != 0) fail_os(errno);
}

}  // namespace

void ThreadSave::atomic_save_with(const std::string& target,
                                  const std::function<Result<void>(const std::string&)>& write) {
  const fs::path dir = make_temp_dir();
  RemoveOnExit remove_dir(dir, true);

  // "brief.toml" goes through "tmp.toml", a table file through "tmp.db"; a name whose only dot
  // leads (".db") or that ends in a dot has no extension.
  const fs::path target_path(target);
  std::string ext = target_path.filename().extension().native();
  if (ext == ".") ext.clear();
  const fs::path tmp = dir / ("tmp" + ext);

  if (Result<void> written = write(tmp.native()); !written)
    fail(std::string(kFailure) + written.error().message);

  struct stat st;
  if (::stat(tmp.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;  // nothing to copy
  replace_target(tmp, st.st_mode & 07777, target_path);
}

namespace thread_save_detail {

void report(const char* where, const std::string& what) noexcept {
  std::fprintf(stderr, "quillmere: %s failed: %s\n", where, what.c_str());
}

std::chrono::nanoseconds clamp_interval(std::chrono::nanoseconds interval) noexcept {
  using namespace std::chrono;
  // About a century: far beyond any real interval and far from overflowing steady_clock.
  constexpr nanoseconds longest = hours(24 * 365 * 100);
  if (interval < nanoseconds::zero()) return nanoseconds::zero();
  return interval > longest ? longest : interval;
}

}  // namespace thread_save_detail

}  // namespace quillmere
