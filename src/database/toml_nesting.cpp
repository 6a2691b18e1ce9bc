#include "database/toml_nesting.hpp"

#include <vector>

namespace quillmere {

bool is_toml_bare_key_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

namespace {

// Numbers, booleans, dates and times are made of these.
bool is_scalar_char(char c) { return is_toml_bare_key_char(c) || c == '+' || c == '.' || c == ':'; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The grammar of TOML as far as keys, strings and the brackets of values go; everything else of
// a value is skipped as a scalar. Arrays and inline tables are kept on a stack of their own, so
// the scan never recurses, whatever the text.
class Scanner {
 public:
  Scanner(std::string_view text, std::size_t limit) : t_(text), limit_(limit) {}

  std::optional<std::size_t> run() {
    if (t_.starts_with("\xEF\xBB\xBF")) i_ = 3;
    while (!too_deep_ && i_ < t_.size()) {
      if (!stack_.empty()) {
        step_in_container();
      } else if (after_statement_) {
        end_statement();
      } else {
        statement();
      }
    }
    return too_deep_;
  }

 private:
  struct Container {
    bool array;
    std::size_t depth;  // the key nesting of what it holds
    bool after_item;    // an element or key-value was read: a comma or the end comes next
  };

  bool at(char c) const { return i_ < t_.size() && t_[i_] == c; }
  void skip_blanks() {
    while (at(' ') || at('\t')) ++i_;
  }
  void skip_to_line_end() {
    while (i_ < t_.size() && t_[i_] != '\n') ++i_;
  }
  // Blanks, line ends and comments: what may stand between the parts of an array.
  void skip_space() {
    for (;;) {
      skip_blanks();
      if (at('\n') || at('\r')) {
        ++i_;
      } else if (at('#')) {
        skip_to_line_end();
      } else {
        return;
      }
    }
  }

  // A string on one line, the opening quote at i_; false when the line ends first.
  bool line_string(char quote) {
    for (++i_; i_ < t_.size(); ++i_) {
      const char c = t_[i_];
      if (c == '\n') return false;
      if (c == '\\' && quote == '"') {
        ++i_;  // whatever is escaped, it does not end the string
      } else if (c == quote) {
        ++i_;
        return true;
      }
    }
    i_ = t_.size();  // an escape at the very end steps past it
    return false;
  }
  // A string of three quotes at i_; it ends at a run of three or more (up to two of them are
  // still its content).
  bool multi_line_string(char quote) {
    for (i_ += 3; i_ < t_.size();) {
      if (t_[i_] == '\\' && quote == '"') {
        i_ += 2;
      } else if (t_[i_] == quote) {
        std::size_t run = 0;
        while (at(quote)) ++i_, ++run;
        if (run >= 3) return true;
      } else {
        ++i_;
      }
    }
    i_ = t_.size();
    return false;
  }
  bool string() {
    const char quote = t_[i_];
    if (t_.substr(i_, 3) == (quote == '"' ? std::string_view("\"\"\"") : std::string_view("'''")))
      return multi_line_string(quote);
    return line_string(quote);
  }

  bool simple_key() {
    if (at('"') || at('\'')) return line_string(t_[i_]);
    const std::size_t start = i_;
    while (i_ < t_.size() && is_toml_bare_key_char(t_[i_])) ++i_;
    return i_ > start;
  }
  // A key, dotted or not, below `depth` parts; answers its number of parts (0: no key here).
  std::size_t key(std::size_t depth) {
    for (std::size_t parts = 1;; ++parts) {
      const std::size_t part = i_;
      if (!simple_key()) return 0;
      if (depth + parts > limit_ && !too_deep_) too_deep_ = part;
      skip_blanks();
      if (!at('.')) return parts;
      ++i_;
      skip_blanks();
    }
  }
  // `key = ` at i_; answers the nesting of its value, or nothing when this is no key-value.
  std::optional<std::size_t> key_and_equals(std::size_t depth) {
    const std::size_t parts = key(depth);
    if (parts == 0) return std::nullopt;
    skip_blanks();
    if (!at('=')) return std::nullopt;
    ++i_;
    skip_blanks();
    return depth + parts;
  }

  // A value at i_ whose keys nest below `depth`; an array or inline table is opened here and
  // read by step_in_container.
  bool value(std::size_t depth) {
    if (i_ >= t_.size()) return false;
    const char c = t_[i_];
    if (c == '[' || c == '{') {
      ++i_;
      stack_.push_back(Container{c == '[', depth, false});
      return true;
    }
    if (c == '"' || c == '\'') return string();
    const std::size_t start = i_;
    while (i_ < t_.size() && is_scalar_char(t_[i_])) ++i_;
    // A date may be followed by a blank and its time.
    const std::string_view token = t_.substr(start, i_ - start);
    if (token.size() == 10 && token[4] == '-' && token[7] == '-' && at(' ') && i_ + 1 < t_.size() &&
        is_digit(t_[i_ + 1])) {
      ++i_;
      while (i_ < t_.size() && is_scalar_char(t_[i_])) ++i_;
    }
    return i_ > start;
  }

  void statement() {
    skip_blanks();
    if (i_ >= t_.size()) return;
    const char c = t_[i_];
    if (c == '\n' || c == '\r') {
      ++i_;
    } else if (c == '#') {
      skip_to_line_end();
    } else if (c == '[') {  // a table header, [name] or [[name]]
      ++i_;
      if (at('[')) ++i_;
      skip_blanks();
      const std::size_t parts = key(0);
      if (parts == 0) return recover();
      table_depth_ = parts;
      skip_blanks();
      for (int close = 0; close < 2 && at(']'); ++close) ++i_;
      after_statement_ = true;
    } else {
      const std::optional<std::size_t> depth = key_and_equals(table_depth_);
      if (!depth) return recover();
      after_statement_ = true;
      if (!value(*depth)) return recover();
    }
  }

  void end_statement() {
    skip_blanks();
    if (at('#')) skip_to_line_end();
    if (i_ >= t_.size()) return;
    if (!at('\n') && !at('\r')) return recover();
    ++i_;
    after_statement_ = false;
  }

  void step_in_container() {
    skip_space();
    if (i_ >= t_.size()) return;
    Container& c = stack_.back();
    if (at(c.array ? ']' : '}')) {
      ++i_;
      stack_.pop_back();
      return;
    }
    if (c.after_item) {
      if (!at(',')) return recover();
      ++i_;
      c.after_item = false;
      return;
    }
    c.after_item = true;
    std::size_t depth = c.depth;
    if (!c.array) {
      const std::optional<std::size_t> inner = key_and_equals(depth);
      if (!inner) return recover();
      depth = *inner;
    }
    if (!value(depth)) recover();  // may push: `c` is not used after it
  }

  // Text the scan does not understand, which the reader will refuse unless the scan is wrong.
  // In case it is, every key-like run on the rest of the line is still measured (as if at the
  // root), and the scan goes on from the next line.
  void recover() {
    stack_.clear();
    after_statement_ = false;
    while (!too_deep_ && i_ < t_.size() && t_[i_] != '\n') {
      if (key(0) == 0 && i_ < t_.size() && t_[i_] != '\n') ++i_;
    }
  }

  std::string_view t_;
  std::size_t limit_;
  std::size_t i_ = 0;
  std::vector<Container> stack_;
  std::size_t table_depth_ = 0;  // the parts of the last table header
  bool after_statement_ = false;
  std::optional<std::size_t> too_deep_;
};

}  // namespace

std::optional<TomlPosition> find_key_nested_deeper_than(std::string_view text, std::size_t limit) {
  const std::optional<std::size_t> at = Scanner(text, limit).run();
  if (!at) return std::nullopt;
  TomlPosition pos{1, 1};
  for (std::size_t i = 0; i < *at; ++i) {
    if (text[i] == '\n') {
      ++pos.line;
      pos.column = 1;
    } else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      ++pos.column;  // a byte that begins a character
    }
  }
  return pos;
}

}  // namespace quillmere
