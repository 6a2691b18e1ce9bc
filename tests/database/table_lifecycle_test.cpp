// Table cache, table lifecycle and the table operations of the database manager.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "database/vec_db_manager.hpp"
#include "test_support.hpp"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using D = DistanceAlgorithm;

class TableLifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = scratch_.make("vecdb_tables");
    open();
  }
  void TearDown() override { db_.reset(); }  // closes before the directory goes
  void open() {
    auto db = VecDBManager::open(dir_);
    ASSERT_TRUE(db.has_value()) << db.error().message;
    db_ = std::move(*db);
  }
  void reopen() {
    db_.reset();
    open();
  }
  fs::file_time_type mtime(const std::string& name) {
    return fs::last_write_time(fs::path(dir_) / name);
  }

  testing_support::ScratchDir scratch_;  // removed last, after everything in it is closed
  std::string dir_;
  std::unique_ptr<VecDBManager> db_;
};

TEST(TableFileNames, FollowTheMappingAndTheCounter) {
  std::set<std::string> used;
  auto take = [&](const std::string& key) {
    std::string name = VecDBManager::table_file_name(key, used);
    used.insert(name);
    return name;
  };
  EXPECT_EQ(take("My Table/1"), "My_Table_1.db");
  EXPECT_EQ(take("a.b"), "a_b.db");
  EXPECT_EQ(take("a_b"), "a_b_1.db");
  EXPECT_EQ(take("a_b_1"), "a_b_1_1.db");
  EXPECT_EQ(take("café"), "café.db");
  EXPECT_EQ(take("x\u00A0y\u3000z\u0085"), "x_y_z_.db");
  EXPECT_EQ(take(""), ".db");
  const std::string long_name(40, 'q');
  const std::string stem(32, 'q');
  EXPECT_EQ(take(long_name), stem + ".db");
  EXPECT_EQ(take(stem + "different tail"), stem + "_1.db");
  // 32 characters, not bytes: two-byte characters are kept whole.
  EXPECT_EQ(take(std::string(40, 'a').insert(0, "\u00e9")),
            std::string(31, 'a').insert(0, "\u00e9").append(".db"));
}

TEST_F(TableLifecycleTest, CreatedTablesAreOnDiskAtOnceAndSurviveReopening) {
  ASSERT_EQ(db_->create_table_if_not_exists("t", 3, D::L2Sqr), Result<bool>(true));
  EXPECT_TRUE(fs::exists(fs::path(dir_) / "t.db"));  // written before the call returned
  EXPECT_EQ(db_->create_table_if_not_exists("t", 7, D::Cosine), Result<bool>(false));
  EXPECT_EQ(*db_->get_dim("t"), 3u);
  ASSERT_TRUE(db_->add("t", {1, 2, 3}, {{"k", "v"}}).has_value());
  EXPECT_EQ(db_->add("t", {1, 2}, {}).error().message, "Dimension mismatch for vec");
  reopen();
  EXPECT_FALSE(db_->contains_cached("t"));
  EXPECT_EQ(db_->get_all_keys(), std::vector<std::string>{"t"});
  EXPECT_EQ(*db_->get_len("t"), 1u);  // the closing saved the changed table
  EXPECT_EQ(*db_->get_dist("t"), D::L2Sqr);
  EXPECT_TRUE(db_->contains_cached("t"));
  const auto rows = db_->extract_data("t");
  ASSERT_TRUE(rows.has_value());
  ASSERT_EQ(rows->size(), 1u);
  EXPECT_EQ((*rows)[0].first, (std::vector<float>{1, 2, 3}));
  EXPECT_EQ((*rows)[0].second, (Metadata{{"k", "v"}}));
}

// Each error says what kind of failure it is, whatever its text.
TEST_F(TableLifecycleTest, ErrorsCarryTheirKind) {
  ASSERT_TRUE(db_->create_table_if_not_exists("t", 2, D::Cosine).has_value());
  const std::pair<Result<std::uint64_t>, ErrorKind> cases[] = {
      {db_->get_len("nope"), ErrorKind::NotFound},
      {db_->delete_rows("nope", {}), ErrorKind::NotFound},
  };
  for (const auto& [result, kind] : cases) {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, kind) << result.error().message;
  }
  EXPECT_EQ(db_->add("t", {1, 2, 3}, {}).error().kind, ErrorKind::InvalidArgument);
  EXPECT_EQ(db_->create_table_if_not_exists("u", 0, D::Cosine).error().kind,
            ErrorKind::InvalidArgument);
  EXPECT_EQ(db_->build_pq_table("t", std::nullopt, std::nullopt, std::nullopt).error().kind,
            ErrorKind::InvalidArgument);
  EXPECT_EQ(VecDBManager::open(dir_).error().kind, ErrorKind::Io);  // the lock is held
  EXPECT_EQ(parse_distance("L2SQR").error().kind, ErrorKind::UnknownOption);
  db_.reset();
  std::ofstream(dir_ + "/brief.toml") << "[tables.x]\nfilename = \"x.txt\"\n";
  EXPECT_EQ(VecDBManager::open(dir_).error().kind, ErrorKind::CorruptFile);
}

