// The value encoding of the table file (table_file.hpp states it): little-endian integers and
// IEEE floats as they lie in memory, u64 lengths before strings and sequences, a 0/1 byte before
// an optional, a u32 variant index before an enum's fields. Writer and Reader stream values
// through an 8192-byte buffer to a ByteSink and from a ByteSource (a File; memory in tests).
//
// A Reader knows how many bytes are left and never reserves more than they could fill (a length
// that cannot fit fails like a short file). Its failures are thrown as ReadFailure, which the
// loading code catches once and turns into its error value.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>

#include "common/allocator.hpp"
#include "common/error.hpp"
#include "common/utf8.hpp"
#include "database/directory.hpp"

namespace quillmere::table_file {

static_assert(std::endian::native == std::endian::little,
              "the file is little-endian and values are copied as they lie in memory");

// Where a Writer's bytes go.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // All n bytes, or the errno of the failure.
  virtual SysResult<void> write_all(const void* data, std::size_t n) = 0;
};

// Where a Reader's bytes come from: size() bytes, handed out in order.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t size() const = 0;
  // Up to n bytes; fewer only where the source ends.
  virtual SysResult<std::size_t> read(void* into, std::size_t n) = 0;
};

// A File from its current position; it must outlive the sink or source.
class FileSink final : public ByteSink {
 public:
  explicit FileSink(File& file) : file_(file) {}
  SysResult<void> write_all(const void* data, std::size_t n) override {
    return file_.write_all(data, n);
  }

 private:
  File& file_;
};
class FileSource final : public ByteSource {
 public:
  explicit FileSource(File& file) : file_(file) {}
  std::uint64_t size() const override { return file_.size(); }
  SysResult<std::size_t> read(void* into, std::size_t n) override { return file_.read(into, n); }

 private:
  File& file_;
};

inline constexpr std::size_t kCodecBufferSize = 8192;

// Stops a read.
struct ReadFailure {
  std::string message;
  ErrorKind kind = ErrorKind::CorruptFile;  // the bytes' content; Io when the system refused
};

// The source ends before the value it is reading.
[[noreturn]] void short_file();

// A stored string must be well-formed UTF-8; the first fault is described as the decoder does.
inline void check_utf8(const char* s, std::size_t n) {
  if (const std::optional<utf8::Error> e = utf8::first_error(s, n)) [[unlikely]]
    throw ReadFailure{"string is not valid utf8: " + e->message()};
}

// A buffered writer of values. After the first failed write every later write is skipped, and
// that failure ("io error: ...") is what failure() reports. Call flush() at the end.
//
// Small values are copied into the buffer inline; only a full buffer or a large array leaves
// the caller (`bytes_slow`). A table of a million rows writes millions of small values, so the
// per-value cost is most of what a save spends outside the kernel.
class Writer {
 public:
  explicit Writer(ByteSink& sink) : sink_(sink) {}
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void bytes(const void* data, std::size_t n) {
    // An empty array may have no storage at all: it goes the slow way, which skips it.
    if (n <= kCodecBufferSize - used_ && n != 0) [[likely]] {
      std::memcpy(buffer_ + used_, data, n);
      used_ += n;
      return;
    }
    bytes_slow(data, n);
  }
  void flush() {
    if (used_ > 0) write_all(buffer_, used_);
    used_ = 0;
  }
  const std::optional<Error>& failure() const { return failed_; }

  void u8(std::uint8_t v) { value(v); }
  void u32(std::uint32_t v) { value(v); }
  void u64(std::uint64_t v) { value(v); }
  void f32(float v) { value(v); }
  void str(const std::string& s) {
    u64(s.size());
    bytes(s.data(), s.size());
  }
  template <class T>
  void seq(std::span<const T> values) {
    u64(values.size());
    bytes(values.data(), values.size() * sizeof(T));
  }
  void opt_u64(const std::optional<std::uint64_t>& v) {
    u8(v ? 1 : 0);
    if (v) u64(*v);
  }

 private:
  template <class T>
  void value(T v) {
    bytes(&v, sizeof v);
  }
  [[gnu::noinline]] void bytes_slow(const void* data, std::size_t n);
  void write_all(const void* data, std::size_t n);

  ByteSink& sink_;
  char buffer_[kCodecBufferSize];
  std::size_t used_ = 0;
  std::optional<Error> failed_;
};

// A buffered reader of values that knows how many bytes are left.
//
// The buffer never holds more than the bytes left (a refill reads at most what the source's size
// said remains), so a value the buffer holds can be taken inline with a single bound check;
// only an empty buffer or a large array leaves the caller (`bytes_slow`).
class Reader {
 public:
  explicit Reader(ByteSource& source) : source_(source), unread_(source.size()) {}
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  std::uint64_t left() const { return unread_ + buffered(); }

  void bytes(void* out, std::size_t n) {
    // An empty array may have no storage at all: it goes the slow way, which skips it.
    if (n <= buffered() && n != 0) [[likely]] {
      std::memcpy(out, buffer_ + pos_, n);
      pos_ += n;
      return;
    }
    bytes_slow(out, n);
  }

  std::uint8_t u8() { return value<std::uint8_t>(); }
  std::uint32_t u32() { return value<std::uint32_t>(); }
  std::uint64_t u64() { return value<std::uint64_t>(); }
  float f32() { return value<float>(); }

  // A count of elements that take at least kMinBytes each (a constant, so that the bound costs
  // no division).
  template <std::uint64_t kMinBytes>
  std::uint64_t count() {
    const std::uint64_t c = u64();
    if (c > left() / kMinBytes) short_file();
    return c;
  }

  // The bytes the buffer holds, not yet taken: for a caller that checks several values in
  // place before it takes them with skip().
  std::span<const char> window() const { return {buffer_ + pos_, buffered()}; }
  // REQUIRES: n <= window().size().
  void skip(std::size_t n) { pos_ += n; }

  template <class T>
  PodVec<T> seq() {
    PodVec<T> v;
    v.resize_for_overwrite(count<sizeof(T)>());
    bytes(v.data(), v.size() * sizeof(T));
    return v;
  }
  // An enum of two variants.
  std::uint32_t variant();
  bool tag();
  std::optional<std::uint64_t> opt_u64() {
    if (!tag()) return std::nullopt;
    return u64();
  }

 private:
  std::size_t buffered() const { return end_ - pos_; }

  template <class T>
  T value() {
    T v;
    bytes(&v, sizeof v);
    return v;
  }

  [[gnu::noinline]] void bytes_slow(void* out, std::size_t n);
  // REQUIRES: the buffer is empty and bytes are left.
  void refill();
  std::size_t read_exact(char* into, std::size_t n);

  ByteSource& source_;
  std::uint64_t unread_;  // bytes of the source not yet read into the buffer or a destination
  char buffer_[kCodecBufferSize];
  std::size_t pos_ = 0, end_ = 0;
};

}  // namespace quillmere::table_file
