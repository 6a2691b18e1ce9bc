#include "database/vec_db_brief.hpp"
#include "database/file_support.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace quillmere {
namespace {

using Tables = std::map<std::string, VecTableBrief>;
using testing_support::load_brief_file;
using testing_support::save_file;

VecDBBrief brief_of(std::vector<std::pair<std::string, std::string>> entries) {
  VecDBBrief brief;
  for (auto& [name, file] : entries) brief.tables[name] = VecTableBrief{file};
  return brief;
}

// The canonical text of each catalogue, byte for byte, and that it reads back as written.
TEST(VecDBBriefTest, RendersCanonicalTextThatReadsBack) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> entries;
    std::string text;
  };
  const std::vector<Case> cases = {
      {{}, "[tables]\n"},
      {{{"docs", "docs.db"}}, "[tables.docs]\nfilename = \"docs.db\"\n"},
      {{{"b", "b.db"}, {"a", "a.db"}},
       "[tables.a]\nfilename = \"a.db\"\n\n[tables.b]\nfilename = \"b.db\"\n"},
      {{{"my table", "my_table.db"}}, "[tables.\"my table\"]\nfilename = \"my_table.db\"\n"},
      {{{"", ".db"}}, "[tables.\"\"]\nfilename = \".db\"\n"},
      {{{"a\\b", "a_b.db"}}, "[tables.'a\\b']\nfilename = \"a_b.db\"\n"},
      {{{"x.y", "x_y.db"}}, "[tables.\"x.y\"]\nfilename = \"x_y.db\"\n"},
      {{{"Ab-9_", "Ab-9_.db"}}, "[tables.Ab-9_]\nfilename = \"Ab-9_.db\"\n"},
      // Greek letters stay unescaped, in the name and in the file name.
      {{{"αβγ", "αβγ.db"}}, "[tables.\"αβγ\"]\nfilename = \"αβγ.db\"\n"},
      // Literal only when a quote or backslash is present and nothing needs an escape.
      {{{"say \"hi\"", "s.db"}}, "[tables.'say \"hi\"']\nfilename = \"s.db\"\n"},
      {{{"a\\b\tcafé", "c.db"}}, "[tables.'a\\b\tcafé']\nfilename = \"c.db\"\n"},
      {{{"it's \"x\"", "i.db"}}, "[tables.\"it's \\\"x\\\"\"]\nfilename = \"i.db\"\n"},
      {{{"a\\b Ω", "o.db"}}, "[tables.\"a\\\\b Ω\"]\nfilename = \"o.db\"\n"},
      {{{"\b\t\n\f\r\x01\x1f\x7f", "e.db"}},
       "[tables.\"\\b\\t\\n\\f\\r\\u0001\\u001F\\u007F\"]\nfilename = \"e.db\"\n"},
      // Hand-edited file names still come back as the same text.
      {{{"t", "we\"ird\\\n.db"}}, "[tables.t]\nfilename = \"we\\\"ird\\\\\\n.db\"\n"},
  };
  for (const Case& c : cases) {
    const VecDBBrief brief = brief_of(c.entries);
    EXPECT_EQ(brief.render(), c.text);
    const Result<VecDBBrief> back = VecDBBrief::parse(c.text);
    ASSERT_TRUE(back.has_value()) << c.text << "\n" << back.error().message;
    EXPECT_EQ(back->tables, brief.tables) << c.text;
    EXPECT_TRUE(back->filenames.empty());
  }
}

// Names of every awkward kind survive render then parse as the same single names.
TEST(VecDBBriefTest, OddNamesRoundTrip) {
  const std::vector<std::string> names = {
      "",         "x.y",     "a.b.c",     " ",        "with space", "'",    "\"",   "\\",
      "'\"\\",    "a'b",     "\t",        "\n",       "\r\n",       "\x01", "\x7f", "\u0080\u009f",
      "é\\",      "ÿ\"",     "日本語",    "🙂\\\"", "[x]",        "=",    "#",    "tables",
      "filename", "\\u0041", "a\"b'c\\d", "\x1b[0m",
  };
  VecDBBrief brief;
  for (std::size_t i = 0; i < names.size(); ++i)
    brief.tables[names[i]] =
        VecTableBrief{std::string("f").append(std::to_string(i)).append(".db")};
  const std::string text = brief.render();
  const Result<VecDBBrief> back = VecDBBrief::parse(text);
  ASSERT_TRUE(back.has_value()) << text << "\n" << back.error().message;
  EXPECT_EQ(back->tables, brief.tables) << text;
  EXPECT_EQ(back->render(), text);
}

