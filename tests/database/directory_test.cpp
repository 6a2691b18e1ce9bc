// The file-system layer: what it refuses to open, how it replaces a file, what it sweeps, and
// what a failed call or a power loss at any step of a replacement leaves behind.
#include "database/directory.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/os_error.hpp"
#include "database/mem_file_system.hpp"
#include "test_support.hpp"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing_support::entries;
using testing_support::MemFileSystem;
using testing_support::read_text;
using Call = MemFileSystem::Call;

Result<void> write_text(const Directory& dir, const std::string& name, const std::string& text) {
  return dir.replace(name, [&](File& out) -> Result<void> {
    if (SysResult<void> w = out.write_all(text.data(), text.size()); !w)
      return make_error(ErrorKind::Io, os_error(w.error()));
    return {};
  });
}

class DirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = scratch_.make("quillmere_dir");
    db_ = root_ + "/db";
    outside_ = root_ + "/outside.txt";
    std::ofstream(outside_) << "not the database's";
    auto opened = Directory::open(FileSystem::system(), db_);
    ASSERT_TRUE(opened.has_value()) << opened.error().message;
    dir_ = *opened;
  }
  std::string in_db(const std::string& name) const { return db_ + "/" + name; }

  testing_support::ScratchDir scratch_;
  std::string root_, db_, outside_;
  std::shared_ptr<const Directory> dir_;
};

TEST_F(DirectoryTest, OpeningCreatesParentsAndRefusesANul) {
  struct Case {
    std::string path, error;
  };
  std::ofstream(root_ + "/plain") << "x";
  const Case cases[] = {
      {root_ + "/a/b/c", ""},
      {root_ + "/a/b/c/", ""},
      {"", "No such file or directory (os error 2)"},
      {root_ + "/plain", "Not a directory (os error 20)"},
      {root_ + "/plain/below", "Not a directory (os error 20)"},
      {root_ + std::string("/v\0anything", 11), "embedded null byte"},
  };
  for (const Case& c : cases) {
    auto opened = Directory::open(FileSystem::system(), c.path);
    EXPECT_EQ(opened ? "" : opened.error().message, c.error) << c.path;
  }
  EXPECT_TRUE(fs::is_directory(root_ + "/a/b/c"));
  EXPECT_FALSE(fs::exists(root_ + "/v"));
  EXPECT_EQ(read_text(root_ + "/plain"), "x");
}

