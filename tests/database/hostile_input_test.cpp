// What a hostile directory, catalogue or environment can make the database do: nothing outside
// the opened directory is read, written, truncated or removed, and nothing blocks.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <string>

#include "database/vec_db_manager.hpp"
#include "test_support.hpp"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing_support::entries;
using testing_support::failure_of;
using testing_support::read_text;

const std::string kPrecious = "precious bytes that belong to somebody else\n";

class HostileInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = scratch_.make("quillmere_hostile");
    db_ = root_ + "/db";
    outside_ = root_ + "/outside.txt";
    std::ofstream(outside_) << kPrecious;
  }
  std::string in_db(const std::string& name) const { return db_ + "/" + name; }
  std::unique_ptr<VecDBManager> open(const std::string& dir) {
    auto db = VecDBManager::open(dir);
    EXPECT_TRUE(db.has_value()) << db.error().message;
    return db ? std::move(*db) : nullptr;
  }
  std::string open_error(const std::string& dir) {
    auto db = VecDBManager::open(dir);
    return db ? "<opened>" : db.error().message;
  }
  // A closed database with the table "t" of one row in "t.db".
  void make_table() {
    auto db = open(db_);
    ASSERT_TRUE(db->create_table_if_not_exists("t", 2, DistanceAlgorithm::L2Sqr).value());
    ASSERT_TRUE(db->add("t", {1, 2}, {{"k", "v"}}).has_value());
  }

  testing_support::ScratchDir scratch_;
  std::string root_, db_, outside_;
};

TEST_F(HostileInputTest, CatalogueFileNamesWithANulAreRefused) {
  make_table();
  const std::string brief = read_text(in_db("brief.toml"));
  // Each name ends with ".db" and holds no separator, but every system call would cut it short.
  for (const char* cut : {"t.db", "brief.toml", "db.lock"}) {
    SCOPED_TRACE(cut);
    std::ofstream(in_db("brief.toml"))
        << brief << "\n[tables.x]\nfilename = \"" << cut << "\\u0000.db\"\n";
    EXPECT_EQ(open_error(db_), "Should not contain null bytes in filename of table: x");
  }
  EXPECT_TRUE(fs::exists(in_db("t.db")));
  EXPECT_TRUE(fs::exists(in_db("db.lock")));
}