// Every accepted form of the document, and the catalogue it gives.
TEST(VecDBBriefTest, AcceptsEveryFormOfTheSameContent) {
  const Tables t_db = {{"t", {"t.db"}}};
  struct Case {
    std::string text;
    Tables tables;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"# only a comment\n\n", {}},
      {"[tables]\n", {}},
      {"other = 1\n[more]\nx = [1, 2]\n", {}},
      {"tables = {}\n", {}},
      {"[tables.t]\nfilename = \"t.db\"\n", t_db},
      {"tables = { t = { filename = \"t.db\", note = \"x\" } }\n", t_db},
      {"tables.t = [\"t.db\", 7]\n", t_db},
      {"tables.t.filename = 't.db'\n", t_db},
      {"[tables]\nt = { filename = \"\"\"t.db\"\"\" }\n", t_db},
      {"[tables.t]\nextra = 5\nfilename = \"t.db\"\n[tables.t.sub]\nz = 1\n", t_db},
      {"top = 1979-05-27\n[tables.t]\nfilename = \"t.db\"\n[zzz]\nq = true\n", t_db},
      {"[tables.b]\nfilename = \"b.db\"\n[tables.a]\nfilename = \"a.db\"\n",
       {{"a", {"a.db"}}, {"b", {"b.db"}}}},
      {"[tables.\"x.y\"]\nfilename = \"x.db\"\n[tables.'\\n']\nfilename = \"n.db\"\n",
       {{"x.y", {"x.db"}}, {"\\n", {"n.db"}}}},
      {"\xEF\xBB\xBF[tables.t]\r\nfilename = \"t.db\"\r\n", t_db},
  };
  for (const Case& c : cases) {
    const Result<VecDBBrief> got = VecDBBrief::parse(c.text);
    ASSERT_TRUE(got.has_value()) << c.text << "\n" << got.error().message;
    EXPECT_EQ(got->tables, c.tables) << c.text;
  }
  // What is ignored is not kept: the next save writes the canonical text.
  EXPECT_EQ(VecDBBrief::parse("tables = { t = { filename = \"t.db\", note = \"x\" } }")->render(),
            "[tables.t]\nfilename = \"t.db\"\n");
  EXPECT_EQ(VecDBBrief::parse("tables.t = [\"t.db\", 7]")->render(),
            "[tables.t]\nfilename = \"t.db\"\n");
}

