#include "database/thread_save.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/failure.hpp"
#include "database/locks.hpp"
#include "database/metadata_vec_table.hpp"
#include "database/vec_db_manager.hpp"
#include "distance/distance_algorithm.hpp"
#include "database/file_support.hpp"
#include "test_support.hpp"

// A small savable object shaped like the catalogue (a record behind a mutex). Its writer counts
// its calls in a Stats block shared with the test, so the test can watch saves without taking
// the object's lock (which would mark it changed).
namespace thread_save_test_object {

struct Stats {
  std::atomic<int> saves{0};
  std::atomic<int> failures{0};
  std::atomic<bool> fail{false};
};

struct Record {
  std::string text;
  std::shared_ptr<Stats> stats;
};

using Object = quillmere::Locked<Record>;

quillmere::Result<void> save_to(const Object& object, quillmere::File& out) {
  auto guard = object.lock();
  Stats& stats = *guard->stats;
  if (stats.fail) {
    ++stats.failures;
    return quillmere::make_error(quillmere::ErrorKind::Io, "told to fail");
  }
  if (!out.write_all(guard->text.data(), guard->text.size()))
    return quillmere::make_error(quillmere::ErrorKind::Io, "write failed");
  ++stats.saves;
  return {};
}

}  // namespace thread_save_test_object

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing_support::entries;
using testing_support::read_text;
using namespace std::chrono_literals;
using testing_support::failure_of;
using testing_support::kNoFailure;
using thread_save_test_object::Object;
using thread_save_test_object::Record;
using thread_save_test_object::Stats;

// Polls `done` for up to two seconds (generous for the sanitizer build).
template <class F>
bool eventually(F done) {
  for (auto end = std::chrono::steady_clock::now() + 2s; std::chrono::steady_clock::now() < end;) {
    if (done()) return true;
    std::this_thread::sleep_for(2ms);
  }
  return done();
}

// The writer counts a save when the temporary file is written; the target follows a moment later.
bool file_becomes(const fs::path& p, const std::string& text) {
  return eventually([&] { return read_text(p) == text; });
}

// Every test runs in a fresh scratch directory "db", pinned as the saves' directory.
class ThreadSaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db = scratch_.make("quillmere_ts");
    Result<std::shared_ptr<const Directory>> pinned = Directory::open(FileSystem::system(), db);
    ASSERT_TRUE(pinned.has_value()) << pinned.error().message;
    dir = *pinned;
    stats = std::make_shared<Stats>();
  }

  Object object(std::string text) { return Object(Record{std::move(text), stats}); }
  SaveTarget target(const std::string& name) const { return SaveTarget{dir, name}; }
  ThreadSavingManager<Object> manager(std::chrono::nanoseconds interval, bool dirty) {
    Result<ThreadSavingManager<Object>> m =
        ThreadSavingManager<Object>::start(object("v1"), target("brief.toml"), interval, dirty);
    if (!m) ADD_FAILURE() << m.error().message;
    return std::move(m.value());
  }
  // True once the manager and its thread have both released the object.
  bool released() const { return stats.use_count() == 1; }

  testing_support::ScratchDir scratch_;
  fs::path db;
  std::shared_ptr<const Directory> dir;
  std::shared_ptr<Stats> stats;
};

using ThreadSaveAtomic = ThreadSaveTest;
using ThreadSavingManagerTest = ThreadSaveTest;

TEST_F(ThreadSaveAtomic, ReplacesTargetAndLeavesNothingBehind) {
  const fs::path target = db / "brief.toml";
  { std::ofstream(target) << "old contents that are longer"; }
  ThreadSave::atomic_save_to(object("new"), this->target("brief.toml"));
  EXPECT_EQ(read_text(target), "new");
  EXPECT_EQ(entries(db), std::vector<std::string>{"brief.toml"});
}

TEST_F(ThreadSaveAtomic, WriterFailureLeavesTargetAndNoLeftovers) {
  const fs::path target = db / "t.db";
  { std::ofstream(target) << "old"; }
  stats->fail = true;
  const Result<void> saved = ThreadSave::atomic_save_to(object("x"), this->target("t.db"));
  EXPECT_EQ(saved ? "<saved>" : saved.error().message, "atomic save failed: told to fail");
  EXPECT_EQ(read_text(target), "old");
  EXPECT_EQ(entries(db), std::vector<std::string>{"t.db"});
}

