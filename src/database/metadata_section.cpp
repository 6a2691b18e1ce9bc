#include "database/metadata_section.hpp"

#include <algorithm>
#include <cstring>
#include <span>
#include <string_view>
#include <tuple>

namespace quillmere::table_file {
namespace {

// Room for `needed` elements, grown by doubling but never past `limit` (what the rest of the
// file can fill): the amortised growth of an array read piece by piece stays within the file.
template <class T>
void grow_within(PodVec<T>& v, std::size_t needed, std::size_t limit) {
  if (needed > v.capacity()) v.reserve(std::max(needed, std::min(2 * v.capacity(), limit)));
}

// Copies the metadata section out of the reader. Counts and strings that lie whole in the
// buffer are checked where they lie and copied in one run per buffer; one cut by the end of
// the buffer is taken by the reader's general path. Metadata is hundreds of thousands of
// short strings: per string this is a length check and an ASCII test.
class SectionCopy {
 public:
  SectionCopy(Reader& r, PodVec<char>& out) : r_(r), out_(out) {}

  template <std::uint64_t kMinBytes>
  std::uint64_t count() {
    const std::span<const char> w = unchecked();
    if (w.size() < 8) [[unlikely]]
      return count_slow<kMinBytes>();
    std::uint64_t c;
    std::memcpy(&c, w.data(), 8);
    run_ += 8;
    if (c > left() / kMinBytes) short_file();
    return c;
  }

  void str() {
    const std::span<const char> w = unchecked();
    if (w.size() >= 8) [[likely]] {
      std::uint64_t n;
      std::memcpy(&n, w.data(), 8);
      if (n <= w.size() - 8) [[likely]] {
        check_utf8(w.data() + 8, n);
        run_ += 8 + n;
        return;
      }
    }
    str_slow();
  }

  // Copies the run checked so far and takes it from the reader.
  void flush() {
    append(r_.window().data(), run_);
    r_.skip(run_);
    run_ = 0;
  }

 private:
  // What the reader's buffer holds after the run.
  std::span<const char> unchecked() const { return r_.window().subspan(run_); }
  // The bytes of the file after the run.
  std::uint64_t left() const { return r_.left() - run_; }

  template <std::uint64_t kMinBytes>
  std::uint64_t count_slow() {
    flush();
    const std::uint64_t c = r_.count<kMinBytes>();
    append(&c, 8);
    return c;
  }
  void str_slow() {
    const std::uint64_t n = count_slow<1>();
    const std::size_t at = out_.size();
    grow(n);
    out_.resize_for_overwrite(at + n);
    r_.bytes(out_.data() + at, n);
    check_utf8(out_.data() + at, n);
  }

  // Room for n more bytes, which the file still holds or has just given.
  void grow(std::size_t n) { grow_within(out_, out_.size() + n, out_.size() + n + r_.left()); }
  void append(const void* p, std::size_t n) {
    if (n == 0) return;
    grow(n);
    const std::size_t at = out_.size();
    out_.resize_for_overwrite(at + n);
    std::memcpy(out_.data() + at, p, n);
  }

  Reader& r_;
  PodVec<char>& out_;
  std::size_t run_ = 0;  // bytes at the front of the reader's window checked but not yet copied
};

// Walks a copied section, whose counts and lengths need no checks any more.
class SectionCursor {
 public:
  explicit SectionCursor(const PodVec<char>& bytes) : p_(bytes.data()) {}
  std::uint64_t count() {
    std::uint64_t c;
    std::memcpy(&c, p_, 8);
    p_ += 8;
    return c;
  }
  std::string_view str() {
    const std::uint64_t n = count();
    const std::string_view s(p_, n);
    p_ += n;
    return s;
  }

 private:
  const char* p_;
};

// Save lists a map's keys in ascending order, so each key normally goes in at the end without
// a search; keys in any other order are inserted by search, and a repeated key keeps the
// later value.
void build_map(SectionCursor& c, Metadata& m) {
  const std::uint64_t entries = c.count();
  for (std::uint64_t e = 0; e < entries; ++e) {
    const std::string_view key = c.str(), value = c.str();
    if (m.empty() || std::string_view(m.rbegin()->first) < key) {
      m.emplace_hint(m.end(), std::piecewise_construct, std::forward_as_tuple(key),
                     std::forward_as_tuple(value));
    } else {
      m.insert_or_assign(std::string(key), std::string(value));
    }
  }
}

}  // namespace

void write_metadata(Writer& w, const std::vector<Metadata>& metadata) {
  w.u64(metadata.size());
  for (const Metadata& m : metadata) {
    w.u64(m.size());
    for (const auto& [key, value] : m) {  // std::map iterates in ascending key order
      w.str(key);
      w.str(value);
    }
  }
}

MetadataSection MetadataSection::read(Reader& r) {
  MetadataSection section;
  section.maps_ = r.count<8>();
  // Reserved up front at the size from which blocks get huge pages (or what the file still
  // holds): a section of some MiB then costs a few page faults and no copies as it grows.
  if (section.maps_ > 0)
    section.bytes_.reserve(std::min<std::uint64_t>(r.left(), kHugePageBlockBytes));
  SectionCopy copy(r, section.bytes_);
  for (std::uint64_t i = 0; i < section.maps_; ++i) {
    const std::uint64_t strings = 2 * copy.count<16>();
    for (std::uint64_t s = 0; s < strings; ++s) copy.str();
  }
  copy.flush();
  return section;
}

std::vector<Metadata> MetadataSection::build_maps() const {
  std::vector<Metadata> out(maps_);
  SectionCursor c(bytes_);
  for (Metadata& m : out) build_map(c, m);
  return out;
}

}  // namespace quillmere::table_file