// Every refused shape, with its exact message.
TEST(VecDBBriefTest, RefusesWrongShapesWithExactMessages) {
  struct Case {
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"[tables.t]\n", "missing field `filename`"},
      {"[tables.t]\nname = \"t.db\"\n", "missing field `filename`"},
      {"tables.t = 1979-05-27T07:32:00Z\n", "missing field `filename`"},
      {"[tables.t]\nfilename = 5\n", "invalid type: integer `5`, expected a string"},
      {"[tables.t]\nfilename = -12\n", "invalid type: integer `-12`, expected a string"},
      {"[tables.t]\nfilename = 1.5\n", "invalid type: floating point `1.5`, expected a string"},
      {"[tables.t]\nfilename = 2.0\n", "invalid type: floating point `2.0`, expected a string"},
      {"[tables.t]\nfilename = 1e20\n",
       "invalid type: floating point `100000000000000000000.0`, expected a string"},
      {"[tables.t]\nfilename = 1e-5\n",
       "invalid type: floating point `0.00001`, expected a string"},
      {"[tables.t]\nfilename = -inf\n", "invalid type: floating point `-inf`, expected a string"},
      {"[tables.t]\nfilename = nan\n", "invalid type: floating point `NaN`, expected a string"},
      {"[tables.t]\nfilename = true\n", "invalid type: boolean `true`, expected a string"},
      {"[tables.t]\nfilename = [\"t.db\"]\n", "invalid type: sequence, expected a string"},
      {"[tables.t]\nfilename = { a = 1 }\n", "invalid type: map, expected a string"},
      {"[tables.t]\nfilename = 1979-05-27\n", "invalid type: map, expected a string"},
      {"tables.t = [7, \"t.db\"]\n", "invalid type: integer `7`, expected a string"},
      {"tables.t = [[\"t.db\"]]\n", "invalid type: sequence, expected a string"},
      {"[[tables.t]]\nfilename = \"t.db\"\n", "invalid type: map, expected a string"},
      {"tables.t = []\n", "invalid length 0, expected struct VecTableBrief with 1 element"},
      {"tables.t = \"t.db\"\n", "invalid type: string \"t.db\", expected struct VecTableBrief"},
      {"tables.t = 'a\"b\\c\td'\n",
       "invalid type: string \"a\\\"b\\\\c\\td\", expected struct VecTableBrief"},
      {"tables.t = 3\n", "invalid type: integer `3`, expected struct VecTableBrief"},
      {"tables.t = false\n", "invalid type: boolean `false`, expected struct VecTableBrief"},
      {"tables = 1\n", "invalid type: integer `1`, expected a map"},
      {"tables = \"x\"\n", "invalid type: string \"x\", expected a map"},
      {"tables = []\n", "invalid type: sequence, expected a map"},
      {"[[tables]]\n", "invalid type: sequence, expected a map"},
      {"tables = 0.25\n", "invalid type: floating point `0.25`, expected a map"},
      // A date-time is presented as a table holding its text, which no entry form accepts.
      {"tables = 1979-05-27T07:32:00.5-07:30\n",
       "invalid type: string \"1979-05-27T07:32:00.5-07:30\", expected struct VecTableBrief"},
      {"tables = 07:32:00\n", "invalid type: string \"07:32:00\", expected struct VecTableBrief"},
      // The first failure in document order is reported.
      {"[tables.b]\nfilename = 1\n[tables.a]\n", "invalid type: integer `1`, expected a string"},
  };
  for (const Case& c : cases) {
    const Result<VecDBBrief> got = VecDBBrief::parse(c.text);
    ASSERT_FALSE(got.has_value()) << c.text;
    EXPECT_EQ(got.error().message, c.message) << c.text;
  }
}

// A TOML violation: the position, the line with a marker under it, then the reader's message.
TEST(VecDBBriefTest, SyntaxErrorShowsPositionLineAndMarker) {
  const Result<VecDBBrief> got = VecDBBrief::parse("[tables.t]\nfilename = \"t.db\" x\n");
  ASSERT_FALSE(got.has_value());
  const std::string& m = got.error().message;
  const std::string head =
      "TOML parse error at line 2, column 19\n"
      "  |\n"
      "2 | filename = \"t.db\" x\n"
      "  |                   ^\n";
  ASSERT_EQ(m.substr(0, head.size()), head) << m;
  EXPECT_GT(m.size(), head.size()) << m;  // the reader's own message follows

  const std::vector<std::string> broken = {
      "[tables.t]\nfilename = \"a.db\"\nfilename = \"b.db\"\n",  // key defined twice
      "[tables.t\n",
      "tables = {\n",
      "[tables.t]\nfilename = \"t\x01.db\"\n",
      "[tables.t]\nfilename = \"\xff\"\n",
      "x = 1\nx = 2\n",  // a violation outside `tables` fails too
  };
  for (const std::string& text : broken) {
    const Result<VecDBBrief> r = VecDBBrief::parse(text);
    ASSERT_FALSE(r.has_value()) << text;
    EXPECT_TRUE(r.error().message.starts_with("TOML parse error at line ")) << r.error().message;
    EXPECT_NE(r.error().message.find("\n  |\n"), std::string::npos) << r.error().message;
  }
  // A two-digit line number widens the gutter.
  const Result<VecDBBrief> far = VecDBBrief::parse(std::string(11, '\n') + "= 1\n");
  ASSERT_FALSE(far.has_value());
  EXPECT_TRUE(far.error().message.starts_with(
      "TOML parse error at line 12, column 1\n   |\n12 | = 1\n   | ^\n"))
      << far.error().message;
}