TEST_F(ThreadSavingManagerTest, SavesOnlyWhenChanged) {
  auto m = manager(10ms, false);
  std::this_thread::sleep_for(80ms);
  EXPECT_EQ(stats->saves, 0);
  m.lock()->text = "v2";
  ASSERT_TRUE(eventually([&] { return stats->saves == 1; }));
  EXPECT_TRUE(file_becomes(db / "brief.toml", "v2"));
  std::this_thread::sleep_for(80ms);
  EXPECT_EQ(stats->saves, 1);
  ASSERT_TRUE(m.sync_save(true).has_value());  // clean: nothing is written
  EXPECT_EQ(stats->saves, 1);
}

TEST_F(ThreadSavingManagerTest, OnceChangedAtCreationWhenAsked) {
  auto m = manager(10ms, true);
  ASSERT_TRUE(eventually([&] { return stats->saves == 1; }));
  EXPECT_TRUE(file_becomes(db / "brief.toml", "v1"));
}

TEST_F(ThreadSavingManagerTest, OncePerIntervalUnderContinuousChange) {
  auto m = manager(40ms, false);
  const auto start = std::chrono::steady_clock::now();
  int changes = 0;
  while (std::chrono::steady_clock::now() - start < 420ms) {
    m.lock()->text = std::to_string(++changes);
    std::this_thread::sleep_for(500us);
  }
  const int saves = stats->saves;
  EXPECT_GT(changes, 100);
  EXPECT_GE(saves, 3);
  EXPECT_LE(saves, 10);  // at most one per 40 ms interval plus save time
}

TEST_F(ThreadSavingManagerTest, NoSaveAfterStopAndSecondFinalSaveDoesNothing) {
  std::optional<ThreadSavingManager<Object>> m(manager(20ms, false));
  m->lock()->text = "final";
  ASSERT_TRUE(m->sync_save(true).has_value());
  EXPECT_EQ(stats->saves, 1);
  ASSERT_TRUE(m->sync_save(true).has_value());
  EXPECT_EQ(stats->saves, 1);
  m->lock()->text = "after stop";  // marked, but the thread has ended
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(stats->saves, 1);
  EXPECT_EQ(read_text(db / "brief.toml"), "final");
  m.reset();  // destruction never saves: the owner made its one final save
  EXPECT_EQ(stats->saves, 1);
  EXPECT_TRUE(eventually([&] { return released(); }));
}

