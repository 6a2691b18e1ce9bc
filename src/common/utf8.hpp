// UTF-8 decoding, the one rule of the module: well-formed sequences only (no overlong forms, no
// surrogates, nothing above U+10FFFF). Checks stored strings and walks text one character at a
// time; works on bytes in place and allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere::utf8 {

// What begins at a byte of a text.
struct Sequence {
  enum Kind { Valid, Invalid, Incomplete };
  Kind kind;
  // Valid: the sequence's length (1 to 4). Invalid: the bytes that already show it invalid (the
  // first one that cannot follow is not counted). Incomplete: the text ends inside it.
  std::size_t len;
};

// REQUIRES: at < size.
Sequence sequence_at(const unsigned char* text, std::size_t at, std::size_t size);

// Where a text stops being well-formed.
struct Error {
  std::size_t valid_up_to;               // the well-formed bytes before the fault
  std::optional<std::size_t> error_len;  // the invalid sequence's bytes; none: the text ends in it

  // "invalid utf-8 sequence of N bytes from index I" or "incomplete utf-8 byte sequence from
  // index I".
  std::string message() const;
};

namespace detail {
template <class Word>
std::uint64_t word_at(const unsigned char* b, std::size_t at) {
  Word w;
  std::memcpy(&w, b + at, sizeof w);
  return w;
}

// Whether all n bytes are ASCII. Stored strings nearly always are and are mostly shorter than a
// word: the test ORs whole words together, the last one overlapping the one before.
inline bool ascii(const unsigned char* b, std::size_t n) {
  std::uint64_t any = 0;
  if (n >= 8) {
    for (std::size_t i = 0; i + 8 <= n; i += 8) any |= word_at<std::uint64_t>(b, i);
    any |= word_at<std::uint64_t>(b, n - 8);
  } else if (n >= 4) {
    any = word_at<std::uint32_t>(b, 0) | word_at<std::uint32_t>(b, n - 4);
  } else if (n >= 2) {
    any = word_at<std::uint16_t>(b, 0) | word_at<std::uint16_t>(b, n - 2);
  } else if (n == 1) {
    any = b[0];
  }
  return (any & 0x8080808080808080u) == 0;
}

std::optional<Error> first_error_beyond_ascii(const unsigned char* b, std::size_t n);
}  // namespace detail

// The first fault of the n bytes at `text`, or nullopt when they are well-formed.
inline std::optional<Error> first_error(const char* text, std::size_t n) {
  const auto* b = reinterpret_cast<const unsigned char*>(text);
  if (detail::ascii(b, n)) [[likely]]
    return std::nullopt;
  return detail::first_error_beyond_ascii(b, n);
}
inline bool is_valid(std::string_view text) { return !first_error(text.data(), text.size()); }

// Reads a text one character at a time. A well-formed sequence is a character with its scalar
// value; a byte that begins none is a character of its own without a value, so that a caller
// can copy it through or replace it. The text must outlive the walk.
class Chars {
 public:
  struct Char {
    std::optional<char32_t> value;
    std::string_view bytes;  // as they stand in the text
  };

  explicit Chars(std::string_view text) : text_(text) {}
  bool done() const { return at_ == text_.size(); }
  // REQUIRES: !done().
  Char next();

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace quillmere::utf8
