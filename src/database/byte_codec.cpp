#include "database/byte_codec.hpp"

#include <algorithm>

#include "common/os_error.hpp"

namespace quillmere::table_file {

void short_file() { throw ReadFailure{"io error: failed to fill whole buffer"}; }

// ---------------------------------------------------------------------------------------------
// Writer

void Writer::bytes_slow(const void* data, std::size_t n) {
  if (failed_ || n == 0) return;
  // The buffer is topped up and written whole, the whole buffers' worth of the rest goes
  // straight to the sink and the tail waits in the buffer. Every write then starts at a
  // multiple of the buffer size and covers whole pages of the file: a page shared by two
  // writes costs the file system more than copying the top-up does.
  const char* p = static_cast<const char*>(data);
  const std::size_t top = kCodecBufferSize - used_;
  std::memcpy(buffer_ + used_, p, top);
  used_ = kCodecBufferSize;
  flush();
  p += top;
  n -= top;
  const std::size_t whole = n / kCodecBufferSize * kCodecBufferSize;
  if (whole > 0) write_all(p, whole);
  std::memcpy(buffer_, p + whole, n - whole);
  used_ = n - whole;
}

void Writer::write_all(const void* data, std::size_t n) {
  if (failed_) return;
  if (SysResult<void> w = sink_.write_all(data, n); !w)
    failed_ = Error{ErrorKind::Io, "io error: " + os_error(w.error())};
}

// ---------------------------------------------------------------------------------------------
// Reader

std::uint32_t Reader::variant() {
  const std::uint32_t v = u32();
  if (v > 1)
    throw ReadFailure{"invalid value: integer `" + std::to_string(v) +
                      "`, expected variant index 0 <= i < 2"};
  return v;
}

bool Reader::tag() {
  const std::uint8_t t = u8();
  if (t > 1) throw ReadFailure{"tag for enum is not valid, found " + std::to_string(t)};
  return t == 1;
}

// What the buffer holds first, then large remainders straight from the source.
void Reader::bytes_slow(void* out, std::size_t n) {
  if (n == 0) return;
  if (n > left()) short_file();
  char* p = static_cast<char*>(out);
  const std::size_t take = std::min(n, buffered());
  std::memcpy(p, buffer_ + pos_, take);
  pos_ += take;
  p += take;
  n -= take;
  if (n >= kCodecBufferSize) {
    read_exact(p, n);
    return;
  }
  if (n > 0) {
    refill();
    std::memcpy(p, buffer_, n);
    pos_ = n;
  }
}

void Reader::refill() {
  end_ = read_exact(buffer_,
                    static_cast<std::size_t>(std::min<std::uint64_t>(kCodecBufferSize, unread_)));
  pos_ = 0;
}

// Exactly `n` (> 0) bytes; a source that ends before its size said is a short file.
std::size_t Reader::read_exact(char* into, std::size_t n) {
  SysResult<std::size_t> r = source_.read(into, n);
  if (!r) throw ReadFailure{"io error: " + os_error(r.error()), ErrorKind::Io};
  if (*r < n) short_file();
  unread_ -= *r;
  return *r;
}

}  // namespace quillmere::table_file
