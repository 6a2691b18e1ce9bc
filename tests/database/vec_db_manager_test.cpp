#include "database/vec_db_manager.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace quillmere {
namespace {

namespace fs = std::filesystem;

class VecDBManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { root_ = scratch_.make("vecdb_manager"); }

  void write_brief(const std::string& dir, const std::string& text) {
    fs::create_directories(dir);
    std::ofstream(dir + "/brief.toml") << text;
  }

  testing_support::ScratchDir scratch_;  // removed last, after everything in it is closed
  std::string root_;
};

TEST_F(VecDBManagerTest, OpeningCreatesTheDirectoryAndAnEmptyLockFile) {
  const std::string dir = root_ + "/a/b/c";
  Result<std::unique_ptr<VecDBManager>> db = VecDBManager::open(dir);
  ASSERT_TRUE(db.has_value()) << db.error().message;
  EXPECT_TRUE(fs::is_directory(dir));
  EXPECT_EQ(fs::file_size(dir + "/db.lock"), 0u);
  EXPECT_FALSE(fs::exists(dir + "/brief.toml"));  // written by the saving thread, or at close
  EXPECT_TRUE((*db)->get_all_keys().empty());
  db->reset();
  EXPECT_EQ(testing_support::read_text(dir + "/brief.toml"), "[tables]\n");
}

TEST_F(VecDBManagerTest, TheDirectoryLockExcludesASecondManagerUntilTheFirstCloses) {
  auto first = VecDBManager::open(root_);
  ASSERT_TRUE(first.has_value());
  auto second = VecDBManager::open(root_);
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error().message, "Failed to acquire lock for VecDBManager");

  // Another process is refused as well.
  const pid_t child = ::fork();
  if (child == 0) {
    auto other = VecDBManager::open(root_);
    _exit(!other.has_value() && other.error().message == "Failed to acquire lock for VecDBManager"
              ? 0
              : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  first->reset();
  EXPECT_TRUE(VecDBManager::open(root_).has_value());
}

TEST_F(VecDBManagerTest, CatalogueEntriesAreValidatedInNameOrder) {
  struct Case {
    const char* brief;
    const char* message;
  };
  const Case cases[] = {
      {"[tables.t]\nfilename = \"t.txt\"\n", "Filename should end with '.db': t.txt"},
      {"[tables.t]\nfilename = \"a/b.db\"\n",
       "Should not contain path separators in filename: a/b.db"},
      {"[tables.t]\nfilename = 'a\\b.db'\n",
       "Should not contain path separators in filename: a\\b.db"},
      {"[tables.t]\nfilename = 'a\\b'\n", "Filename should end with '.db': a\\b"},
      {"[tables.x]\nfilename = \"x.db\"\n\n[tables.y]\nfilename = \"x.db\"\n",
       "Duplicate filenames in the brief"},
      {"[tables.b]\nfilename = \"c/d.db\"\n\n[tables.a]\nfilename = \"bad\"\n",
       "Filename should end with '.db': bad"},
      {"[tables.t]\n", "missing field `filename`"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string dir = root_ + "/case" + std::to_string(n++);
    write_brief(dir, c.brief);
    auto db = VecDBManager::open(dir);
    ASSERT_FALSE(db.has_value()) << c.brief;
    EXPECT_EQ(db.error().message, c.message) << c.brief;
    // The failed open gave the directory lock back: a second try fails the same way.
    auto again = VecDBManager::open(dir);
    ASSERT_FALSE(again.has_value());
    EXPECT_EQ(again.error().message, c.message);
  }
}

TEST_F(VecDBManagerTest, QueriesAnswerInByteOrder) {
  write_brief(root_,
              "[tables.b]\nfilename = \"b.db\"\n\n[tables.a]\nfilename = "
              "\"a.db\"\n\n[tables.B]\nfilename = \"B.db\"\n");
  auto db = VecDBManager::open(root_);
  ASSERT_TRUE(db.has_value()) << db.error().message;
  EXPECT_EQ((*db)->get_all_keys(), (std::vector<std::string>{"B", "a", "b"}));
  EXPECT_TRUE((*db)->contains_key("a"));
  EXPECT_FALSE((*db)->contains_key("A"));
  EXPECT_TRUE((*db)->get_cached_tables().empty());
  EXPECT_FALSE((*db)->contains_cached("a"));
}

TEST_F(VecDBManagerTest, AMissingTablesKeyIsAnEmptyUnchangedCatalogue) {
  write_brief(root_, "# nothing here\n");
  {
    auto db = VecDBManager::open(root_);
    ASSERT_TRUE(db.has_value());
  }
  EXPECT_EQ(testing_support::read_text(root_ + "/brief.toml"),
            "# nothing here\n");  // closing saved nothing
}

// Every query marks the catalogue changed: its saving thread rewrites it within one interval.
TEST_F(VecDBManagerTest, AQueryMakesTheSavingThreadRewriteTheCatalogue) {
  write_brief(root_, "[tables]\nt = { filename = \"t.db\" }\n");
  auto db = VecDBManager::open(root_);
  ASSERT_TRUE(db.has_value());
  EXPECT_TRUE((*db)->contains_key("t"));
  const auto deadline =
      std::chrono::steady_clock::now() + VecDBManager::kCatalogueInterval + std::chrono::seconds(5);
  const std::string canonical = "[tables.t]\nfilename = \"t.db\"\n";
  while (testing_support::read_text(root_ + "/brief.toml") != canonical &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(testing_support::read_text(root_ + "/brief.toml"), canonical);
}

TEST_F(VecDBManagerTest, ARegularFileInPlaceOfTheDirectoryFailsWithTheSystemMessage) {
  const std::string path = root_ + "/file";
  std::ofstream(path) << "x";
  auto db = VecDBManager::open(path);
  ASSERT_FALSE(db.has_value());
  EXPECT_EQ(db.error().message, "Not a directory (os error 20)");
}

}  // namespace
}  // namespace quillmere