// Whatever stands at a name, reading and locking open a regular file of the directory or
// nothing: no symlink is followed (the outside file keeps its bytes), no FIFO blocks.
TEST_F(DirectoryTest, OnlyRegularFilesAreOpened) {
  struct Case {
    const char* what;
    std::function<void(const std::string&)> make;
    std::string error;  // of reading; locking gives the same
  };
  const Case cases[] = {
      {"symlink out", [&](const std::string& p) { fs::create_symlink(outside_, p); },
       "Not a regular file: f"},
      {"dangling symlink", [&](const std::string& p) { fs::create_symlink(root_ + "/none", p); },
       "Not a regular file: f"},
      {"symlink to a device", [](const std::string& p) { fs::create_symlink("/dev/zero", p); },
       "Not a regular file: f"},
      {"FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
       "Not a regular file: f"},
      {"directory", [](const std::string& p) { fs::create_directory(p); }, "Not a regular file: f"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string p = in_db("f");
    c.make(p);
    Result<File> read = dir_->open_regular("f");
    EXPECT_EQ(read ? "<opened>" : read.error().message, c.error);
    Result<File> lock = dir_->open_lock_file("f");
    EXPECT_EQ(lock ? "<opened>" : lock.error().message, c.error);
    fs::remove(p);
  }
  EXPECT_EQ(read_text(outside_), "not the database's");
  EXPECT_FALSE(fs::exists(root_ + "/none"));

  Result<File> missing = dir_->open_regular("missing");
  EXPECT_EQ(missing ? "<opened>" : missing.error().message,
            "No such file or directory (os error 2)");
  std::ofstream(in_db("regular")) << "12345";
  Result<File> regular = dir_->open_regular("regular");
  ASSERT_TRUE(regular.has_value());
  EXPECT_EQ(regular->size(), 5u);
  Result<File> lock = dir_->open_lock_file("regular");  // a regular lock file is emptied
  ASSERT_TRUE(lock.has_value());
  EXPECT_TRUE(lock->try_lock().has_value());
  EXPECT_EQ(read_text(in_db("regular")), "");
}

TEST_F(DirectoryTest, ReplaceWritesTheTargetWholeAndLeavesNothingElse) {
  std::ofstream(in_db("t.db")) << "old contents, longer than the new";
  ASSERT_TRUE(write_text(*dir_, "t.db", "new").has_value());
  EXPECT_EQ(read_text(in_db("t.db")), "new");
  EXPECT_EQ(entries(db_), std::vector<std::string>{"t.db"});
  struct stat st;
  ASSERT_EQ(::stat(in_db("t.db").c_str(), &st), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);

  // A writer's failure is passed on; the target is the old file and the staged file is gone.
  const Result<void> failed = dir_->replace(
      "t.db", [](File&) -> Result<void> { return make_error(ErrorKind::Io, "told to fail"); });
  EXPECT_EQ(failed ? "" : failed.error().message, "told to fail");
  EXPECT_EQ(read_text(in_db("t.db")), "new");
  EXPECT_EQ(entries(db_), std::vector<std::string>{"t.db"});

  // A symlink at the target is replaced, never followed.
  fs::create_symlink(outside_, in_db("link.db"));
  ASSERT_TRUE(write_text(*dir_, "link.db", "mine").has_value());
  EXPECT_FALSE(fs::is_symlink(in_db("link.db")));
  EXPECT_EQ(read_text(outside_), "not the database's");
}

TEST_F(DirectoryTest, ANameOfAnyAllowedLengthCanBeReplaced) {
  const std::string longest(255, 'n');  // NAME_MAX: the staged name does not grow with it
  ASSERT_TRUE(write_text(*dir_, longest, "x").has_value());
  EXPECT_EQ(read_text(in_db(longest)), "x");
}

TEST_F(DirectoryTest, StagedFilesOfEveryVersionAreSweptAndNothingElse) {
  struct Case {
    std::string name;
    bool staged;
  };
  const Case cases[] = {
      {".tmpAbc123", true},  {".t.db.tmpZ9y8X7", true}, {".brief.toml.tmp000000", true},
      {"t.db", false},       {".tmpAbc12", false},      {"tmpAbc123", false},
      {".tmpAbc12!", false}, {".tmpAbc1234", false},    {"x.tmpAbc123", false},
      {"brief.toml", false}, {"db.lock", false},        {".tmp", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Directory::is_staged_name(c.name), c.staged) << c.name;
    std::ofstream(in_db(c.name)) << "x";
  }
  fs::create_directory(in_db(".tmpDirect"));  // a directory is never removed
  dir_->remove_staged_files();
  for (const Case& c : cases) EXPECT_EQ(fs::exists(in_db(c.name)), !c.staged) << c.name;
  EXPECT_TRUE(fs::is_directory(in_db(".tmpDirect")));
}

TEST_F(DirectoryTest, RemoveIgnoresOnlyAMissingFile) {
  std::ofstream(in_db("t.db")) << "x";
  EXPECT_TRUE(dir_->remove("t.db").has_value());
  EXPECT_FALSE(fs::exists(in_db("t.db")));
  EXPECT_TRUE(dir_->remove("t.db").has_value());
  fs::create_directory(in_db("d.db"));
  const Result<void> removed = dir_->remove("d.db");
  EXPECT_EQ(removed ? "" : removed.error().message, "Is a directory (os error 21)");
}

// --- on the in-memory double ---

constexpr const char* kDir = "/db";

class ReplaceFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mem_ = std::make_shared<MemFileSystem>();
    mem_->put(kDir, "t.db", "old");
    auto opened = Directory::open(mem_, kDir);
    ASSERT_TRUE(opened.has_value()) << opened.error().message;
    dir_ = *opened;
  }
  std::shared_ptr<MemFileSystem> mem_;
  std::shared_ptr<const Directory> dir_;
};