TEST_F(ThreadSavingManagerTest, ReleaseStopsTheThreadAtOnce) {
  std::optional<ThreadSavingManager<Object>> m(manager(std::chrono::hours(1), true));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(m->sync_save(true).has_value());
  m.reset();
  EXPECT_EQ(stats->saves, 1);
  EXPECT_TRUE(eventually([&] { return released(); }));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(ThreadSavingManagerTest, SyncSaveWithoutStopLeavesThreadRunning) {
  auto m = manager(20ms, false);
  m.lock()->text = "forced";
  ASSERT_TRUE(m.sync_save(false).has_value());
  EXPECT_EQ(stats->saves, 1);
  EXPECT_EQ(read_text(db / "brief.toml"), "forced");
  m.lock()->text = "later";
  ASSERT_TRUE(eventually([&] { return stats->saves == 2; }));
  EXPECT_TRUE(file_becomes(db / "brief.toml", "later"));
}

TEST_F(ThreadSavingManagerTest, FailedPeriodicSaveIsRetried) {
  stats->fail = true;
  auto m = manager(10ms, true);
  ASSERT_TRUE(eventually([&] { return stats->failures >= 3; }));  // the thread keeps trying
  EXPECT_EQ(stats->saves, 0);
  EXPECT_FALSE(fs::exists(db / "brief.toml"));
  // (The temporary directory is checked only once no save can be running: a retry may be.)
  stats->fail = false;
  ASSERT_TRUE(eventually([&] { return stats->saves == 1; }));
  EXPECT_TRUE(file_becomes(db / "brief.toml", "v1"));
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(stats->saves, 1);  // the flag was cleared by the successful save
  EXPECT_EQ(entries(db), std::vector<std::string>{"brief.toml"});
}

TEST_F(ThreadSavingManagerTest, FailedSyncSaveReachesCallerAndKeepsTheFlag) {
  std::optional<ThreadSavingManager<Object>> m(manager(std::chrono::hours(1), true));
  stats->fail = true;
  for (bool stop : {false, true}) {
    const Result<void> failed = m->sync_save(stop);
    EXPECT_EQ(failed ? "<saved>" : failed.error().message, "atomic save failed: told to fail");
  }
  stats->fail = false;
  ASSERT_TRUE(m->sync_save(false).has_value());  // still marked changed; the thread not stopped
  EXPECT_EQ(stats->saves, 1);
  m->lock()->text = "v2";
  stats->fail = true;
  EXPECT_FALSE(m->sync_save(true).has_value());
  m->stop();  // an owner that lets the object go after a failed final save
  m.reset();
  EXPECT_TRUE(eventually([&] { return released(); }));
  EXPECT_TRUE(file_becomes(db / "brief.toml", "v1"));
  EXPECT_EQ(entries(db), std::vector<std::string>{"brief.toml"});
}

TEST_F(ThreadSavingManagerTest, AThreadThatCannotStartIsAnErrorAndKeepsNothing) {
  SaveScheduler refusing(1, [](std::function<void()>) -> Result<std::thread> {
    return make_error(ErrorKind::Io,
                      "failed to spawn thread: Resource temporarily unavailable (os error 11)");
  });
  Result<ThreadSavingManager<Object>> m =
      ThreadSavingManager<Object>::start(object("v1"), target("brief.toml"), 10ms, true, refusing);
  ASSERT_FALSE(m.has_value());
  EXPECT_EQ(m.error().message,
            "failed to spawn thread: Resource temporarily unavailable (os error 11)");
  EXPECT_TRUE(released());
  EXPECT_EQ(entries(db), std::vector<std::string>{});
}

TEST_F(ThreadSavingManagerTest, TableReadWriteAndSave) {
  Result<MetadataVecTable> table = MetadataVecTable::create(3, DistanceAlgorithm::L2Sqr);
  ASSERT_TRUE(table.has_value());
  const std::string path = (db / "t.db").native();
  auto m = ThreadSavingManager<RwLock<MetadataVecTable>>::start(RwLock(std::move(*table)),
                                                                target("t.db"), 1h, false)
               .value();
  ASSERT_TRUE(m.sync_save(false).has_value());
  EXPECT_FALSE(fs::exists(path));  // clean: reads never mark the table
  EXPECT_EQ(m.read()->len(), 0u);
  ASSERT_TRUE(m.sync_save(false).has_value());
  EXPECT_FALSE(fs::exists(path));
  const float row[3] = {1, 2, 3};
  m.write()->add(row, {{"id", "0"}});
  {
    // Two readers side by side: shared access really is shared.
    auto a = m.read();
    std::thread other([&] { EXPECT_EQ(m.read()->len(), 1u); });
    other.join();
    EXPECT_EQ(a->len(), 1u);
  }
  ASSERT_TRUE(m.sync_save(false).has_value());
  Result<MetadataVecTable> loaded = testing_support::load_table_file(path);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().message;
  EXPECT_EQ(loaded->len(), 1u);
}

// A child process opens the database, adds rows to a table and saves everything in a loop, and
// is killed at random instants. After each kill the directory must reopen with the table whole,
// never with fewer rows than an earlier complete save, and hold nothing but the catalogue, the
// lock and the table file (the staged file of a save cut short is swept at opening). The child
// reports each completed save through a pipe, and the parent waits for one before its random
// delay, so every round makes progress however slow the disk is (a loaded CI machine can take
// longer than the whole delay for one fsync), while the kill still lands at an arbitrary point of
// later saves.
TEST_F(ThreadSaveAtomic, CrashAtAnyInstantLeavesACompleteFile) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot start threads in a child forked from a threaded process";
#endif
  const std::string path = db.native();
  {
    auto made = VecDBManager::open(path);
    ASSERT_TRUE(made.has_value()) << made.error().message;
    ASSERT_TRUE((*made)->create_table_if_not_exists("t", 8, DistanceAlgorithm::L2Sqr).value());
  }
  const std::vector<std::string> expected{"brief.toml", "db.lock", "t.db"};
  ASSERT_EQ(entries(db), expected);
  std::mt19937 gen(12345);
  std::uniform_int_distribution<int> delay_us(0, 25000);
  std::uint64_t last_len = 0;
  for (int round = 0; round < 40; ++round) {
    int saved[2];
    ASSERT_EQ(::pipe(saved), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Only this thread exists in the child; it never returns into the test framework.
      ::close(saved[0]);
      try {
        auto opened = VecDBManager::open(path);
        if (!opened) ::_exit(2);
        VecDBManager& m = **opened;
        std::vector<float> row(8);
        for (std::uint64_t i = 0;; ++i) {
          for (int k = 0; k < 4; ++k) {
            for (std::size_t j = 0; j < row.size(); ++j) row[j] = static_cast<float>(i + j);
            if (!m.add("t", row, {{"id", std::to_string(i)}, {"pad", std::string(64, 'p')}}))
              ::_exit(5);
          }
          m.force_save();
          const char done = 1;
          if (::write(saved[1], &done, 1) != 1) ::_exit(4);
        }
      } catch (...) {}
      ::_exit(3);
    }
    ::close(saved[1]);
    char done = 0;
    ASSERT_EQ(::read(saved[0], &done, 1), 1) << "round " << round << ": the child saved nothing";
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(gen)));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(saved[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child ended by itself, status " << status;
    auto reopened = VecDBManager::open(path);
    ASSERT_TRUE(reopened.has_value()) << "round " << round << ": " << reopened.error().message;
    EXPECT_EQ(entries(db), expected) << "round " << round;
    Result<std::uint64_t> len = (*reopened)->get_len("t");
    ASSERT_TRUE(len.has_value()) << "round " << round << ": " << len.error().message;
    EXPECT_GT(*len, last_len) << "round " << round;  // at least one save got through
    last_len = *len;
  }
}