std::string dotted(const std::string& part, std::size_t parts) {
  std::string key = part;
  for (std::size_t i = 1; i < parts; ++i) key += "." + part;
  return key;
}

// Keys that nest tables deeper than the bound are refused before the reader builds them (it
// would exhaust the stack), at the part that crosses the bound, counted along the whole way
// from the root: header, dotted key and the keys of enclosing inline tables.
TEST(VecDBBriefTest, KeysNestedBeyondTheBoundAreRefusedBeforeParsing) {
  struct Case {
    std::string text;
    std::string position;  // "line L, column C" of the part that crosses the bound
  };
  const std::vector<Case> cases = {
      {dotted("a", 50000) + " = 1\n", "line 1, column 257"},
      {"[" + dotted("a", 50000) + "]\n", "line 1, column 258"},
      {"[[" + dotted("a", 50000) + "]]\n", "line 1, column 259"},
      {"tables." + dotted("t", 50000) + ".filename = \"t.db\"\n", "line 1, column 262"},
      {"[tables.t]\nfilename = \"t.db\"\n[" + dotted("b", 100) + "]\n" + dotted("c", 29) + " = 1\n",
       "line 4, column 57"},
      {"x = { " + dotted("a", 100) + " = { y = [ { " + dotted("b", 28) + " = 1 } ] } }\n",
       "line 1, column 271"},
      {"x = [\n  # a comment\n  { \"q.q\" = '''\n[" + dotted("a", 200) + "]''', " +
           dotted("b", 200) + " = 1 },\n]\n",
       "line 4, column 661"},
      // The reader would take text the scan misunderstands only if the scan were wrong; the rest
      // of such a line is measured all the same.
      {"x = 1 ~ " + dotted("a", 200) + "\n", "line 1, column 265"},
  };
  for (const Case& c : cases) {
    const Result<VecDBBrief> got = VecDBBrief::parse(c.text);
    ASSERT_FALSE(got.has_value()) << c.text.substr(0, 200);
    EXPECT_EQ(got.error().message,
              "TOML parse error at " + c.position + ": keys nested deeper than 128 levels")
        << c.text.substr(0, 200);
  }

  // At the bound, and what only looks deep, is read as ever.
  const std::string long_name = dotted("n", 1000);
  const std::vector<std::string> accepted = {
      "[" + dotted("a", 128) + "]\n",
      "[" + dotted("a", 100) + "]\n" + dotted("b", 28) + " = 1\n[tables.t]\nfilename = \"t.db\"\n",
      "x = { " + dotted("a", 64) + " = [[{ " + dotted("b", 63) + " = 1 }]] }\n",
      "[tables.\"" + long_name + "\"]\nfilename = \"t.db\"\n",
      "tables.'" + long_name + "' = [\"t.db\"]\n",
      "x = \"" + long_name + "\"\ny = \"\"\"\n[" + long_name + "]\n\"\"\"\nz = 1." +
          std::string(100, '5') + "\n",
      "d = 1979-05-27 07:32:00\n" + dotted("e", 128) + " = 'x'\n",
      "a = \"\\\"\"\nb = '''x''''\nc = \"\"\"y\"\"\"\"\"\n" + dotted("e", 128) + " = 1\n",
  };
  for (const std::string& text : accepted) {
    const Result<VecDBBrief> got = VecDBBrief::parse(text);
    EXPECT_TRUE(got.has_value()) << text.substr(0, 200) << "\n" << got.error().message;
  }
  const Result<VecDBBrief> one_name =
      VecDBBrief::parse("[tables.\"" + long_name + "\"]\nfilename = \"t.db\"\n");
  ASSERT_TRUE(one_name.has_value());
  EXPECT_EQ(one_name->tables, (Tables{{long_name, {"t.db"}}}));

  // Arrays and inline tables nested too deep are the reader's own refusal, with its message.
  const Result<VecDBBrief> arrays =
      VecDBBrief::parse("x = " + std::string(300, '[') + std::string(300, ']') + "\n");
  ASSERT_FALSE(arrays.has_value());
  EXPECT_TRUE(arrays.error().message.starts_with("TOML parse error at line 1, column "))
      << arrays.error().message;
  EXPECT_NE(arrays.error().message.find("exceeded maximum nested value depth of 256"),
            std::string::npos)
      << arrays.error().message;
}