// Each call of a replacement failing once: the error is the system's, no staged file stays, and
// the target is the old file, except after the rename, when only the directory's sync failed.
TEST_F(ReplaceFaultTest, EveryFailingCallIsReportedAndLeavesTheOldFile) {
  const std::string big(200000, 'n');  // several write calls
  struct Case {
    Call call;
    int nth, err;
    const char* message;
    const char* target;
  };
  const Case cases[] = {
      {Call::OpenAt, 1, ENOSPC, "No space left on device (os error 28)", "old"},
      {Call::Write, 1, ENOSPC, "No space left on device (os error 28)", "old"},
      {Call::Write, 3, EIO, "Input/output error (os error 5)", "old"},
      {Call::Write, 2, EINTR, nullptr, "new"},  // retried
      {Call::SyncFile, 1, EIO, "Input/output error (os error 5)", "old"},
      {Call::Close, 1, EIO, "Input/output error (os error 5)", "old"},
      {Call::Rename, 1, ENOSPC, "No space left on device (os error 28)", "old"},
      {Call::SyncDir, 1, EIO, "Input/output error (os error 5)", "new"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message ? c.message : "EINTR");
    ASSERT_TRUE(write_text(*dir_, "t.db", "old").has_value());
    mem_->fail_on(c.call, c.nth, c.err);
    const Result<void> r = write_text(*dir_, "t.db", big);
    EXPECT_EQ(r ? "<saved>" : r.error().message, c.message ? c.message : "<saved>");
    EXPECT_EQ(*mem_->content(kDir, "t.db"), std::string(c.target) == "new" ? big : "old");
    EXPECT_EQ(mem_->names(kDir), std::vector<std::string>{"t.db"});
    mem_->fail_on(c.call, 0, 0);
  }
}

// A power loss after any number of the replacement's calls leaves the old file or the new one,
// whole; once the replacement has returned, the new one. Without either sync this fails.
TEST_F(ReplaceFaultTest, PowerLossAtEveryStepLeavesTheOldOrTheNewFileWhole) {
  const std::string fresh(100000, 'f');
  const long before = mem_->calls();
  ASSERT_TRUE(write_text(*dir_, "probe.db", fresh).has_value());
  const long steps = mem_->calls() - before;
  ASSERT_GT(steps, 5);
  for (long n = 0; n <= steps; ++n) {
    SCOPED_TRACE("crash after " + std::to_string(n) + " of " + std::to_string(steps) + " calls");
    mem_ = std::make_shared<MemFileSystem>();
    mem_->put(kDir, "t.db", "old");
    dir_ = Directory::open(mem_, kDir).value();
    mem_->crash_after(n);
    const bool returned = write_text(*dir_, "t.db", fresh).has_value();
    mem_->lose_power();
    const std::optional<std::string> after = mem_->content(kDir, "t.db");
    ASSERT_TRUE(after.has_value());
    EXPECT_TRUE(*after == "old" || *after == fresh) << after->size() << " bytes";
    if (returned) {
      EXPECT_EQ(*after, fresh);
    }
    dir_->remove_staged_files();
    EXPECT_EQ(mem_->names(kDir), std::vector<std::string>{"t.db"});
  }
}

TEST_F(ReplaceFaultTest, ADirectoryRemovedWhileOpenTakesNoSave) {
  mem_->remove_dir(kDir);
  ASSERT_TRUE(Directory::open(mem_, kDir).has_value());  // a new one at the same path
  const Result<void> r = write_text(*dir_, "t.db", "new");
  EXPECT_EQ(r ? "<saved>" : r.error().message,
            "The database directory was removed: No such file or directory (os error 2)");
  EXPECT_TRUE(mem_->names(kDir).empty());
}

}  // namespace
}  // namespace quillmere