TEST_F(TableLifecycleTest, OperationErrorsAndTheirOrder) {
  EXPECT_EQ(db_->create_table_if_not_exists("zero", 0, D::L2Sqr).error().message,
            "Dimension must be greater than 0");
  EXPECT_FALSE(db_->contains_key("zero"));
  EXPECT_EQ(db_->get_len("nope").error().message, "Table nope not found");
  EXPECT_EQ(db_->batch_add("nope", {{1}}, {}).error().message,
            "Length mismatch for vec_list and metadata_list");
  EXPECT_EQ(db_->batch_add("nope", {{1}}, {{}}).error().message, "Table nope not found");
  ASSERT_TRUE(db_->create_table_if_not_exists("t", 2, D::Cosine).has_value());
  EXPECT_FALSE(db_->create_table_if_not_exists("t", 0, D::L2Sqr).value());  // exists: no refusal
  EXPECT_EQ(db_->batch_add("t", {{1, 2}, {3, 4}, {5}}, {{}, {}, {}}).error().message,
            "Dimension mismatch for vec_list");
  EXPECT_EQ(*db_->get_len("t"), 0u);
  ASSERT_TRUE(db_->batch_add("t", {{1, 2}, {3, 4}}, {{{"a", "1"}}, {{"a", "2"}}}).has_value());
  EXPECT_EQ(db_->build_pq_table("t", 1.0f, std::nullopt, std::nullopt).error().message,
            "Train proportion must be in (0, 1)");
  ASSERT_TRUE(db_->build_hnsw_index("t", std::nullopt).has_value());
  EXPECT_TRUE(*db_->has_hnsw_index("t"));
  ASSERT_TRUE(db_->build_pq_table("t", std::nullopt, std::nullopt, 1).has_value());
  EXPECT_TRUE(*db_->has_pq_table("t"));
  const auto hits = db_->search("t", std::vector<float>{1, 2}, 1, std::nullopt, std::nullopt);
  ASSERT_TRUE(hits.has_value());
  ASSERT_EQ(hits->size(), 1u);
  EXPECT_EQ(hits->front().first, (Metadata{{"a", "1"}}));
  EXPECT_EQ(*db_->delete_rows("t", {{"a", "1"}}), 1u);
  EXPECT_FALSE(*db_->has_hnsw_index("t"));
  EXPECT_FALSE(*db_->has_pq_table("t"));
  ASSERT_TRUE(db_->clear_pq_table("t").has_value());
}

TEST_F(TableLifecycleTest, DeletionRemovesEntryFileAndCachedTable) {
  ASSERT_TRUE(db_->create_table_if_not_exists("a.b", 2, D::L2Sqr).has_value());
  ASSERT_TRUE(db_->create_table_if_not_exists("a_b", 2, D::L2Sqr).has_value());
  EXPECT_EQ(db_->delete_table("a.b"), Result<bool>(true));
  EXPECT_FALSE(fs::exists(fs::path(dir_) / "a_b.db"));
  EXPECT_TRUE(fs::exists(fs::path(dir_) / "a_b_1.db"));
  EXPECT_EQ(db_->delete_table("a.b"), Result<bool>(false));
  EXPECT_FALSE(db_->contains_cached("a.b"));
  // The catalogue on disk no longer names the table, before the file went.
  std::ifstream brief(fs::path(dir_) / "brief.toml");
  const std::string text((std::istreambuf_iterator<char>(brief)), {});
  EXPECT_EQ(text, "[tables.a_b]\nfilename = \"a_b_1.db\"\n");
  // The freed file name is given out again.
  ASSERT_TRUE(db_->create_table_if_not_exists("a b", 2, D::L2Sqr).has_value());
  EXPECT_TRUE(fs::exists(fs::path(dir_) / "a_b.db"));
  // A table whose file was removed by hand is still deleted.
  fs::remove(fs::path(dir_) / "a_b_1.db");
  EXPECT_EQ(db_->delete_table("a_b"), Result<bool>(true));
}

