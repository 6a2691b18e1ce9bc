// VecDBBrief: the catalogue of a database directory, which tables exist and in which file of
// the directory each one lives. On disk it is the TOML document `brief.toml`; parse/load accept
// every TOML form of the same content, render/save write one canonical compact text.
// No lock of its own: the database manager holds the catalogue behind its mutex, and save runs
// with that mutex held.
#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "database/directory.hpp"

namespace quillmere {

// One catalogue entry: the name of the table's file inside the database directory.
struct VecTableBrief {
  std::string filename;

  bool operator==(const VecTableBrief&) const = default;
};

struct VecDBBrief {
  // Table name (any string, the empty one included) to its entry; std::string compares its
  // bytes as unsigned char, so the names are ordered byte-wise, which is the order written.
  std::map<std::string, VecTableBrief> tables;
  // The file names in use. Never stored: parse and load leave it empty, and the manager fills
  // it from `tables` when it opens the directory and keeps the two in step.
  std::set<std::string> filenames;

  bool operator==(const VecDBBrief&) const = default;

  // Keys may nest tables this deep and no deeper: the parts of a table header, of a dotted key
  // and of the keys of the inline tables around it, counted from the root (a catalogue uses 3:
  // `tables`, the quoted table name, `filename`). The reader itself refuses arrays and inline
  // tables nested more than 256 deep, so no document it builds is deeper than 128 + 256.
  static constexpr std::size_t kMaxKeyNesting = 128;

  // The catalogue of a document's text. A TOML violation fails with the reader's message,
  // framed with its line and column; a document of the wrong shape fails with a message that
  // names what was found and what was expected. Keys nested deeper than kMaxKeyNesting are
  // refused before the text is parsed: "TOML parse error at line L, column C: keys nested
  // deeper than 128 levels". Keys other than `tables` (and than `filename` inside an entry) are
  // ignored; without `tables` the catalogue is empty.
  static Result<VecDBBrief> parse(std::string_view text);
  // Reads the file whole as UTF-8 text and parses it; an I/O failure or bytes that are not
  // UTF-8 give the system's message.
  static Result<VecDBBrief> load(File& in);

  // The canonical text: `[tables]` alone for no entries, otherwise one `[tables.<name>]` header
  // and one `filename = "..."` line per entry in name order, entries separated by an empty line.
  // Every line ends with a line feed. Reading it back gives the same `tables`.
  std::string render() const;
  // Writes render() to `out` whole; Directory::replace makes the save crash-safe.
  Result<void> save(File& out) const;
};

}  // namespace quillmere
