#include "database/vec_db_brief.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include <toml++/toml.h>

#include "common/failure.hpp"
#include "common/os_error.hpp"
#include "common/utf8.hpp"
#include "database/toml_nesting.hpp"

namespace quillmere {
namespace {

using namespace std::string_view_literals;

// ---------------------------------------------------------------------------------------------
// Writing

bool is_bare_key(std::string_view name) {
  if (name.empty()) return false;
  return std::all_of(name.begin(), name.end(), is_toml_bare_key_char);
}

// A literal string keeps backslashes and double quotes readable; it is chosen only when one of
// them is present and nothing in the name would need an escape (literal strings have none).
bool fits_literal(std::string_view name) {
  if (name.find_first_of("\"\\") == std::string_view::npos) return false;
  for (utf8::Chars chars(name); !chars.done();) {
    const std::optional<char32_t> cp = chars.next().value;
    if (!cp || !(*cp == '\t' || (*cp >= 0x20 && *cp <= 0x7E && *cp != '\'') ||
                 (*cp >= 0x80 && *cp <= 0xFF)))
      return false;
  }
  return true;
}

// Appends the escape of `cp` when it is one of `from`: a backslash and the letter at the same
// place in `letters`.
bool append_short_escape(std::string& out, char32_t cp, std::string_view from,
                         std::string_view letters) {
  const std::size_t at = cp > 0x7F ? std::string_view::npos : from.find(static_cast<char>(cp));
  if (at == std::string_view::npos) return false;
  out += '\\';
  out += letters[at];
  return true;
}

// Appends `text` character by character: `escape(cp, out)` appends the escape of a character
// and answers true, or answers false to have it appended as it stands. A byte that begins no
// character is appended as it stands, so even a malformed byte is not altered.
template <class Escape>
void append_escaped(std::string& out, std::string_view text, Escape&& escape) {
  for (utf8::Chars chars(text); !chars.done();) {
    const auto [cp, raw] = chars.next();
    if (!cp || !escape(*cp, out)) out += raw;
  }
}

void append_basic_string(std::string& out, std::string_view text) {
  out += '"';
  append_escaped(out, text, [](char32_t cp, std::string& out) {
    if (append_short_escape(out, cp, "\b\t\n\f\r\"\\"sv, "btnfr\"\\")) return true;
    if (cp >= 0x20 && cp != 0x7F) return false;
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(cp));
    out += buf;
    return true;
  });
  out += '"';
}

void append_key(std::string& out, std::string_view name) {
  if (is_bare_key(name)) {
    out += name;
  } else if (fits_literal(name)) {
    out += '\'';
    out += name;
    out += '\'';
  } else {
    append_basic_string(out, name);
  }
}

// ---------------------------------------------------------------------------------------------
// Reading

// A shape error of the document: the message alone, no position.
struct Refusal {
  std::string message;
};

// A string as the type errors quote a found one: in double quotes; NUL, tab, newline, carriage
// return, '"' and '\' as \0 \t \n \r \" \\; every other control character (C0, DEL, C1) as
// \u{hex} in lower case; everything else as it is.
std::string debug_quoted(std::string_view text) {
  std::string out = "\"";
  append_escaped(out, text, [](char32_t cp, std::string& out) {
    if (append_short_escape(out, cp, "\0\t\n\r\"\\"sv, "0tnr\"\\")) return true;
    if (!(cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F))) return false;
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
    out += buf;
    return true;
  });
  out += '"';
  return out;
}

// The shortest decimal that reads back as `value`, always in positional notation and always
// with a decimal point when finite ("1.0", "0.0001", "1e300" as its 301 digits).
std::string float_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  if (res.ec != std::errc()) fail("a float does not fit its scientific text");
  const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  const std::size_t e = sci.find('e');
  std::string_view mantissa = sci.substr(0, e);
  const int exponent = std::atoi(std::string(sci.substr(e + 1)).c_str());
  std::string out;
  if (!mantissa.empty() && mantissa.front() == '-') {
    out += '-';
    mantissa.remove_prefix(1);
  }
  std::string digits;
  for (char c : mantissa)
    if (c != '.') digits += c;
  // digits d0 d1 d2 ... mean d0.d1d2... * 10^exponent
  const long point = 1 + exponent;  // number of digits before the decimal point
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (static_cast<std::size_t>(point) >= digits.size()) {
    out += digits;
    out.append(static_cast<std::size_t>(point) - digits.size(), '0');
    out += ".0";
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(point));
  }
  return out;
}

