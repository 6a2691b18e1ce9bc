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
#include "distance/distance_algorithm.hpp"
#include "test_support.hpp"

// A small savable object shaped like the catalogue (a record behind a mutex). Its writer counts
// its calls in a Stats block shared with the test, so the test can watch saves without taking
// the object's lock (which would mark it changed).
namespace thread_save_test_object {

struct Stats {
  std::atomic<int> saves{0};
  std::atomic<int> failures{0};
  std::atomic<bool> fail{false};
  std::atomic<mode_t> mode{0644};
  std::mutex mutex;
  std::string last_path;  // the temporary file the writer was given
};

struct Record {
  std::string text;
  std::shared_ptr<Stats> stats;
};

using Object = quillmere::Locked<Record>;

quillmere::Result<void> save_to(const Object& object, const std::string& path) {
  auto guard = object.lock();
  Stats& stats = *guard->stats;
  {
    std::lock_guard l(stats.mutex);
    stats.last_path = path;
  }
  if (stats.fail) {
    ++stats.failures;
    return quillmere::make_error("told to fail");
  }
  std::ofstream out(path, std::ios::binary);
  out << guard->text;
  out.close();
  if (!out) return quillmere::make_error("write failed");
  ::chmod(path.c_str(), stats.mode);
  ++stats.saves;
  return {};
}

}  // namespace thread_save_test_object

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::failure_of;
using testing_support::kNoFailure;
using thread_save_test_object::Object;
using thread_save_test_object::Record;
using thread_save_test_object::Stats;

std::string read_text(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

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

// Every test runs in a fresh scratch directory with TMPDIR pointing at its "tmp" subdirectory;
// the old TMPDIR comes back afterwards.
class ThreadSaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quillmere_ts_XXXXXX").native();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root = pattern;
    db = root / "db";
    tmp = root / "tmp";
    fs::create_directory(db);
    fs::create_directory(tmp);
    if (const char* old = std::getenv("TMPDIR")) old_tmpdir = old;
    ::setenv("TMPDIR", tmp.c_str(), 1);
    stats = std::make_shared<Stats>();
  }
  void TearDown() override {
    if (old_tmpdir)
      ::setenv("TMPDIR", old_tmpdir->c_str(), 1);
    else
      ::unsetenv("TMPDIR");
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }

  Object object(std::string text) { return Object(Record{std::move(text), stats}); }
  ThreadSavingManager<Object> manager(std::chrono::nanoseconds interval, bool dirty) {
    return ThreadSavingManager<Object>(object("v1"), (db / "brief.toml").native(), interval, dirty);
  }
  // True once the manager and its thread have both released the object.
  bool released() const { return stats.use_count() == 1; }

  fs::path root, db, tmp;
  std::optional<std::string> old_tmpdir;
  std::shared_ptr<Stats> stats;
};

using ThreadSaveAtomic = ThreadSaveTest;
using ThreadSavingManagerTest = ThreadSaveTest;

TEST_F(ThreadSaveAtomic, ReplacesTargetAndLeavesNothingBehind) {
  const fs::path target = db / "brief.toml";
  { std::ofstream(target) << "old contents that are longer"; }
  ThreadSave::atomic_save_to(object("new"), target.native());
  EXPECT_EQ(read_text(target), "new");
  EXPECT_EQ(entries(db), std::vector<std::string>{"brief.toml"});
  EXPECT_TRUE(fs::is_empty(tmp));
  // The temporary file lay in a ".tmp" + 6 characters directory right under TMPDIR.
  const fs::path used(stats->last_path);
  EXPECT_EQ(used.filename(), "tmp.toml");
  EXPECT_EQ(used.parent_path().parent_path(), tmp);
  const std::string dir_name = used.parent_path().filename();
  ASSERT_EQ(dir_name.size(), 10u);
  EXPECT_EQ(dir_name.substr(0, 4), ".tmp");
  for (char c : dir_name.substr(4)) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)));
}

