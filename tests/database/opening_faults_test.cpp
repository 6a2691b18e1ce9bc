// Opening a directory whose catalogue or lock file the system will not let be examined or used
// as they are: the open fails with the system's message and leaves every file as it was.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "common/os_error.hpp"
#include "database/mem_file_system.hpp"
#include "database/vec_db_manager.hpp"

namespace quillmere {
namespace {

using testing_support::MemFileSystem;
using Call = MemFileSystem::Call;

constexpr const char* kDir = "/db";
const std::string kBrief = "[tables.t]\nfilename = \"t.db\"\n";

class OpeningFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto db = VecDBManager::open(kDir, mem_);
    ASSERT_TRUE(db.has_value()) << db.error().message;
    ASSERT_TRUE((*db)->create_table_if_not_exists("t", 2, DistanceAlgorithm::L2Sqr).value());
    db->reset();
    ASSERT_EQ(mem_->content(kDir, "brief.toml"), kBrief);
  }
  std::string open_error() {
    auto db = VecDBManager::open(kDir, mem_);
    return db ? "<opened>" : db.error().message;
  }

  std::shared_ptr<MemFileSystem> mem_ = std::make_shared<MemFileSystem>();
};

// Only a catalogue that is not there is an empty one; nothing is written when its status cannot
// be read for another reason, so the tables it lists are still there when the fault has passed.
TEST_F(OpeningFaultsTest, AStatusFailureOfTheCatalogueOtherThanMissingFailsTheOpen) {
  const std::vector<std::string> names = mem_->names(kDir);
  for (int err : {EIO, EACCES, ENOMEM, EOVERFLOW}) {
    SCOPED_TRACE(err);
    mem_->fail_on(Call::StatAt, 1, err);  // the status of brief.toml is the open's first
    EXPECT_EQ(open_error(), os_error(err));
  }
  EXPECT_EQ(mem_->content(kDir, "brief.toml"), kBrief);
  EXPECT_EQ(mem_->names(kDir), names);
  auto db = VecDBManager::open(kDir, mem_);
  ASSERT_TRUE(db.has_value()) << db.error().message;
  EXPECT_EQ((*db)->get_all_keys(), std::vector<std::string>{"t"});
}

// A lock file that has another name may be any file anywhere: it is refused, neither emptied nor
// locked.
TEST_F(OpeningFaultsTest, ALockFileWithAnotherNameIsRefusedUntouched) {
  mem_->put("/elsewhere", "precious", "somebody else's bytes");
  mem_->remove_dir(kDir);
  mem_->put(kDir, "brief.toml", kBrief);
  mem_->link("/elsewhere", "precious", kDir, "db.lock");
  EXPECT_EQ(open_error(),
            "Not a lock file of this directory alone: db.lock has 2 names (hard links); "
            "remove it to open the database");
  EXPECT_EQ(mem_->content("/elsewhere", "precious"), "somebody else's bytes");
  EXPECT_EQ(mem_->content(kDir, "brief.toml"), kBrief);
}

}  // namespace
}  // namespace quillmere
