// A look at TOML text before it is parsed: how deeply its keys nest tables. The TOML reader
// builds, walks and frees its tables recursively, and bounds only the nesting of arrays and
// inline tables, so a key of a few thousand dotted parts (`a.a.a... = 1`, `[a.a.a...]`) would
// exhaust the stack. This scan finds such a key without building anything and without
// recursion, so that the text can be refused before the reader sees it.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace quillmere {

// Whether `c` may stand in a bare (unquoted) TOML key: ASCII letters, digits, '-' and '_'.
bool is_toml_bare_key_char(char c);

// Where a key first nests deeper than allowed: 1-based line and column (in characters).
struct TomlPosition {
  std::size_t line;
  std::size_t column;
};

// The key nesting of a place is the number of key parts on the way to it from the root: the
// parts of the table header above it, of the dotted key, and of the keys of the inline tables
// around it (arrays add none; a quoted key is one part, dots inside it included). Answers the
// first part of a key whose nesting exceeds `limit`, or nothing. Text that is not TOML is
// scanned on from the next line, so that nothing the reader might still accept goes unchecked.
std::optional<TomlPosition> find_key_nested_deeper_than(std::string_view text, std::size_t limit);

}  // namespace quillmere