TEST_F(ThreadSaveAtomic, TemporaryFileTakesTheTargetsExtension) {
  for (auto [name, expected] : {std::pair{"t.db", "tmp.db"}, std::pair{".db", "tmp"},
                                std::pair{"plain", "tmp"}, std::pair{"a.b.toml", "tmp.toml"}}) {
    ThreadSave::atomic_save_to(object("x"), (db / name).native());
    EXPECT_EQ(fs::path(stats->last_path).filename(), expected) << name;
  }
}

TEST_F(ThreadSaveAtomic, UnsetTmpdirMeansSlashTmp) {
  ::unsetenv("TMPDIR");
  ThreadSave::atomic_save_to(object("x"), (db / "t.db").native());
  EXPECT_EQ(fs::path(stats->last_path).parent_path().parent_path(), "/tmp");
  EXPECT_FALSE(fs::exists(fs::path(stats->last_path).parent_path()));
}

TEST_F(ThreadSaveAtomic, PermissionBitsComeFromTheTemporaryFile) {
  const fs::path target = db / "t.db";
  { std::ofstream(target) << "old"; }
  ::chmod(target.c_str(), 0600);
  stats->mode = 0640;
  ThreadSave::atomic_save_to(object("x"), target.native());
  struct stat st;
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  stats->mode = 0604;
  ThreadSave::atomic_save_to(object("y"), target.native());
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
}

TEST_F(ThreadSaveAtomic, WriterFailureLeavesTargetAndNoLeftovers) {
  const fs::path target = db / "t.db";
  { std::ofstream(target) << "old"; }
  stats->fail = true;
  EXPECT_EQ(failure_of([&] { ThreadSave::atomic_save_to(object("x"), target.native()); }),
            "atomic save failed: told to fail");
  EXPECT_EQ(read_text(target), "old");
  EXPECT_EQ(entries(db), std::vector<std::string>{"t.db"});
  EXPECT_TRUE(fs::is_empty(tmp));
}

TEST_F(ThreadSaveAtomic, CopyFailureLeavesNoTemporaryDirectory) {
  const fs::path target = db / "missing" / "t.db";
  EXPECT_EQ(failure_of([&] { ThreadSave::atomic_save_to(object("x"), target.native()); }),
            "atomic save failed: No such file or directory (os error 2)");
  EXPECT_TRUE(fs::is_empty(tmp));
  EXPECT_TRUE(fs::is_empty(db));
}

TEST_F(ThreadSaveAtomic, MissingTmpdirFailsBeforeTouchingTarget) {
  const fs::path target = db / "t.db";
  { std::ofstream(target) << "old"; }
  ::setenv("TMPDIR", (root / "nowhere").c_str(), 1);
  const std::string message =
      failure_of([&] { ThreadSave::atomic_save_to(object("x"), target.native()); });
  EXPECT_TRUE(message.starts_with("atomic save failed: No such file or directory (os error 2) "
                                  "at path \"" +
                                  (root / "nowhere" / ".tmp").native()))
      << message;
  EXPECT_EQ(read_text(target), "old");
  EXPECT_EQ(stats->saves, 0);
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
  m.sync_save(true);  // clean: nothing is written
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
  m->sync_save(true);
  EXPECT_EQ(stats->saves, 1);
  m->sync_save(true);
  EXPECT_EQ(stats->saves, 1);
  m->lock()->text = "after stop";  // marked, but the thread has ended
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(stats->saves, 1);
  EXPECT_EQ(read_text(db / "brief.toml"), "final");
  m.reset();  // the destructor's final save writes the late change, then all is released
  EXPECT_EQ(stats->saves, 2);
  EXPECT_TRUE(eventually([&] { return released(); }));
}