TEST_F(TableLifecycleTest, EvictionSavesOnlyChangedTablesAndReloadsOnNextUse) {
  ASSERT_TRUE(db_->create_table_if_not_exists("t", 1, D::L2Sqr).has_value());
  ASSERT_TRUE(db_->add("t", {5}, {}).has_value());
  db_->remove_cached_table("t");
  EXPECT_FALSE(db_->contains_cached("t"));
  db_->remove_cached_table("t");        // not cached: nothing happens
  db_->remove_cached_table("unknown");  // not in the catalogue: nothing happens
  const auto saved = mtime("t.db");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(*db_->get_len("t"), 1u);  // loaded again from its file
  db_->remove_cached_table("t");      // read only: not written again
  db_->force_save();
  EXPECT_EQ(mtime("t.db"), saved);
  ASSERT_TRUE(db_->clear_hnsw_index("t").has_value());  // a no-op write still marks it
  db_->force_save();
  EXPECT_NE(mtime("t.db"), saved);
  EXPECT_TRUE(db_->contains_cached("t"));
}

// Eviction waits for an operation in flight; the final save then runs on the last holder.
TEST_F(TableLifecycleTest, EvictionWaitsForAnOperationInFlight) {
  ASSERT_TRUE(db_->create_table_if_not_exists("t", 8, D::L2Sqr).has_value());
  std::vector<std::vector<float>> rows(3000, std::vector<float>(8));
  std::vector<Metadata> metas(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i)
    for (std::size_t j = 0; j < 8; ++j) rows[i][j] = static_cast<float>((i * 31 + j * 7) % 97);
  ASSERT_TRUE(db_->batch_add("t", rows, metas).has_value());
  std::atomic<bool> built{false};
  std::thread builder([&] {
    ASSERT_TRUE(db_->build_hnsw_index("t", std::nullopt).has_value());
    built = true;
  });
  while (!db_->contains_cached("t")) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  db_->remove_cached_table("t");
  builder.join();
  EXPECT_TRUE(built);
  EXPECT_TRUE(*db_->has_hnsw_index("t"));  // the build reached the file before eviction returned
}

// Closing writes the changed catalogue first, then each changed table in name order.
TEST_F(TableLifecycleTest, ClosingSavesCatalogueThenTablesInNameOrder) {
  for (const char* name : {"c", "a", "b"}) {
    ASSERT_TRUE(db_->create_table_if_not_exists(name, 1, D::L2Sqr).has_value());
    ASSERT_TRUE(db_->add(name, {1.0f}, {}).has_value());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto before = mtime("a.db");
  db_.reset();
  const auto brief = mtime("brief.toml"), a = mtime("a.db"), b = mtime("b.db"), c = mtime("c.db");
  EXPECT_GT(a, before);  // rewritten at closing, as it was changed
  EXPECT_LE(brief, a);
  EXPECT_LE(a, b);
  EXPECT_LE(b, c);
  // The directory lock is free again.
  open();
  EXPECT_EQ(*db_->get_len("b"), 1u);
}

// A process killed right after creating or deleting a table leaves a directory that opens, whose
// every catalogue entry loads, and which lists the table that was created and not the one that
// was deleted.
TEST_F(TableLifecycleTest, KilledRightAfterCreateOrDeleteLeavesAConsistentDirectory) {
  db_.reset();
  const std::vector<std::string> names = {"t0", "t1", "t2", "t3", "t4", "t5"};
  for (int round = 0; round < 6; ++round) {
    const pid_t child = ::fork();
    if (child == 0) {
      auto db = VecDBManager::open(dir_);
      if (!db) _exit(2);
      (void)(*db)->create_table_if_not_exists(names[round], 2, D::L2Sqr);
      if (round % 2 == 1) (void)(*db)->delete_table(names[round - 1]);
      ::kill(::getpid(), SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    auto db = VecDBManager::open(dir_);
    ASSERT_TRUE(db.has_value()) << db.error().message;
    for (const std::string& key : (*db)->get_all_keys())
      EXPECT_TRUE((*db)->get_len(key).has_value()) << key << " after round " << round;
    EXPECT_TRUE((*db)->contains_key(names[round])) << "round " << round;
    if (round % 2 == 1) {
      EXPECT_FALSE((*db)->contains_key(names[round - 1])) << "round " << round;
    }
  }
  open();
}

}  // namespace
}  // namespace quillmere