// Every cut of a document full of what the scan has to tell apart (strings of each kind, escapes,
// comments, arrays, inline tables, dates), none of it deep, is read or refused by the reader
// itself: the scan neither misreads it as deep nor steps outside the text.
TEST(VecDBBriefTest, EveryCutOfAShallowDocumentIsLeftToTheReader) {
  const std::string text =
      "\xEF\xBB\xBF# c.c.c\n[ tables . \"a.b\" ]\nfilename = \"x\\\"y.db\" # z\n"
      "[[arr.'q.r']]\nv = [1, 2.5e+3, [\"s\", 'l'], { k.m = 1979-05-27 07:32:00Z, n = "
      "\"\"\"\n.a.b\"\"\" }]\n"
      "w = '''\n[x.y]\n'''\r\nu = { p = [ { q = -inf } ] }\n";
  ASSERT_TRUE(VecDBBrief::parse(text).has_value()) << VecDBBrief::parse(text).error().message;
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    const Result<VecDBBrief> got = VecDBBrief::parse(std::string_view(text).substr(0, cut));
    if (!got) {
      EXPECT_EQ(got.error().message.find("nested deeper"), std::string::npos)
          << cut << ": " << got.error().message;
    }
  }
}

class VecDBBriefFileTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = scratch_.make("quillmere_brief"); }
  testing_support::ScratchDir scratch_;
  std::string dir_;
};

TEST_F(VecDBBriefFileTest, SaveWritesTheTextAndLoadReadsItBack) {
  const std::string path = dir_ + "/brief.toml";
  VecDBBrief empty;
  ASSERT_TRUE(save_file(empty, path).has_value());
  EXPECT_EQ(testing_support::read_text(path), "[tables]\n");

  VecDBBrief brief = brief_of({{"b", "b.db"}, {"a", "a.db"}, {"x.y", "x_y.db"}, {"αβγ", "αβγ.db"}});
  brief.filenames = {"a.db", "b.db", "x_y.db", "αβγ.db"};  // never written
  ASSERT_TRUE(save_file(brief, path).has_value());         // truncates the longer old content too
  EXPECT_EQ(testing_support::read_text(path), brief.render());
  const Result<VecDBBrief> back = load_brief_file(path);
  ASSERT_TRUE(back.has_value()) << back.error().message;
  EXPECT_EQ(back->tables, brief.tables);
  EXPECT_TRUE(back->filenames.empty());

  ASSERT_TRUE(save_file(empty, path).has_value());
  EXPECT_EQ(testing_support::read_text(path), "[tables]\n");
}

TEST_F(VecDBBriefFileTest, BytesThatAreNotUtf8FailAsARead) {
  for (const std::string bytes : {"[tables.t]\nfilename = \"\xff.db\"\n", "# \xc0\xaf\n",
                                  "# \xed\xa0\x80\n", "# \xf4\x90\x80\x80\n", "# \xe2\x82\n"}) {
    const std::string path = dir_ + "/bad.toml";
    std::ofstream(path, std::ios::binary) << bytes;
    const Result<VecDBBrief> bad = load_brief_file(path);
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error().message, "stream did not contain valid UTF-8");
  }
}

}  // namespace
}  // namespace quillmere