// A forked child inherits a copy of an open database, which belongs to the parent: destroying it
// in the child saves nothing and takes no lock (one was held by a parent thread at the fork),
// and the child's copy of the lock descriptor was closed at the fork, so the parent's release
// really frees the directory while the child lives on.
TEST_F(ThreadSaveAtomic, AForkedChildLeavesTheParentsDatabaseAlone) {
  const std::string path = db.native();
  auto made = VecDBManager::open(path);
  ASSERT_TRUE(made.has_value()) << made.error().message;
  std::unique_ptr<VecDBManager> m = std::move(*made);
  ASSERT_TRUE(m->create_table_if_not_exists("t", 2, DistanceAlgorithm::L2Sqr).value());
  m->force_save();
  const std::string saved = read_text(db / "t.db");
  ASSERT_TRUE(m->add("t", {1, 2}, {}).has_value());  // not saved: the child's copy has the row
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  // A parent thread holds the catalogue's locks across the fork.
  std::promise<void> holding, done;
  std::thread holder([&] {
    auto [catalogue, cache] = m->get_locks_by_order();
    holding.set_value();
    done.get_future().wait();
  });
  holding.get_future().wait();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::alarm(20);  // a child that waits for a lock copied held dies of it, and the test fails
    ::close(go[1]);
    char c;
    if (::read(go[0], &c, 1) != 1) ::_exit(2);
    if (m->owned_by_this_process()) ::_exit(3);
    if (!m->close().empty()) ::_exit(4);
    m.reset();  // no save, no unlock, no wait for the held locks
    ::_exit(0);
  }
  ::close(go[0]);
  done.set_value();
  holder.join();
  EXPECT_TRUE(m->owned_by_this_process());
  m->remove_cached_table("t").value();  // the parent's own final save of the table
  const std::string parents = read_text(db / "t.db");
  EXPECT_NE(parents, saved);
  m.reset();
  {
    auto reopened = VecDBManager::open(path);  // the child, still alive, holds no lock
    ASSERT_TRUE(reopened.has_value()) << reopened.error().message;
    EXPECT_EQ((*reopened)->get_len("t").value(), 1u);
  }
  ASSERT_EQ(::write(go[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(go[1]);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(read_text(db / "t.db"), parents);
}

}  // namespace
}  // namespace quillmere