std::string two_digits(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02u", v);
  return buf;
}

std::string date_text(const toml::date& d) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u", unsigned{d.year}, unsigned{d.month},
                unsigned{d.day});
  return buf;
}

std::string time_text(const toml::time& t) {
  std::string out = two_digits(t.hour) + ":" + two_digits(t.minute) + ":" + two_digits(t.second);
  if (t.nanosecond != 0) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%09u", static_cast<unsigned>(t.nanosecond));
    std::string frac = buf;
    while (frac.back() == '0') frac.pop_back();
    out += "." + frac;
  }
  return out;
}

// The text a date, time or date-time is read as when the document asks for a table there.
std::string date_time_text(const toml::node& node) {
  if (const auto* d = node.as_date()) return date_text(d->get());
  if (const auto* t = node.as_time()) return time_text(t->get());
  const toml::date_time& dt = node.as_date_time()->get();
  std::string out = date_text(dt.date) + "T" + time_text(dt.time);
  if (dt.offset) {
    const int minutes = dt.offset->minutes;
    if (minutes == 0) {
      out += "Z";
    } else {
      const int a = minutes < 0 ? -minutes : minutes;
      out += minutes < 0 ? '-' : '+';
      out += two_digits(static_cast<unsigned>(a / 60));
      out += ':';
      out += two_digits(static_cast<unsigned>(a % 60));
    }
  }
  return out;
}

bool is_date_time(const toml::node& node) {
  return node.is_date() || node.is_time() || node.is_date_time();
}

// What was found, as the type errors name it.
std::string describe(const toml::node& node) {
  if (const auto* v = node.as_integer()) return "integer `" + std::to_string(v->get()) + "`";
  if (const auto* v = node.as_floating_point())
    return "floating point `" + float_text(v->get()) + "`";
  if (const auto* v = node.as_boolean())
    return std::string("boolean `") + (v->get() ? "true" : "false") + "`";
  if (const auto* v = node.as_string()) return "string " + debug_quoted(v->get());
  if (node.is_array()) return "sequence";
  return "map";  // a table, or a date-time, which the reader presents as a table
}

Refusal invalid_type(const toml::node& found, std::string_view expected) {
  return Refusal{"invalid type: " + describe(found) + ", expected " + std::string(expected)};
}

std::optional<Refusal> read_filename(const toml::node& node, VecTableBrief& out) {
  if (const auto* s = node.as_string()) {
    out.filename = s->get();
    return std::nullopt;
  }
  return invalid_type(node, "a string");
}

std::optional<Refusal> read_entry(const toml::node& node, VecTableBrief& out) {
  if (const auto* t = node.as_table()) {
    const toml::node* filename = t->get("filename");
    if (filename == nullptr) return Refusal{"missing field `filename`"};
    return read_filename(*filename, out);
  }
  if (const auto* a = node.as_array()) {
    if (a->empty())
      return Refusal{"invalid length 0, expected struct VecTableBrief with 1 element"};
    return read_filename(*a->get(0), out);
  }
  if (is_date_time(node)) return Refusal{"missing field `filename`"};
  return invalid_type(node, "struct VecTableBrief");
}

bool before(const toml::source_position& a, const toml::source_position& b) {
  return a.line != b.line ? a.line < b.line : a.column < b.column;
}

std::optional<Refusal> read_tables(const toml::node& node, VecDBBrief& out) {
  if (is_date_time(node)) {
    // Presented as a table of one entry holding the text, which no entry form accepts.
    return Refusal{"invalid type: string " + debug_quoted(date_time_text(node)) +
                   ", expected struct VecTableBrief"};
  }
  const auto* table = node.as_table();
  if (table == nullptr) return invalid_type(node, "a map");
  // The first failure in document order is the one reported, whatever the names' order.
  std::vector<std::pair<const toml::key*, const toml::node*>> entries;
  for (const auto& [key, value] : *table) entries.emplace_back(&key, &value);
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    return before(a.second->source().begin, b.second->source().begin);
  });
  for (const auto& [key, value] : entries) {
    VecTableBrief entry;
    if (auto refusal = read_entry(*value, entry)) return refusal;
    out.tables.insert_or_assign(std::string(key->str()), std::move(entry));
  }
  return std::nullopt;
}

