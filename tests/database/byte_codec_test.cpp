#include "database/byte_codec.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace quillmere::table_file {
namespace {

// Memory behind the codec; a chosen call fails with EIO.
class MemorySink final : public ByteSink {
 public:
  SysResult<void> write_all(const void* data, std::size_t n) override {
    calls.push_back({bytes.size(), n});
    if (calls.size() == fail_call) return sys_error(EIO);
    bytes.append(static_cast<const char*>(data), n);
    return {};
  }
  struct Call {
    std::size_t at, n;
  };
  std::string bytes;
  std::vector<Call> calls;
  std::size_t fail_call = 0;  // 1-based; 0: none
};

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string bytes) : bytes_(std::move(bytes)) {}
  std::uint64_t size() const override { return bytes_.size(); }
  SysResult<std::size_t> read(void* into, std::size_t n) override {
    if (fail) return sys_error(EIO);
    const std::size_t take = std::min(n, bytes_.size() - at_);
    std::memcpy(into, bytes_.data() + at_, take);
    at_ += take;
    return take;
  }
  bool fail = false;

 private:
  std::string bytes_;
  std::size_t at_ = 0;
};

std::string bytes_of(const std::function<void(Writer&)>& write) {
  MemorySink sink;
  Writer w(sink);
  write(w);
  w.flush();
  EXPECT_FALSE(w.failure().has_value());
  return sink.bytes;
}

std::string read_failure(const std::string& bytes, const std::function<void(Reader&)>& read) {
  MemorySource source(bytes);
  Reader r(source);
  try {
    read(r);
  } catch (const ReadFailure& f) {
    return f.message;
  }
  return "<read>";
}

TEST(ByteCodec, ArraysAroundTheBufferSizeGoThroughWholeAndAligned) {
  constexpr std::size_t kB = kCodecBufferSize;
  for (std::size_t len : {std::size_t{0}, std::size_t{1}, kB - 9, kB - 8, kB, kB + 1, 3 * kB + 5}) {
    SCOPED_TRACE("array of " + std::to_string(len));
    std::vector<std::uint32_t> array(len);
    for (std::size_t i = 0; i < len; ++i) array[i] = static_cast<std::uint32_t>(i * 2654435761u);
    MemorySink sink;
    Writer w(sink);
    w.u8(7);
    w.seq(std::span<const std::uint32_t>(array));
    w.str("after");
    w.opt_u64(std::nullopt);
    w.opt_u64(42);
    w.f32(-0.0f);
    w.flush();
    ASSERT_FALSE(w.failure().has_value());
    // Every write but the last starts on a multiple of the buffer and covers whole buffers.
    for (std::size_t c = 0; c + 1 < sink.calls.size(); ++c) {
      EXPECT_EQ(sink.calls[c].at % kB, 0u);
      EXPECT_EQ(sink.calls[c].n % kB, 0u);
    }

    MemorySource source(sink.bytes);
    Reader r(source);
    EXPECT_EQ(r.left(), sink.bytes.size());
    EXPECT_EQ(r.u8(), 7u);
    const PodVec<std::uint32_t> back = r.seq<std::uint32_t>();
    ASSERT_EQ(back.size(), len);
    EXPECT_TRUE(std::equal(array.begin(), array.end(), back.begin()));
    const std::uint64_t n = r.count<1>();
    std::string s(n, '\0');
    r.bytes(s.data(), n);
    EXPECT_EQ(s, "after");
    EXPECT_EQ(r.opt_u64(), std::nullopt);
    EXPECT_EQ(r.opt_u64(), 42u);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(r.f32()), 0x80000000u);
    EXPECT_EQ(r.left(), 0u);
  }
}

TEST(ByteCodec, ReadsNeverGoPastTheBytesLeft) {
  const std::string kShort = "io error: failed to fill whole buffer";
  const std::string seven = bytes_of([](Writer& w) { w.u64(7); });
  const struct {
    const char* name;
    std::string bytes;
    std::function<void(Reader&)> read;
    std::string message;
  } cases[] = {
      {"a value cut short", seven.substr(0, 7), [](Reader& r) { r.u64(); }, kShort},
      {"a count the rest cannot hold", seven + std::string(6, 'x'), [](Reader& r) { r.count<1>(); },
       kShort},
      {"a count of wider elements", seven + std::string(27, 'x'), [](Reader& r) { r.count<4>(); },
       kShort},
      {"a count that fits", seven + std::string(28, 'x'), [](Reader& r) { r.count<4>(); },
       "<read>"},
      {"a sequence past the end", seven + std::string(6, 'x'),
       [](Reader& r) { r.seq<std::uint8_t>(); }, kShort},
      {"a variant index out of range", bytes_of([](Writer& w) { w.u32(2); }),
       [](Reader& r) { r.variant(); },
       "invalid value: integer `2`, expected variant index 0 <= i < 2"},
      {"an optional's tag out of range", bytes_of([](Writer& w) { w.u8(2); }),
       [](Reader& r) { r.opt_u64(); }, "tag for enum is not valid, found 2"},
  };
  for (const auto& c : cases) EXPECT_EQ(read_failure(c.bytes, c.read), c.message) << c.name;
}

TEST(ByteCodec, SystemFailuresAreIoErrors) {
  MemorySink sink;
  sink.fail_call = 1;
  Writer w(sink);
  for (std::uint64_t i = 0; i < 3 * kCodecBufferSize / 8; ++i) w.u64(i);
  w.flush();
  ASSERT_TRUE(w.failure().has_value());
  EXPECT_EQ(w.failure()->kind, ErrorKind::Io);
  EXPECT_EQ(w.failure()->message, "io error: Input/output error (os error 5)");
  EXPECT_EQ(sink.calls.size(), 1u);  // nothing is written after the failure

  MemorySource source(std::string(16, 'x'));
  source.fail = true;
  Reader r(source);
  try {
    r.u64();
    ADD_FAILURE() << "read";
  } catch (const ReadFailure& f) {
    EXPECT_EQ(f.kind, ErrorKind::Io);
    EXPECT_EQ(f.message, "io error: Input/output error (os error 5)");
  }
}

}  // namespace
}  // namespace quillmere::table_file
