#include "common/utf8.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace quillmere::utf8 {
namespace {

// The table file's tests assert the messages of every kind of fault; these pin the positions
// the messages are made from, and the walk that the catalogue and the file names use.
TEST(Utf8, FirstErrorGivesThePositionAndTheInvalidLength) {
  struct Case {
    std::string text;
    std::optional<Error> expected;
  };
  const Case cases[] = {
      {"", std::nullopt},
      {"plain ascii text longer than a word", std::nullopt},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", std::nullopt},
      {"0123456789\xFF", Error{10, 1}},                 // past the whole words
      {"\xC3\xA9\xC0\xAF", Error{2, 1}},                // overlong, after a valid character
      {"\xED\xA0\x80", Error{0, 1}},                    // a surrogate
      {"ab\xF0\x90\x80\x28", Error{2, 3}},              // the fourth byte does not continue
      {"abcdefghij\xE2\x82", Error{10, std::nullopt}},  // cut short by the end
  };
  for (const Case& c : cases) {
    const std::optional<Error> got = first_error(c.text.data(), c.text.size());
    ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.text;
    EXPECT_EQ(is_valid(c.text), !c.expected.has_value()) << c.text;
    if (!got) continue;
    EXPECT_EQ(got->valid_up_to, c.expected->valid_up_to) << c.text;
    EXPECT_EQ(got->error_len, c.expected->error_len) << c.text;
  }
}

TEST(Utf8, CharsGiveScalarValuesAndLoneBytesForWhatIsNotWellFormed) {
  struct Step {
    std::optional<char32_t> value;
    std::string bytes;
  };
  const struct {
    std::string text;
    std::vector<Step> steps;
  } cases[] = {
      {"a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
       {{U'a', "a"},
        {U'\u00E9', "\xC3\xA9"},
        {U'\u20AC', "\xE2\x82\xAC"},
        {U'\U0001F600', "\xF0\x9F\x98\x80"}}},
      // Every byte of an ill-formed sequence is a character of its own, even where a looser
      // decoder would find one (an overlong '/').
      {"\xC0\xAFx", {{std::nullopt, "\xC0"}, {std::nullopt, "\xAF"}, {U'x', "x"}}},
      {"\xE2\x82", {{std::nullopt, "\xE2"}, {std::nullopt, "\x82"}}},
      {std::string("\0\x7F", 2), {{U'\0', std::string("\0", 1)}, {U'\x7F', "\x7F"}}},
  };
  for (const auto& c : cases) {
    Chars chars(c.text);
    for (const Step& want : c.steps) {
      ASSERT_FALSE(chars.done()) << c.text;
      const Chars::Char got = chars.next();
      EXPECT_EQ(got.value, want.value) << c.text;
      EXPECT_EQ(got.bytes, want.bytes) << c.text;
    }
    EXPECT_TRUE(chars.done()) << c.text;
  }
}

}  // namespace
}  // namespace quillmere::utf8