// "TOML parse error at line L, column C", the offending line under a gutter with a marker
// below the position, then the reader's own message.
std::string syntax_error_text(std::string_view text, const toml::parse_error& err) {
  const toml::source_region& where = err.source();
  const std::size_t line = where.begin.line == 0 ? 1 : where.begin.line;
  const std::size_t column = where.begin.column == 0 ? 1 : where.begin.column;
  std::string_view content;
  {
    std::size_t start = 0;
    for (std::size_t l = 1; l < line && start != std::string_view::npos; ++l) {
      start = text.find('\n', start);
      if (start != std::string_view::npos) ++start;
    }
    if (start != std::string_view::npos && start <= text.size()) {
      content = text.substr(start);
      content = content.substr(0, content.find('\n'));
    }
  }
  std::size_t content_chars = 0;
  for (utf8::Chars chars(content); !chars.done(); chars.next()) ++content_chars;
  std::size_t carets = 1;
  if (where.end.line == where.begin.line && where.end.column > where.begin.column)
    carets = where.end.column - where.begin.column;
  const std::size_t room = content_chars >= column ? content_chars - column + 1 : 1;
  carets = std::max<std::size_t>(1, std::min(carets, room));

  const std::string line_num = std::to_string(line);
  const std::string gutter(line_num.size() + 1, ' ');
  std::string out =
      "TOML parse error at line " + line_num + ", column " + std::to_string(column) + "\n";
  out += gutter + "|\n";
  out += line_num + " | " + std::string(content) + "\n";
  out += gutter + "|" + std::string(column, ' ') + std::string(carets, '^') + "\n";
  out += err.description();
  return out;
}

}  // namespace

Result<VecDBBrief> VecDBBrief::parse(std::string_view text) {
  // Before the reader builds anything: its recursion over deeply nested keys ends the process.
  if (const std::optional<TomlPosition> deep = find_key_nested_deeper_than(text, kMaxKeyNesting))
    return make_error(ErrorKind::CorruptFile,
                      "TOML parse error at line " + std::to_string(deep->line) + ", column " +
                          std::to_string(deep->column) + ": keys nested deeper than " +
                          std::to_string(kMaxKeyNesting) + " levels");
  toml::table root;
  try {
    root = toml::parse(text);
  } catch (const toml::parse_error& err) {
    return make_error(ErrorKind::CorruptFile, syntax_error_text(text, err));
  }
  VecDBBrief brief;
  if (const toml::node* tables = root.get("tables")) {
    if (auto refusal = read_tables(*tables, brief))
      return make_error(ErrorKind::CorruptFile, std::move(refusal->message));
  }
  return brief;
}

Result<VecDBBrief> VecDBBrief::load(File& in) {
  std::string text;
  text.resize(static_cast<std::size_t>(in.size()));
  // The size is the status's; the text is what the file holds when it is read.
  for (std::size_t got = 0;;) {
    if (got == text.size()) text.resize(got + 8192);
    SysResult<std::size_t> r = in.read(text.data() + got, text.size() - got);
    if (!r) return make_error(ErrorKind::Io, os_error(r.error()));
    got += *r;
    if (got < text.size()) {
      text.resize(got);
      break;
    }
  }
  // The file is read as text first, so bytes that are not UTF-8 fail as a read, not a parse.
  if (!utf8::is_valid(text))
    return make_error(ErrorKind::CorruptFile, "stream did not contain valid UTF-8");
  return parse(text);
}

std::string VecDBBrief::render() const {
  if (tables.empty()) return "[tables]\n";
  std::string out;
  bool first = true;
  for (const auto& [name, entry] : tables) {  // std::map iterates in ascending byte order
    if (!first) out += '\n';
    first = false;
    out += "[tables.";
    append_key(out, name);
    out += "]\nfilename = ";
    append_basic_string(out, entry.filename);
    out += '\n';
  }
  return out;
}

Result<void> VecDBBrief::save(File& out) const {
  const std::string text = render();  // complete before the file is touched
  if (SysResult<void> written = out.write_all(text.data(), text.size()); !written)
    return make_error(ErrorKind::Io, os_error(written.error()));
  return {};
}

}  // namespace quillmere