TEST_F(ThreadSavingManagerTest, ReleaseStopsTheThreadAtOnce) {
  std::optional<ThreadSavingManager<Object>> m(manager(std::chrono::hours(1), true));
  const auto start = std::chrono::steady_clock::now();
  m.reset();
  EXPECT_EQ(stats->saves, 1);
  EXPECT_TRUE(eventually([&] { return released(); }));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(ThreadSavingManagerTest, SyncSaveWithoutStopLeavesThreadRunning) {
  auto m = manager(20ms, false);
  m.lock()->text = "forced";
  m.sync_save(false);
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
  EXPECT_TRUE(fs::is_empty(tmp));
  EXPECT_EQ(entries(db), std::vector<std::string>{"brief.toml"});
}

TEST_F(ThreadSavingManagerTest, FailedSyncSaveReachesCallerAndKeepsTheFlag) {
  std::optional<ThreadSavingManager<Object>> m(manager(std::chrono::hours(1), true));
  stats->fail = true;
  EXPECT_EQ(failure_of([&] { m->sync_save(false); }), "atomic save failed: told to fail");
  EXPECT_EQ(failure_of([&] { m->sync_save(true); }), "atomic save failed: told to fail");
  stats->fail = false;
  m->sync_save(false);  // still marked changed, and the thread was not stopped by the failure
  EXPECT_EQ(stats->saves, 1);
  m->lock()->text = "v2";
  stats->fail = true;
  m.reset();  // a failing final save neither throws nor keeps the thread alive
  EXPECT_TRUE(eventually([&] { return released(); }));
  EXPECT_TRUE(file_becomes(db / "brief.toml", "v1"));
  EXPECT_TRUE(fs::is_empty(tmp));
}

TEST_F(ThreadSavingManagerTest, TableReadWriteAndSave) {
  Result<MetadataVecTable> table = MetadataVecTable::create(3, DistanceAlgorithm::L2Sqr);
  ASSERT_TRUE(table.has_value());
  const std::string path = (db / "t.db").native();
  ThreadSavingManager<RwLock<MetadataVecTable>> m(RwLock(std::move(*table)), path, 1h, false);
  m.sync_save(false);
  EXPECT_FALSE(fs::exists(path));  // clean: reads never mark the table
  EXPECT_EQ(m.read()->len(), 0u);
  m.sync_save(false);
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
  m.sync_save(false);
  Result<MetadataVecTable> loaded = MetadataVecTable::load(path);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().message;
  EXPECT_EQ(loaded->len(), 1u);
  EXPECT_TRUE(fs::is_empty(tmp));
}

// A child process saves a growing table in a loop and is killed at random instants; the target
// must always load whole, and never lose rows against an earlier complete save. The child reports
// each completed save through a pipe, and the parent waits for one before its random delay, so
// every round makes progress however slow the disk is (a loaded CI machine can take longer than
// the whole delay for one fsync), while the kill still lands at an arbitrary point of later saves.
TEST_F(ThreadSaveAtomic, CrashAtAnyInstantLeavesACompleteFile) {
  const std::string path = (db / "t.db").native();
  {
    Result<MetadataVecTable> t = MetadataVecTable::create(8, DistanceAlgorithm::L2Sqr);
    ASSERT_TRUE(t.has_value());
    ThreadSave::atomic_save_to(RwLock(std::move(*t)), path);
  }
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
        Result<MetadataVecTable> t = MetadataVecTable::load(path);
        if (!t) ::_exit(2);
        RwLock<MetadataVecTable> table(std::move(*t));
        std::vector<float> row(8);
        for (std::uint64_t i = 0;; ++i) {
          for (int k = 0; k < 4; ++k) {
            for (std::size_t j = 0; j < row.size(); ++j) row[j] = static_cast<float>(i + j);
            table.write()->add(row, {{"id", std::to_string(i)}, {"pad", std::string(64, 'p')}});
          }
          ThreadSave::atomic_save_to(table, path);
          const char done = 1;
          if (::write(saved[1], &done, 1) != 1) ::_exit(4);
        }
      } catch (...) {
      }
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
    Result<MetadataVecTable> loaded = MetadataVecTable::load(path);
    ASSERT_TRUE(loaded.has_value()) << "round " << round << ": " << loaded.error().message;
    EXPECT_GT(loaded->len(), last_len) << "round " << round;  // at least one save got through
    last_len = loaded->len();
  }
}

}  // namespace
}  // namespace quillmere
