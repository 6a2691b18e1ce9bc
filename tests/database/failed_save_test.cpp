// Saves that fail at each of their steps, under eviction, deletion, force_save and closing: the
// failure is reported, never passed off as success, and no row that was in memory is lost while
// the database can still write it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "database/mem_file_system.hpp"
#include "database/vec_db_manager.hpp"
#include "test_support.hpp"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing_support::failure_of;
using testing_support::kNoFailure;
using testing_support::MemFileSystem;
using Call = MemFileSystem::Call;

constexpr const char* kDir = "/db";

// One step of a save failing, with the error the system gives there.
struct FailingStep {
  Call call;
  int err;
  const char* message;  // "atomic save failed: " and this
};
const FailingStep kSteps[] = {
    {Call::Write, ENOSPC, "No space left on device (os error 28)"},
    {Call::SyncFile, EIO, "Input/output error (os error 5)"},
    {Call::Rename, EIO, "Input/output error (os error 5)"},
    {Call::SyncDir, EIO, "Input/output error (os error 5)"},
};

std::string step_name(const FailingStep& s) {
  return "failing call " + std::to_string(static_cast<int>(s.call));
}

// The message of a failed save of the catalogue, and of a table (whose writer calls a failed
// write an "io error", as the table file's reader does).
std::string failed(const FailingStep& s) { return std::string("atomic save failed: ") + s.message; }
std::string table_failed(const FailingStep& s) {
  return s.call == Call::Write ? std::string("atomic save failed: io error: ") + s.message
                               : failed(s);
}

std::string message_of(const Result<void>& r) { return r ? "<saved>" : r.error().message; }

// A table "t" of 10 rows on disk and 30 in memory.
class FailedSaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mem_ = std::make_shared<MemFileSystem>();
    open();
    ASSERT_TRUE(db_->create_table_if_not_exists("t", 4, DistanceAlgorithm::L2Sqr).value());
    add_rows(10);
    db_->force_save();
    add_rows(20);
  }
  void open() {
    auto db = VecDBManager::open(kDir, mem_);
    ASSERT_TRUE(db.has_value()) << db.error().message;
    db_ = std::move(*db);
  }
  void reopen() {
    db_.reset();
    open();
  }
  void add_rows(int n) {
    for (int i = 0; i < n; ++i) {
      const float x = static_cast<float>(i);
      ASSERT_TRUE(db_->add("t", {x, x, x, x}, {{"i", std::to_string(i)}}).has_value());
    }
  }
  std::uint64_t rows() { return db_->get_len("t").value(); }

  std::shared_ptr<MemFileSystem> mem_;
  std::unique_ptr<VecDBManager> db_;
};

TEST_F(FailedSaveTest, AFailedEvictionKeepsTheTableCachedAndReportsTheError) {
  for (const FailingStep& step : kSteps) {
    SCOPED_TRACE(step_name(step));
    SetUp();
    mem_->fail_on(step.call, 1, step.err);
    EXPECT_EQ(message_of(db_->remove_cached_table("t")), table_failed(step));
    EXPECT_TRUE(db_->contains_cached("t"));
    EXPECT_EQ(rows(), 30u);
    EXPECT_TRUE(db_->remove_cached_table("t").has_value());  // the fault has passed
    EXPECT_FALSE(db_->contains_cached("t"));
    reopen();
    EXPECT_EQ(rows(), 30u);
  }
}

TEST_F(FailedSaveTest, AFailedCatalogueWriteLeavesTheTableListedCachedAndWhole) {
  for (const FailingStep& step : kSteps) {
    SCOPED_TRACE(step_name(step));
    SetUp();
    mem_->fail_on(step.call, 1, step.err);  // the catalogue is written first
    const Result<bool> deleted = db_->delete_table("t");
    EXPECT_EQ(deleted ? "<deleted>" : deleted.error().message, failed(step));
    EXPECT_TRUE(db_->contains_key("t"));
    EXPECT_TRUE(db_->contains_cached("t"));
    EXPECT_EQ(rows(), 30u);
    reopen();
    EXPECT_EQ(rows(), 30u);
  }
}

// Creation writes the table's file (the first save) and then the catalogue (the second): a
// failure of either is returned and leaves the catalogue, in memory and on disk, and the
// directory's files as they were. Once the fault has passed, the catalogue on disk lists the new
// table as soon as the creation returns.
TEST_F(FailedSaveTest, AFailedCreationLeavesTheCatalogueAndTheDirectoryAsTheyWere) {
  const std::string listed_t = "[tables.t]\nfilename = \"t.db\"\n";
  for (int nth : {1, 2}) {
    for (const FailingStep& step : kSteps) {
      SCOPED_TRACE(step_name(step) + ", occurrence " + std::to_string(nth));
      SetUp();
      ASSERT_EQ(mem_->content(kDir, "brief.toml"), listed_t);
      const std::vector<std::string> names = mem_->names(kDir);
      mem_->fail_on(step.call, nth, step.err);
      const Result<bool> created =
          db_->create_table_if_not_exists("u", 4, DistanceAlgorithm::Cosine);
      EXPECT_EQ(created ? "<created>" : created.error().message,
                nth == 1 ? table_failed(step) : failed(step));
      EXPECT_EQ(db_->get_all_keys(), std::vector<std::string>{"t"});
      EXPECT_FALSE(db_->contains_cached("u"));
      EXPECT_EQ(mem_->content(kDir, "brief.toml"), listed_t);
      EXPECT_EQ(mem_->names(kDir), names);

      EXPECT_TRUE(db_->create_table_if_not_exists("u", 4, DistanceAlgorithm::Cosine).value());
      EXPECT_EQ(mem_->content(kDir, "brief.toml"),
                listed_t + "\n[tables.u]\nfilename = \"u.db\"\n");
      reopen();
      EXPECT_EQ(rows(), 30u);
      EXPECT_EQ(db_->get_len("u").value(), 0u);
    }
  }
}

