#include "common/utf8.hpp"

namespace quillmere::utf8 {
namespace {

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The index of the first byte from `i` on that is not ASCII, or n.
std::size_t skip_ascii(const unsigned char* b, std::size_t i, std::size_t n) {
  while (n - i >= 8 && (detail::word_at<std::uint64_t>(b, i) & 0x8080808080808080u) == 0) i += 8;
  while (i < n && b[i] < 0x80) ++i;
  return i;
}

}  // namespace

Sequence sequence_at(const unsigned char* b, std::size_t i, std::size_t n) {
  const unsigned char c = b[i];
  if (c < 0x80) return {Sequence::Valid, 1};
  std::size_t width = 0;
  // The second byte's range is narrower after some leads: it rules out overlong forms,
  // surrogates and values above U+10FFFF.
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    width = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    width = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    width = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return {Sequence::Invalid, 1};
  }
  if (i + 1 >= n) return {Sequence::Incomplete, n - i};
  if (b[i + 1] < lo || b[i + 1] > hi) return {Sequence::Invalid, 1};
  for (std::size_t k = 2; k < width; ++k) {
    if (i + k >= n) return {Sequence::Incomplete, n - i};
    if (!continuation(b[i + k])) return {Sequence::Invalid, k};
  }
  return {Sequence::Valid, width};
}

std::string Error::message() const {
  if (!error_len) return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
  return "invalid utf-8 sequence of " + std::to_string(*error_len) + " bytes from index " +
         std::to_string(valid_up_to);
}

std::optional<Error> detail::first_error_beyond_ascii(const unsigned char* b, std::size_t n) {
  for (std::size_t i = skip_ascii(b, 0, n); i < n; i = skip_ascii(b, i, n)) {
    const Sequence s = sequence_at(b, i, n);
    if (s.kind == Sequence::Invalid) return Error{i, s.len};
    if (s.kind == Sequence::Incomplete) return Error{i, std::nullopt};
    i += s.len;
  }
  return std::nullopt;
}

Chars::Char Chars::next() {
  const auto* b = reinterpret_cast<const unsigned char*>(text_.data());
  const Sequence s = sequence_at(b, at_, text_.size());
  const std::size_t start = at_;
  if (s.kind != Sequence::Valid) {
    ++at_;
    return {std::nullopt, text_.substr(start, 1)};
  }
  // The lead byte's payload bits (all of an ASCII byte), then six bits per continuation byte.
  static constexpr unsigned char kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t value = b[start] & kLeadMask[s.len];
  for (std::size_t k = 1; k < s.len; ++k) value = (value << 6) | (b[start + k] & 0x3F);
  at_ += s.len;
  return {value, text_.substr(start, s.len)};
}

}  // namespace quillmere::utf8