// The lock file and the catalogue are opened only as regular files of the directory.
TEST_F(HostileInputTest, LockFileAndCatalogueAreNeverFollowed) {
  struct Case {
    const char* name;
    std::function<void(const std::string&)> make;
  };
  const Case cases[] = {
      {"db.lock", [&](const std::string& p) { fs::create_symlink(outside_, p); }},
      {"db.lock", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
      {"db.lock", [](const std::string& p) { fs::create_directory(p); }},
      {"brief.toml", [&](const std::string& p) { fs::create_symlink(outside_, p); }},
      {"brief.toml", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(db_);
    fs::create_directory(db_);
    c.make(in_db(c.name));
    EXPECT_EQ(open_error(db_), std::string("Not a regular file: ") + c.name);
  }
  EXPECT_EQ(read_text(outside_), kPrecious);
}

// A lock file with another name (a hard link to a file outside) is neither emptied nor locked.
TEST_F(HostileInputTest, AHardLinkedLockFileIsRefusedUntouched) {
  make_table();
  fs::remove(in_db("db.lock"));
  fs::create_hard_link(outside_, in_db("db.lock"));
  EXPECT_EQ(open_error(db_),
            "Not a lock file of this directory alone: db.lock has 2 names (hard links); "
            "remove it to open the database");
  EXPECT_EQ(read_text(outside_), kPrecious);
  const int fd = ::open(outside_.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << "the file was left locked";
  ::close(fd);
  fs::remove(in_db("db.lock"));  // as the message says
  auto db = open(db_);
  EXPECT_EQ(db->get_len("t").value(), 1u);
}

// A table file that is a FIFO, a symlink or a directory fails the lookup at once, and deleting
// the table removes the entry, never what a symlink points to.
TEST_F(HostileInputTest, TableFilesThatAreNotRegularFilesAreRefusedWithoutBlocking) {
  struct Case {
    const char* what;
    std::function<void(const std::string&)> make;
  };
  const Case cases[] = {
      {"FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
      {"symlink", [&](const std::string& p) { fs::create_symlink(outside_, p); }},
      {"directory", [](const std::string& p) { fs::create_directory(p); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(db_);
    make_table();
    fs::remove(in_db("t.db"));
    c.make(in_db("t.db"));
    auto db = open(db_);
    auto len = std::async(std::launch::async, [&] { return db->get_len("t"); });
    if (len.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      // Blocked in the open of the FIFO: a writer releases it, so that the test can end.
      ::close(::open(in_db("t.db").c_str(), O_WRONLY | O_NONBLOCK));
      FAIL() << "the lookup blocked";
    }
    const Result<std::uint64_t> got = len.get();
    EXPECT_EQ(got ? "<loaded>" : got.error().message, "Not a regular file: t.db");
    if (std::string(c.what) != "directory") {
      EXPECT_TRUE(db->delete_table("t").value());
      EXPECT_FALSE(fs::exists(fs::symlink_status(in_db("t.db"))));
    }
  }
  EXPECT_EQ(read_text(outside_), kPrecious);
}

// The directory is pinned when it is opened: a relative path is not resolved again after the
// working directory changes.
TEST_F(HostileInputTest, SavesLandInTheDirectoryThatWasOpened) {
  fs::create_directories(root_ + "/one");
  fs::create_directories(root_ + "/two");
  const fs::path old_cwd = fs::current_path();
  fs::current_path(root_ + "/one");
  auto db = open("mydb");
  fs::current_path(root_ + "/two");
  ASSERT_TRUE(db->create_table_if_not_exists("t", 2, DistanceAlgorithm::L2Sqr).value());
  db->force_save();
  db.reset();
  fs::current_path(old_cwd);
  EXPECT_TRUE(fs::exists(root_ + "/one/mydb/t.db"));
  EXPECT_TRUE(fs::exists(root_ + "/one/mydb/brief.toml"));
  EXPECT_FALSE(fs::exists(root_ + "/two/mydb"));
}

// A directory removed while open takes no more saves, and a new database made at its path is not
// written by the old manager.
TEST_F(HostileInputTest, ARemovedDirectoryFailsSavesAndNeverTouchesItsSuccessor) {
  make_table();
  auto old_db = open(db_);
  ASSERT_EQ(old_db->get_len("t").value(), 1u);  // cached, and the catalogue marked changed
  fs::remove_all(db_);
  auto new_db = open(db_);
  new_db->force_save();
  ASSERT_EQ(read_text(in_db("brief.toml")), "[tables]\n");
  ASSERT_TRUE(old_db->add("t", {3, 4}, {}).has_value());
  EXPECT_EQ(failure_of([&] { old_db->force_save(); }),
            "atomic save failed: The database directory was removed: No such file or directory (os "
            "error 2)");
  old_db.reset();  // its final saves fail the same way, printed
  EXPECT_EQ(read_text(in_db("brief.toml")), "[tables]\n");
  EXPECT_FALSE(fs::exists(in_db("t.db")));
}

// The staged name does not grow with the target's: a catalogue may name a file of up to 255 bytes.
TEST_F(HostileInputTest, ATableFileOfTheLongestNameIsSaved) {
  make_table();
  const std::string long_name = std::string(252, 'n') + ".db";
  fs::rename(in_db("t.db"), in_db(long_name));
  std::ofstream(in_db("brief.toml")) << "[tables.t]\nfilename = \"" << long_name << "\"\n";
  {
    auto db = open(db_);
    ASSERT_TRUE(db->add("t", {5, 6}, {}).has_value());
    db->force_save();
  }
  auto db = open(db_);
  EXPECT_EQ(db->get_len("t").value(), 2u);
}

TEST_F(HostileInputTest, StagedLeftoversAreSweptAtOpeningAndNothingElse) {
  make_table();
  for (const char* name : {".tmpAbc123", ".t.db.tmpXyz789", "notes.txt"})
    std::ofstream(in_db(name)) << "x";
  auto db = open(db_);
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(db_)) names.insert(e.path().filename());
  EXPECT_EQ(names, (std::set<std::string>{"brief.toml", "db.lock", "notes.txt", "t.db"}));
}

}  // namespace
}  // namespace quillmere