// When the catalogue cannot even be written back after its failed write, the new table's file
// stays: nothing lists it, and the next table given its name replaces it.
TEST_F(FailedSaveTest, ACreationWhoseCatalogueCannotBeRestoredKeepsOnlyAnUnlistedFile) {
  mem_->fail_on(Call::Write, 2, ENOSPC, 2);  // the catalogue, then its restoration
  const Result<bool> created = db_->create_table_if_not_exists("u", 4, DistanceAlgorithm::Cosine);
  EXPECT_EQ(created ? "<created>" : created.error().message,
            "atomic save failed: No space left on device (os error 28)");
  EXPECT_EQ(mem_->content(kDir, "brief.toml"), "[tables.t]\nfilename = \"t.db\"\n");
  EXPECT_TRUE(mem_->content(kDir, "u.db").has_value());
  reopen();
  EXPECT_EQ(db_->get_all_keys(), std::vector<std::string>{"t"});
  ASSERT_TRUE(db_->create_table_if_not_exists("u", 2, DistanceAlgorithm::L2Sqr).value());
  reopen();
  EXPECT_EQ(db_->get_dim("u").value(), 2u);
}

TEST_F(FailedSaveTest, AFailedFinalSaveOfADeletedTableDoesNotStopTheDeletion) {
  for (const FailingStep& step : kSteps) {
    SCOPED_TRACE(step_name(step));
    SetUp();
    mem_->fail_on(step.call, 2, step.err);  // the table's final save, after the catalogue
    EXPECT_TRUE(db_->delete_table("t").value());
    EXPECT_FALSE(db_->contains_key("t"));
    reopen();
    EXPECT_FALSE(db_->contains_key("t"));
    for (const std::string& name : mem_->names(kDir)) EXPECT_NE(name, "t.db");
  }
}

TEST_F(FailedSaveTest, AFailedForceSaveIsAnInternalFailureAndLosesNothing) {
  for (int nth : {1, 2}) {  // the catalogue, then the table
    for (const FailingStep& step : kSteps) {
      SCOPED_TRACE(step_name(step) + ", occurrence " + std::to_string(nth));
      SetUp();
      mem_->fail_on(step.call, nth, step.err);
      EXPECT_EQ(failure_of([&] { db_->force_save(); }),
                nth == 1 ? failed(step) : table_failed(step));
      EXPECT_EQ(failure_of([&] { db_->force_save(); }), kNoFailure);
      reopen();
      EXPECT_EQ(rows(), 30u);
    }
  }
}

TEST_F(FailedSaveTest, ClosingTriesAFailedSaveOnceMoreAndReportsWhatStillFails) {
  for (const FailingStep& step : kSteps) {
    SCOPED_TRACE(step_name(step));
    SetUp();
    mem_->fail_on(step.call, 2, step.err);  // the table's final save, once
    EXPECT_TRUE(db_->close().empty());
    reopen();
    EXPECT_EQ(rows(), 30u);

    add_rows(5);
    mem_->fail_on(step.call, 1, step.err, 1000);  // every save of the closing
    const std::vector<Error> failures = db_->close();
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0].message, "Closing could not save the catalogue: " + failed(step));
    EXPECT_EQ(failures[1].message, "Closing could not save table t: " + table_failed(step));
    mem_->fail_on(step.call, 0, 0);
    reopen();  // the directory lock was released all the same
    // Only a failed sync of the directory leaves the new file in place (not yet durable).
    EXPECT_EQ(rows(), step.call == Call::SyncDir ? 35u : 30u);
  }
}

// The same on the real kernel: a non-empty directory stands where the table file must go.
TEST(FailedSaveOnDisk, ANonEmptyDirectoryInPlaceOfTheTableFile) {
  testing_support::ScratchDir scratch;
  const std::string dir = scratch.make("quillmere_failed_save");
  auto db = std::move(VecDBManager::open(dir).value());
  ASSERT_TRUE(db->create_table_if_not_exists("t", 2, DistanceAlgorithm::Cosine).value());
  ASSERT_TRUE(db->add("t", {1, 2}, {}).has_value());
  fs::remove(dir + "/t.db");
  fs::create_directories(dir + "/t.db/inside");
  EXPECT_EQ(message_of(db->remove_cached_table("t")),
            "atomic save failed: Is a directory (os error 21)");
  EXPECT_TRUE(db->contains_cached("t"));
  const Result<bool> deleted = db->delete_table("t");  // the table's file cannot be removed
  EXPECT_EQ(deleted ? "<deleted>" : deleted.error().message, "Is a directory (os error 21)");
  EXPECT_FALSE(db->contains_key("t"));
  ASSERT_TRUE(db->create_table_if_not_exists("u", 2, DistanceAlgorithm::Cosine).value());
  ASSERT_TRUE(db->add("u", {1, 2}, {}).has_value());
  fs::remove_all(dir + "/u.db");
  fs::create_directories(dir + "/u.db/inside");
  const std::vector<Error> failures = db->close();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].message,
            "Closing could not save table u: atomic save failed: Is a directory (os error 21)");
  fs::remove_all(dir + "/u.db");
}

}  // namespace
}  // namespace quillmere
